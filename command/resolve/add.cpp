// tarnex -a: every operand adds the entry lines of the adapters behind it.
//
// An operand that begins with "/" is a device path and takes one of three
// routes, decided on its real path:
//  1. its major is one /proc/devices lists for "mxvol": a volume of the
//     volume manager, whose disks are asked for (mxv.cpp);
//  2. else, with the multipath driver present (/sys/devices/tovx): one line
//     per SCSI host of the multipath device (tovrd.cpp);
//  3. else: one line from SCSI_IOCTL_GET_PCI on the disk (scsi.cpp).
// Any other operand names a class of the volume manager.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "conf/conf.h"
#include "conf/scan.h"
#include "resolve/resolve.h"
#include "runtime/log.h"
#include "runtime/report.h"

mxvol_major_tables mxvol_majors;
conf_list g_proc_devices;

namespace {

enum {
    LOC_PROC_DEVICES = 0x8db,
    LOC_ADD_SUB_RESOLVE = 2148,
};

#define PROC_DEVICES_PATH "/proc/devices"

const char MXVOL_DRIVER_NAME[] = "mxvol";
const char CHARACTER_SECTION[] = "Character";
const char BLOCK_SECTION[] = "Block";

enum {
    DEVICES_NUMBER_FIELD = 1,
    DEVICES_NAME_FIELD = 2,
};

bool table_has(const device_majors *table, unsigned long major) {
    for (unsigned i = 0; i < table->count; i++)
        if (table->major[i] == major)
            return true;
    return false;
}

int read_proc_devices(void) {
    mxvol_majors.character.count = 0;
    mxvol_majors.block.count = 0;
    conf_context ctx = {&g_proc_devices, PROC_DEVICES_PATH, 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, collect_device_majors, &ctx};
    unsigned detail = 0;
    if (scan_stream(PROC_DEVICES_PATH, -1, 0, &cb, &detail) == -1) {
        report_access(PROC_DEVICES_PATH, detail, LOC_PROC_DEVICES);
        return -1;
    }
    return 0;
}

// The real path as it goes into the entry: cut at its first decimal digit
// (/dev/sdb1 gives /dev/sdb), unless it is a path of the volume manager.
void cut_at_first_digit(char *path) {
    if (strstr(path, MXVOL_DRIVER_NAME))
        return;
    char *digit = strpbrk(path, "0123456789");
    if (digit)
        *digit = '\0';
}

void report_illegal_path(const char *path) {
    fprintf(stderr, "ERROR: illegal device-path %s.\n", path);
}

}  // namespace

int record_device_major(device_majors *table, unsigned long major) {
    if (table->count >= MXVOL_MAJORS_MAX)
        return -1;
    table->major[table->count++] = major;
    return 0;
}

int is_mxvol_major(unsigned long major) {
    return table_has(&mxvol_majors.character, major) || table_has(&mxvol_majors.block, major);
}

int collect_device_majors(void *context) {
    conf_list *list = ((conf_context *)context)->list;
    bool in_character = false;
    bool in_block = false;
    unsigned long number = 0;
    conf_record *next;
    for (conf_record *rec = list->first; rec; rec = next) {
        next = rec->next;
        if ((rec->flags & REC_WORD) && rec->field == DEVICES_NUMBER_FIELD) {
            if (strcmp(rec->text, CHARACTER_SECTION) == 0) {
                in_character = true;
                in_block = false;
            } else if (strcmp(rec->text, BLOCK_SECTION) == 0) {
                in_block = true;
                in_character = false;
            }
            number = strtoul(rec->text, nullptr, 0);
        } else if ((rec->flags & REC_WORD) && rec->field == DEVICES_NAME_FIELD &&
                   strcmp(rec->text, MXVOL_DRIVER_NAME) == 0) {
            device_majors *table = in_character ? &mxvol_majors.character
                                   : in_block   ? &mxvol_majors.block
                                                : nullptr;
            // Beyond the table's room a major is left out: its devices then
            // fail on the disk route instead of writing past the table.
            if (table && record_device_major(table, number) == -1)
                log_info("mxvol major %lu is ignored.\n", number);
        }
        conf_remove(list, rec);
    }
    return 1;
}

int parse_hba_addr_conf_add_sub(const char *path, int32_t timeout_ms) {
    struct stat st;
    char *real = resolve_device_path(path, &st);
    if (!real) {
        report_callee("parse_hba_addr_conf_add_sub", LOC_ADD_SUB_RESOLVE);
        report_illegal_path(path);
        return -1;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
        report_illegal_path(path);
        // Handed to the log without LOG_TO_FILE: the log gets nothing.
        log_write(g_log, LOG_NOT_TO_FILE, LOG_LEVEL_ERR, nullptr, "illegal device-path %s.\n", path);
        free(real);
        return -1;
    }
    cut_at_first_digit(real);

    int result;
    if (is_mxvol_major(major(st.st_rdev)))
        result = get_pci_by_mxv(path, real, timeout_ms);
    else if (g_multipath_presence == MULTIPATH_PRESENT)
        result = get_pci_by_tovrd_sysfs(ROUTE_OWN_NODE, path, real);
    else
        result = get_pci_by_sd(ROUTE_OWN_NODE, path, real, -1, 0);
    free(real);
    return result;
}

int parse_hba_addr_conf_add(int count, char **paths, int32_t timeout_ms) {
    detect_multipath();
    if (read_proc_devices() == -1)
        return -1;
    if (count < 1)
        return -1;
    int total = 0;
    for (int i = 0; i < count; i++) {
        const char *operand = paths[i];
        int added = operand[0] == '/' ? parse_hba_addr_conf_add_sub(operand, timeout_ms)
                                      : get_pci_by_guess_mxv_class(operand, timeout_ms);
        if (added != -1)
            total += added;
    }
    return total > 0 ? total : -1;
}
