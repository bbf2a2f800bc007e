// Snapshot of the machine's PCI functions, taken from sysfs, and typed access
// to their configuration space through each function's sysfs "config" file.
//
// Nothing here prints or logs: every operation that fails returns false (or
// null), stores a PCI reason code through its optional code_out pointer and
// leaves errno set. The callers report.
#pragma once

#include <stdint.h>

#define PCI_DEVICES_DIR "/sys/bus/pci/devices"

// PCI reason code: one step code, ORed with the access bit of the failed
// accessor and, inside a scan, the scan bits.
enum {
    PCI_STEP_ALIGN = 0x01,          // offset not a multiple of the width (EINVAL)
    PCI_STEP_MODE = 0x02,           // mode neither read nor write (EINVAL)
    PCI_STEP_OPEN = 0x03,           // open of "config" failed
    PCI_STEP_READ = 0x04,           // pread failed
    PCI_STEP_WRITE = 0x05,          // pwrite failed
    PCI_STEP_SHORT = 0x06,          // fewer bytes than the width (ENXIO)
    PCI_STEP_NAME = 0x07,           // entry name not domain:bus:device.function
    PCI_STEP_FUNCTION_MEM = 0x08,   // no memory for a pci_function (ENOMEM)
    PCI_STEP_PATH_MEM = 0x09,       // no memory for a config path (ENOMEM)
    PCI_STEP_OPENDIR = 0x0a,        // the devices directory cannot be opened
    PCI_STEP_SNAPSHOT_MEM = 0x0b,   // no memory for a pci_snapshot (ENOMEM)
    PCI_STEP_READDIR = 0x0c,        // reading the devices directory failed

    PCI_ACCESS_READ8 = 0x0100,
    PCI_ACCESS_READ16 = 0x0200,
    PCI_ACCESS_READ32 = 0x0400,
    PCI_ACCESS_WRITE8 = 0x1000,
    PCI_ACCESS_WRITE16 = 0x2000,
    PCI_ACCESS_WRITE32 = 0x4000,

    PCI_SCAN_READ = 0x10000,        // a configuration read failed in the scan
    PCI_SCAN_STOPPED = 0x20000,     // the scan stopped after opening the directory
};

// Modes of pci_cfg_access; they are also the open flags kept in the cache.
enum {
    PCI_CFG_READ = 0,               // O_RDONLY
    PCI_CFG_WRITE = 1,              // O_WRONLY
    PCI_CFG_NONE = 128,             // cached_mode while nothing is open
};

struct pci_snapshot;

struct pci_function {
    pci_function *next;
    pci_function **prev;     // the link field that points at this function
    pci_snapshot *snapshot;  // owner, holds the descriptor cache
    char *config_path;       // PCI_DEVICES_DIR "/" name "/config"
    uint16_t domain;
    uint8_t bus;
    uint8_t device;
    uint8_t function;
    uint16_t vendor_id;      // 0x00
    uint16_t device_id;      // 0x02
    uint8_t revision_id;     // 0x08
    uint8_t prog_if;         // 0x09
    uint8_t subclass;        // 0x0a
    uint8_t base_class;      // 0x0b
    uint8_t header_type;     // 0x0e, multi-function bit included
};

struct pci_snapshot {
    pci_function *first;
    pci_function **last;             // next field of the last function, or &first
    pci_function *cached_function;   // whose config file is open, or null
    int32_t cached_mode;             // PCI_CFG_READ, PCI_CFG_WRITE or PCI_CFG_NONE
    int32_t cached_fd;               // -1 when none
};

pci_snapshot *pci_snap_init(uint32_t *code_out);
// Fills the snapshot from PCI_DEVICES_DIR, newest entry first (the list runs
// in the reverse of the directory's order). On failure the functions already
// scanned stay in the list.
bool pci_scan(pci_snapshot *snapshot, uint32_t *code_out);
// The same scan over another directory laid out like PCI_DEVICES_DIR.
bool pci_scan_dir(pci_snapshot *snapshot, const char *dir, uint32_t *code_out);
void pci_snap_free(pci_snapshot *snapshot);
// Frees one function that is not (or no longer) linked; closes the snapshot's
// descriptor when this function holds it.
void pci_function_free(pci_function *function);

// First function of the list with this address, or null.
pci_function *pci_snap_find(const pci_snapshot *snapshot, uint16_t domain, uint8_t bus,
                            uint8_t device, uint8_t function);

// Moves width bytes between buffer and configuration space at offset:
// mode PCI_CFG_READ reads, PCI_CFG_WRITE writes. The step code of a failure
// goes to code_out.
bool pci_cfg_access(pci_function *function, void *buffer, unsigned width, uint32_t offset,
                    int mode, uint32_t *code_out);

bool pci_cfg_read8(pci_function *function, uint8_t *value, uint32_t offset, uint32_t *code_out);
bool pci_cfg_read16(pci_function *function, uint16_t *value, uint32_t offset, uint32_t *code_out);
bool pci_cfg_read32(pci_function *function, uint32_t *value, uint32_t offset, uint32_t *code_out);
bool pci_cfg_write8(pci_function *function, uint8_t value, uint32_t offset, uint32_t *code_out);
bool pci_cfg_write16(pci_function *function, uint16_t value, uint32_t offset, uint32_t *code_out);
bool pci_cfg_write32(pci_function *function, uint32_t value, uint32_t offset, uint32_t *code_out);
