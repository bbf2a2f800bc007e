// The SCSI disk route: the adapter's PCI name from SCSI_IOCTL_GET_PCI, on
// the disk itself or through the volume manager's pass-through request.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "conf/conf.h"
#include "resolve/resolve.h"
#include "resolve/resolve_ioctl.h"
#include "runtime/lock.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_SD_BUFFER = 1718,
    LOC_SD_OPEN = 1726,
    LOC_SD_ADD = 1759,
    LOC_SD_IOCTL = 0x6ce,        // mode 0: SCSI_IOCTL_GET_PCI on the disk
    LOC_SD_PASSTHROUGH = 0x6d0,  // mode 1: the pass-through request
};

const char sd_name[] = "get_pci_by_sd";

int ask_pci_name(int mode, int fd, dev_t devno, char *name) {
    if (mode == ROUTE_OWN_NODE)
        return ioctl(fd, SCSI_IOCTL_GET_PCI, name);
    uint64_t dev = (uint64_t)devno;
    mxvol_passthrough req;
    req.dev_low = (uint32_t)dev;
    req.dev_high = (uint32_t)(dev >> 32);
    req.command = SCSI_IOCTL_GET_PCI;
    // The driver takes a 32-bit user address: the command is an i386 program.
    req.buffer = (uint32_t)(uintptr_t)name;
    return ioctl(fd, MXVOL_IOCTL_PASSTHROUGH, &req);
}

}  // namespace

int get_pci_by_sd(int mode, const char *label, const char *path, int fd, dev_t devno) {
    size_t size;
    char *entry = alloc_path_buffer(&size);
    if (!entry) {
        report_callee(sd_name, LOC_SD_BUFFER);
        return -1;
    }
    int own_fd = -1;
    if (mode == ROUTE_OWN_NODE) {
        own_fd = open_with_retry(path, O_RDONLY | O_NONBLOCK);
        if (own_fd == -1) {
            report_callee(sd_name, LOC_SD_OPEN);
            free(entry);
            return -1;
        }
        fd = own_fd;
    }

    int result = -1;
    char name[SCSI_PCI_NAME_SIZE];
    memset(name, 0, sizeof name);
    if (ask_pci_name(mode, fd, devno, name) == -1) {
        if (mode == ROUTE_OWN_NODE)
            report_io(path, errno, LOC_SD_IOCTL);
        else
            report_io(MXVOL_DIAG_PATH, errno, LOC_SD_PASSTHROUGH);
    } else if (compose_entry(entry, size, label, path, 0, sd_name) == 0) {
        result = parse_hba_addr_conf_busid_add(entry, name, sizeof name);
        if (result == -1)
            report_callee(sd_name, LOC_SD_ADD);
    }

    if (own_fd != -1)
        close(own_fd);
    free(entry);
    return result;
}
