// PCI configuration-space registers the command reads or writes, under the
// names Linux and pciutils give them. Each register's offset is followed by
// its bit fields, indented.
#pragma once

#define PCI_CFG_SPACE_SIZE      256     // the part of configuration space used

// Header of every function (types 0 and 1).
#define PCI_VENDOR_ID           0x00    // 16 bits
#define  PCI_VENDOR_ID_NONE     0xffff  //  no function answers here
#define PCI_DEVICE_ID           0x02    // 16 bits
#define PCI_STATUS              0x06    // 16 bits
#define  PCI_STATUS_CAP_LIST    0x0010  //  capability list at PCI_CAPABILITY_LIST
#define PCI_REVISION_ID         0x08    // 8 bits
#define PCI_CLASS_PROG          0x09    // 8 bits, programming interface
#define PCI_CLASS_DEVICE        0x0a    // 16 bits: base class (high), subclass (low)
#define  PCI_CLASS_BRIDGE_PCI   0x0604  //  PCI-to-PCI bridge
#define PCI_HEADER_TYPE         0x0e    // 8 bits, layout and multi-function bit
#define PCI_SECONDARY_BUS       0x19    // 8 bits, bridge header only
#define PCI_CAPABILITY_LIST     0x34    // 8 bits, offset of the first capability

// Capability list: every capability starts with these two bytes.
#define PCI_CAP_LIST_ID         0       // 8 bits, capability ID
#define  PCI_CAP_ID_PM          0x01    //  power management
#define  PCI_CAP_ID_SHPC        0x0c    //  Standard Hot-Plug Controller
#define  PCI_CAP_ID_EXP         0x10    //  PCI Express
#define PCI_CAP_LIST_NEXT       1       // 8 bits, next capability; 0 ends the list

// PCI Express capability, relative to its offset.
#define PCI_EXP_FLAGS           0x02    // 16 bits, capabilities register
#define  PCI_EXP_FLAGS_TYPE     0x00f0  //  device/port type
#define   PCI_EXP_TYPE_DOWNSTREAM 0x6   //   downstream port of a switch
#define  PCI_EXP_FLAGS_SLOT     0x0100  //  slot implemented
#define PCI_EXP_SLTCAP          0x14    // 32 bits, slot capabilities
#define  PCI_EXP_SLTCAP_PCP     0x00000002  // power controller present

// SHPC capability, relative to its offset: a window onto the controller's
// own registers, one DWORD at a time.
#define DWORD_SELECT            0x2     // 8 bits, index of the DWORD shown (offset / 4)
#define DWORD_DATA              0x4     // 32 bits, the DWORD selected

// SHPC controller registers, as byte offsets into the controller.
#define SLOT_AVAIL1             0x04    // Slots Available I: slots per speed
#define  SLOT_33MHZ             0x0000001f  // 33 MHz conventional PCI
#define  SLOT_66MHZ_PCIX        0x00001f00  // 66 MHz PCI-X
#define  SLOT_100MHZ_PCIX       0x001f0000  // 100 MHz PCI-X
#define  SLOT_133MHZ_PCIX       0x1f000000  // 133 MHz PCI-X
#define SLOT_AVAIL2             0x08    // Slots Available II
#define  SLOT_66MHZ             0x0000001f  // 66 MHz conventional PCI
#define SLOT_CONFIG             0x0c    // Slot Configuration
#define  FIRST_DEV_NUM          0x00001f00  // device number of the first slot
#define SEC_BUS_CONFIG          0x10    // Secondary Bus Configuration
#define  SHPC_SEC_BUS_MODE      0x0007  //  current speed and mode:
#define   SHPC_MODE_33_CONV     0       //   33 MHz conventional PCI
#define   SHPC_MODE_66_CONV     1       //   66 MHz conventional PCI
#define   SHPC_MODE_66_PCIX     2       //   66 MHz PCI-X
#define   SHPC_MODE_100_PCIX    3       //   100 MHz PCI-X
#define   SHPC_MODE_133_PCIX    4       //   133 MHz PCI-X; 5 to 7 name no mode
#define   SHPC_MODE_COUNT       5
