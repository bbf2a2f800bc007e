// The multipath route: a device of the multipath driver is found through
// sysfs, and every SCSI host it uses gives one entry line.
//
//   /sys/block/NAME/device           link into the driver's tree; the
//                                    component from "tovh" up to the next
//                                    "/" names the multipath device
//   /sys/devices/tovx/MPDEV/         one file per path whose name holds
//                                    "scsi_host_" and which begins with the
//                                    SCSI host number N
//   /sys/class/scsi_host/hostN/device  link whose parent directory is the
//                                    adapter's PCI function
#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conf/conf.h"
#include "resolve/resolve.h"
#include "runtime/report.h"

int g_multipath_presence = MULTIPATH_ABSENT;

namespace {

#define MULTIPATH_SYSFS_DIR "/sys/devices/tovx"

enum {
    TOVRD_BUFFERS = 6,
    LOC_TOVRD_READLINK = 1961,
    LOC_TOVRD_NO_TOVH = 1969,
    LOC_TOVRD_NO_SLASH = 1973,
    LOC_TOVRD_OPENDIR = 1988,
    LOC_TOVRD_HOST_QUERY = 2011,
    LOC_TOVRD_ADD = 2028,
    LOC_TOVRD_PATH_LONG = 0x3010,  // a sysfs path did not fit its buffer
};

// Location codes of the six buffer allocations, in order.
const unsigned tovrd_buffer_locations[TOVRD_BUFFERS] = {1918, 1923, 1928, 1933, 1938, 1943};

enum {
    PARAMF_BUFFERS = 2,
    LOC_PARAMF_OPEN = 1822,
    LOC_PARAMF_READ = 1827,
    LOC_PARAMF_READLINK = 1846,
    LOC_PARAMF_HOST_LONG = 0x3011,   // host number of 16 or more characters
    LOC_PARAMF_PATH_LONG = 0x3012,   // the scsi_host path did not fit
    LOC_PARAMF_BUSID_LONG = 0x3013,  // the bus ID does not fit the caller's buffer
};

const unsigned paramf_buffer_locations[PARAMF_BUFFERS] = {1808, 1813};

const char tovrd_name[] = "get_pci_by_tovrd_sysfs";
const char paramf_name[] = "query_from_paramf";
const char TOVH_MARK[] = "tovh";
const char SCSI_HOST_MARK[] = "scsi_host_";

// Allocates count path buffers; on failure reports the location code of
// the one that failed, frees the others and returns -1.
int alloc_buffers(char **bufs, size_t *size, int count, const unsigned *locations,
                  const char *caller) {
    for (int i = 0; i < count; i++) {
        bufs[i] = alloc_path_buffer(size);
        if (!bufs[i]) {
            report_callee(caller, locations[i]);
            for (int j = 0; j < i; j++)
                free(bufs[j]);
            return -1;
        }
    }
    return 0;
}

void free_buffers(char **bufs, int count) {
    for (int i = 0; i < count; i++)
        free(bufs[i]);
}

bool format_path(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

bool format_path(char *buf, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n >= 0 && (size_t)n < size;
}

// readlink into a cleared buffer, always terminated.
bool read_link(const char *path, char *buf, size_t size) {
    memset(buf, 0, size);
    return readlink(path, buf, size - 1) != -1;
}

}  // namespace

void detect_multipath(void) {
    struct stat st;
    g_multipath_presence = stat(MULTIPATH_SYSFS_DIR, &st) == 0 ? MULTIPATH_PRESENT : MULTIPATH_ABSENT;
}

int query_from_paramf(const char *attribute, char *busid, size_t size) {
    char *bufs[PARAMF_BUFFERS];
    size_t bufsize;
    if (alloc_buffers(bufs, &bufsize, PARAMF_BUFFERS, paramf_buffer_locations, paramf_name) == -1)
        return -1;
    char *host_path = bufs[0];
    char *target = bufs[1];
    unsigned loc = 0;

    // One byte more than is read, so the text always ends.
    char number[HOST_NUMBER_READ_MAX + 1];
    memset(number, 0, sizeof number);
    int fd = open(attribute, O_RDONLY);
    if (fd == -1) {
        loc = LOC_PARAMF_OPEN;
    } else {
        ssize_t n = read(fd, number, HOST_NUMBER_READ_MAX);
        close(fd);
        if (n == -1)
            loc = LOC_PARAMF_READ;
    }
    if (!loc) {
        size_t len = 0;
        // Letters and digits of the C locale, the command's only one.
        while (len < HOST_NUMBER_READ_MAX && isalnum((unsigned char)number[len]))
            len++;
        // Sixteen letters and digits may be the start of a longer number:
        // naming some other host from a cut-off number would be worse than
        // failing.
        if (len == HOST_NUMBER_READ_MAX)
            loc = LOC_PARAMF_HOST_LONG;
        number[len] = '\0';
    }
    if (!loc && !format_path(host_path, bufsize, "/sys/class/scsi_host/host%s/device", number))
        loc = LOC_PARAMF_PATH_LONG;
    if (!loc && !read_link(host_path, target, bufsize))
        loc = LOC_PARAMF_READLINK;
    if (!loc) {
        // The adapter's PCI function is the directory that holds the host:
        // "../../devices/pci0000:00/0000:06:01.0/host2" gives "0000:06:01.0".
        const char *name = basename(dirname(target));
        if (strlen(name) >= size)
            loc = LOC_PARAMF_BUSID_LONG;
        else
            strcpy(busid, name);
    }

    free_buffers(bufs, PARAMF_BUFFERS);
    if (loc) {
        report_callee(paramf_name, loc);
        return -1;
    }
    return 0;
}

int get_pci_by_tovrd_sysfs(int mode, const char *label, const char *path) {
    (void)mode;  // both callers are served alike
    char *bufs[TOVRD_BUFFERS];
    size_t size;
    if (alloc_buffers(bufs, &size, TOVRD_BUFFERS, tovrd_buffer_locations, tovrd_name) == -1)
        return -1;
    char *block_link = bufs[0];
    char *target = bufs[1];
    char *dir_path = bufs[2];
    char *attribute = bufs[3];
    char *entry = bufs[4];
    char *busid = bufs[5];  // SYSFS_BUSID_SIZE bytes of it are used

    unsigned loc = 0;
    DIR *dir = nullptr;
    int count = 0;
    // The disk's name is the last component of its path (basename takes a
    // copy, which the link's target replaces once the name is used).
    if (!format_path(target, size, "%s", path) ||
        !format_path(block_link, size, "/sys/block/%s/device", basename(target))) {
        loc = LOC_TOVRD_PATH_LONG;
    } else if (!read_link(block_link, target, size)) {
        loc = LOC_TOVRD_READLINK;
    } else {
        char *mpdev = strstr(target, TOVH_MARK);
        char *slash = mpdev ? strchr(mpdev, '/') : nullptr;
        if (!mpdev)
            loc = LOC_TOVRD_NO_TOVH;
        else if (!slash)
            loc = LOC_TOVRD_NO_SLASH;
        else {
            *slash = '\0';
            if (!format_path(dir_path, size, "/sys/devices/tovx/%s/", mpdev))
                loc = LOC_TOVRD_PATH_LONG;
            else if (!(dir = opendir(dir_path)))
                loc = LOC_TOVRD_OPENDIR;
        }
    }

    bool failed = loc != 0;
    while (!failed) {
        struct dirent *de = readdir(dir);
        if (!de)
            break;
        if (!strstr(de->d_name, SCSI_HOST_MARK))
            continue;
        failed = true;
        if (!format_path(attribute, size, "%s%s", dir_path, de->d_name))
            loc = LOC_TOVRD_PATH_LONG;
        else if (query_from_paramf(attribute, busid, SYSFS_BUSID_SIZE) == -1)
            loc = LOC_TOVRD_HOST_QUERY;
        else if (compose_entry(entry, size, label, path, 1, tovrd_name) == -1)
            break;  // reported by compose_entry
        else {
            int added = parse_hba_addr_conf_busid_add(entry, busid, SYSFS_BUSID_SIZE);
            if (added == -1)
                loc = LOC_TOVRD_ADD;
            else {
                count += added;
                failed = false;
            }
        }
    }

    if (dir)
        closedir(dir);
    free_buffers(bufs, TOVRD_BUFFERS);
    if (loc)
        report_callee(tovrd_name, loc);
    return failed ? -1 : count;
}
