// Fields of the Standard Hot-Plug Controller's own registers, as read through
// the SHPC capability's select/data window (register indices and the window
// offsets are in pci_regs.h). Bit fields are indented under their register.
#pragma once

#include "pci/pci_regs.h"

enum {
    SHPC_SLOTS_AVAIL1_REG = SHPC_SLOTS_AVAILABLE1,  // Slots Available I
     SHPC_AVAIL1_33_CONV = 0,                   //  bits 4..0: slots at 33 MHz conventional PCI
     SHPC_AVAIL1_66_PCIX = 8,                   //  bits 12..8: slots at 66 MHz PCI-X
     SHPC_AVAIL1_100_PCIX = 16,                 //  bits 20..16: slots at 100 MHz PCI-X
     SHPC_AVAIL1_133_PCIX = 24,                 //  bits 28..24: slots at 133 MHz PCI-X
    SHPC_SLOTS_AVAIL2_REG = SHPC_SLOTS_AVAILABLE2,  // Slots Available II
     SHPC_AVAIL2_66_CONV = 0,                   //  bits 4..0: slots at 66 MHz conventional PCI
     SHPC_AVAIL_COUNT_MASK = 0x1f,              //  every slot count is five bits wide
    SHPC_SLOT_CONFIG_REG = SHPC_SLOT_CONFIG,    // Slot Configuration
     SHPC_SLOT_FIRST_DEVICE_SHIFT = 8,          //  bits 12..8: device number of the first slot
     SHPC_SLOT_FIRST_DEVICE_MASK = 0x1f,
    SHPC_SEC_BUS_CONFIG_REG = SHPC_SEC_BUS_CONFIG,  // Secondary Bus Configuration
     SHPC_SEC_BUS_MODE_MASK = 0x7,              //  bits 2..0: current speed and mode
     SHPC_MODE_33_CONV = 0,                     //   33 MHz conventional PCI
     SHPC_MODE_66_CONV = 1,                     //   66 MHz conventional PCI
     SHPC_MODE_66_PCIX = 2,                     //   66 MHz PCI-X
     SHPC_MODE_100_PCIX = 3,                    //   100 MHz PCI-X
     SHPC_MODE_133_PCIX = 4,                    //   133 MHz PCI-X; 5 to 7 name no mode
     SHPC_MODE_COUNT = 5,
};

// Capability pointers: a function that has vanished reads as all ones.
enum {
    PCI_CAP_PTR_NONE = 0x00,                    // end of the list
    PCI_CAP_PTR_INVALID = 0xff,                 // all ones: no capability can start here
};
