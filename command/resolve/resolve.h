// Device resolution for tarnex -a: from a device path, a volume or a class
// of the volume manager to the PCI bus IDs of the adapters behind it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "conf/records.h"
#include "conf/scan.h"

// log_write options without LOG_TO_FILE: the message is formatted and
// dropped, never written.
const unsigned LOG_NOT_TO_FILE = 2;

// -- label add (add.cpp) ---------------------------------------------------

// The entry operation of tarnex -a: resolves each device path, volume or
// class operand and appends its entry lines to the table. timeout_ms bounds
// each wait for the volume manager's query command. Returns the number of
// lines added, or -1 when none was.
int parse_hba_addr_conf_add(int count, char **paths, int32_t timeout_ms);

enum {
    MXVOL_MAJORS_MAX = 256,  // majors kept per table; further ones are ignored
};

struct device_majors {
    unsigned count;
    unsigned long major[MXVOL_MAJORS_MAX];
};

// The majors /proc/devices lists for the volume manager's driver, filled
// anew by every -a run.
struct mxvol_major_tables {
    device_majors character;
    device_majors block;
};

extern mxvol_major_tables mxvol_majors;

// The records of /proc/devices while they are read.
extern conf_list g_proc_devices;

int parse_hba_addr_conf_add_sub(const char *path, int32_t timeout_ms);
// on_end callback over /proc/devices: records the "mxvol" majors and
// empties the list; always 1.
int collect_device_majors(void *context);
// Appends a major to a table; 0, or -1 when the table is full.
int record_device_major(device_majors *table, unsigned long major);
int is_mxvol_major(unsigned long major);

// -- paths (path.cpp) --------------------------------------------------------

// An uninitialised buffer for a path under /dev/ or /sys/; its size goes to
// *size. Null after reporting.
char *alloc_path_buffer(size_t *size);
// "/dev/" followed by name, into buffer (of size bytes) or, when buffer is
// null, into a new path buffer. Null when it does not fit or cannot be had.
char *build_absolute_dev_path(const char *name, char *buffer, size_t size);
// The real path of path in a new buffer, with its status in *st; null on
// failure. The caller frees the buffer.
char *resolve_device_path(const char *path, struct stat *st);
// Writes label "," path, or label "," path ",tovrd" when tovrd, into entry
// (of size bytes). 0, or -1 after reporting when the word would not fit the
// buffer or would be too long for the table to be read back.
int compose_entry(char *entry, size_t size, const char *label, const char *path, int tovrd,
                  const char *caller);

// -- adapter routes (scsi.cpp, tovrd.cpp) ----------------------------------------

enum {
    ROUTE_OWN_NODE = 0,  // get_pci_by_sd opens the disk itself
    ROUTE_MXVOL = 1,     // through the volume manager's diagnostic node
};

int get_pci_by_sd(int mode, const char *label, const char *path, int fd, dev_t devno);
int get_pci_by_tovrd_sysfs(int mode, const char *label, const char *path);

// Whether the multipath driver is present: set once per -a run by
// detect_multipath from stat("/sys/devices/tovx"); it decides the route of
// every disk of the run.
enum {
    MULTIPATH_ABSENT = 1,
    MULTIPATH_PRESENT = 2,
};
extern int g_multipath_presence;
void detect_multipath(void);

enum {
    HOST_NUMBER_READ_MAX = 16,  // bytes of a scsi_host_ attribute looked at
    SYSFS_BUSID_SIZE = 32,      // bus ID buffer of the multipath route
};

// The bus ID of the adapter of the SCSI host named by a multipath
// attribute file, into busid (of size bytes). 0, or -1.
int query_from_paramf(const char *attribute, char *busid, size_t size);

// -- volume manager (mxv.cpp, run_command.cpp) -----------------------------------

#define MXVINFO_PATH "/usr/sbin/mxvinfo"

extern conf_list g_mxv_class_list;
extern conf_list g_mxv_volume_list;

int get_pci_by_guess_mxv_class(const char *name, int32_t timeout_ms);
int get_pci_by_mxv(const char *operand, const char *resolved, int32_t timeout_ms);
int get_pci_by_mxv_sub(int fd, const char *label, const char *disk, char *buffer, size_t size);
int split_volume_path(const char *path, char **class_out, char **volume_out);
int mxvinfo_query_class(const char *option, const char *class_name, int32_t timeout_ms,
                        const scan_callbacks *cb);
int mxvinfo_query_volume(const char *option, const char *class_name, const char *volume,
                         int32_t timeout_ms, const scan_callbacks *cb);

enum {
    RUN_DETAIL_FAILED = 1,  // the only detail code of run_command
};

// Runs path with argv (by absolute path, no PATH search) with standard
// input on /dev/null and standard output and error into a pipe that
// scan_stream reads with the time-out and callbacks. 0 once the child has
// exited (any status), with its wait status in *status; -1 with errno set
// and *detail = RUN_DETAIL_FAILED otherwise.
int run_command(const char *path, char *const argv[], int32_t timeout_ms, const scan_callbacks *cb,
                int *status, unsigned *detail);
