// Requests the label add sends to find the adapter behind a disk, and the
// record of the volume manager's pass-through request.
#pragma once

#include <stdint.h>

enum : unsigned long {
    // On a SCSI disk node: the PCI device name of the disk's adapter.
    SCSI_IOCTL_GET_PCI = 0x5387,
    // On the volume manager's diagnostic node: perform an inner request on
    // the disk the record names (argument: an mxvol_passthrough).
    MXVOL_IOCTL_PASSTHROUGH = 0x737800,
};

enum {
    // Output of SCSI_IOCTL_GET_PCI: the name, not terminated when it fills
    // the whole buffer, so the buffer is cleared before the request.
    SCSI_PCI_NAME_SIZE = 20,
};

#define MXVOL_DIAG_PATH "/dev/mxvol/_diag"

// Argument of MXVOL_IOCTL_PASSTHROUGH, 16 bytes, host (little-endian) order.
struct mxvol_passthrough {
    uint32_t dev_low;   // the disk's device number (st_rdev), low word
    uint32_t dev_high;  //  high word
    uint32_t command;   // inner request, SCSI_IOCTL_GET_PCI
    uint32_t buffer;    // 32-bit address of the SCSI_PCI_NAME_SIZE output
};

static_assert(sizeof(mxvol_passthrough) == 16, "pass-through record is 16 bytes");
