// Search for the hot-plug capable bridges of the machine (PCI-to-PCI bridges
// with a Standard Hot-Plug Controller, PCI Express switch downstream ports
// whose slot has a power controller) and the test of whether an adapter sits
// in one of a bridge's slots.
#pragma once

#include <stdint.h>

#include "pci/driver.h"
#include "pci/pci_cfg.h"

// A bridge found by search_shpc: the bytes of an shpc_info from magic up to
// and including reserved3.
struct shpc_bridge {
    shpc_bridge *next;
    shpc_bridge **prev;  // the link field that points at this record
    unsigned char info[SHPC_INFO_BRIDGE_SIZE];
};

// The bridges of the last search_shpc, newest first (so in the reverse of the
// snapshot's order, which is the directory's order).
extern shpc_bridge *g_shpc_bridges;

// The PCI snapshot of the registration under way (see build_shpc_hba_info).
extern pci_snapshot *g_pci_snapshot;

// Offset of the first capability with this ID, or 0 when there is none. A
// failed read, a pointer of 0xff or a list that comes back to an offset it
// has visited is reported and ends the walk as if nothing were found.
int pci_find_capability(pci_function *function, uint8_t cap_id);

// Reads the controller's DWORD index (its register's offset / 4) through
// the capability's DWORD_SELECT/DWORD_DATA window: 0 with the value, or -1
// after reporting.
int shpc_read_register(pci_function *function, uint8_t cap, uint8_t index, uint32_t *value_out);

// Puts a bridge record at the head of g_shpc_bridges: 1, or 0 after
// reporting. regs are SLOT_AVAIL1, SLOT_AVAIL2, SLOT_CONFIG and
// SEC_BUS_CONFIG (all 0 for BRIDGE_PCIE).
int shpc_bridge_add(const pci_function *function, uint32_t kind, uint8_t revision,
                    uint16_t class_word, uint8_t secondary_bus, uint8_t cap,
                    const uint32_t regs[4]);

// Empties the bridge list (its records are freed).
void shpc_bridges_clear(void);

// Fills g_shpc_bridges from g_pci_snapshot: the number of bridges, or -1
// after reporting.
int search_shpc(void);

// 1 when the adapter at domain:bus:device lies in a slot of the bridge
// element, 0 when not, -1 (after reporting) on an unknown SHPC bus mode.
// For an SHPC, stores the first slot's device number and the slot count at
// the bus's current speed in the element.
int shpc_slot_match(shpc_info *element, uint16_t domain, uint8_t bus, uint8_t device);

// Logs "domain:bus:device.function(code)" of a function whose access failed.
void log_pci_address(const pci_function *function, uint32_t code);
