// PCI configuration-space registers the command reads or writes. Offsets are
// bytes into the first 256 bytes of a function's configuration space; the
// bit fields of a register are indented under it.
#pragma once

enum {
    PCI_VENDOR_ID = 0x00,          // 16 bits; 0xffff: no function
     PCI_VENDOR_NONE = 0xffff,
    PCI_DEVICE_ID = 0x02,          // 16 bits
    PCI_COMMAND = 0x04,            // 16 bits
    PCI_STATUS = 0x06,             // 16 bits
     PCI_STATUS_CAP_LIST = 0x0010, // capability list at PCI_CAPABILITY_LIST
    PCI_REVISION_ID = 0x08,        // 8 bits
    PCI_PROG_IF = 0x09,            // 8 bits, programming interface
    PCI_SUBCLASS = 0x0a,           // 8 bits
    PCI_BASE_CLASS = 0x0b,         // 8 bits
    PCI_CLASS_WORD = 0x0a,         // 16 bits: base class high, subclass low
     PCI_CLASS_BRIDGE_PCI = 0x0604, // PCI-to-PCI bridge, any interface
    PCI_HEADER_TYPE = 0x0e,        // 8 bits
     PCI_HEADER_LAYOUT = 0x7f,     // 0 normal, 1 bridge, 2 CardBus
     PCI_HEADER_MULTI_FUNCTION = 0x80,
    PCI_PRIMARY_BUS = 0x18,        // 8 bits, bridge header only
    PCI_SECONDARY_BUS = 0x19,      // 8 bits, bridge header only
    PCI_SUBORDINATE_BUS = 0x1a,    // 8 bits, bridge header only
    PCI_CAPABILITY_LIST = 0x34,    // 8 bits, offset of the first capability
};

// A capability starts with its ID byte and the offset of the next one.
enum {
    PCI_CAP_ID = 0x00,             // 8 bits
    PCI_CAP_NEXT = 0x01,           // 8 bits; 0 ends the list
};

enum {
    PCI_CAP_ID_PM = 0x01,          // power management
    PCI_CAP_ID_SHPC = 0x0c,        // Standard Hot-Plug Controller
    PCI_CAP_ID_EXP = 0x10,         // PCI Express
};

// Registers of the PCI Express capability, relative to its offset.
enum {
    PCI_EXP_FLAGS = 0x02,          // 16 bits, PCI Express Capabilities
     PCI_EXP_FLAGS_TYPE = 0x00f0,  // device/port type
     PCI_EXP_FLAGS_TYPE_SHIFT = 4,
     PCI_EXP_TYPE_ROOT_PORT = 4,
     PCI_EXP_TYPE_UPSTREAM = 5,
     PCI_EXP_TYPE_DOWNSTREAM = 6,  // downstream port of a switch
     PCI_EXP_FLAGS_SLOT = 0x0100,  // slot implemented
    PCI_EXP_SLTCAP = 0x14,         // 32 bits, Slot Capabilities
     PCI_EXP_SLTCAP_PCP = 0x0002,  // power controller present
};

// Registers of the SHPC capability, relative to its offset: the controller's
// own registers are reached through a select byte and a data DWORD.
enum {
    PCI_SHPC_SELECT = 0x02,        // 8 bits, index of the register to show
    PCI_SHPC_DATA = 0x04,          // 32 bits, the selected register
     SHPC_SLOTS_AVAILABLE1 = 1,    // Slots Available I
     SHPC_SLOTS_AVAILABLE2 = 2,    // Slots Available II
     SHPC_SLOT_CONFIG = 3,         // Slot Configuration
     SHPC_SEC_BUS_CONFIG = 4,      // Secondary Bus Configuration
};

enum {
    PCI_CONFIG_SIZE = 256,         // the part of configuration space used
};
