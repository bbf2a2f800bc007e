// Path helpers of the label add: buffers, /dev/ names, real paths and the
// first word of a new entry line.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "conf/scan.h"
#include "resolve/resolve.h"
#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_PATH_BUFFER = 0x3001,     // alloc_path_buffer: no memory
    LOC_DEV_PATH_BUFFER = 1267,   // build_absolute_dev_path: no buffer
    LOC_DEV_PATH_LONG = 0x3002,   // build_absolute_dev_path: name too long
    LOC_RESOLVE_BUFFER = 0x4ca,   // resolve_device_path: no memory
    LOC_ENTRY_TOO_LONG = 0x3003,  // compose_entry: word too long
};

enum {
    FALLBACK_PATH_SIZE = 4096,
};

const char DEV_PREFIX[] = "/dev/";
const char ENTRY_SEPARATOR = ',';
const char TOVRD_SUFFIX[] = "tovrd";

}  // namespace

char *alloc_path_buffer(size_t *size) {
    long page = sysconf(_SC_PAGESIZE);
    long path_max = pathconf(DEV_PREFIX, _PC_PATH_MAX);
    long n = page > path_max ? page : path_max;
    if (n <= 0)
        n = FALLBACK_PATH_SIZE;
    char *buf = (char *)malloc((size_t)n);
    if (!buf) {
        report_no_resources(n, LOC_PATH_BUFFER);
        return nullptr;
    }
    *size = (size_t)n;
    return buf;
}

char *build_absolute_dev_path(const char *name, char *buffer, size_t size) {
    char *own = nullptr;
    if (!buffer) {
        own = alloc_path_buffer(&size);
        if (!own) {
            report_callee("build_absolute_dev_path", LOC_DEV_PATH_BUFFER);
            return nullptr;
        }
        buffer = own;
    }
    int n = snprintf(buffer, size, "%s%s", DEV_PREFIX, name);
    if (n < 0 || (size_t)n >= size) {
        report_callee("build_absolute_dev_path", LOC_DEV_PATH_LONG);
        free(own);
        return nullptr;
    }
    return buffer;
}

char *resolve_device_path(const char *path, struct stat *st) {
    long n = pathconf(path, _PC_PATH_MAX);
    if (n <= 0)
        n = FALLBACK_PATH_SIZE;
    // realpath writes up to PATH_MAX bytes whatever the file system says.
    if (n < PATH_MAX)
        n = PATH_MAX;
    char *real = (char *)calloc(1, (size_t)n);
    if (!real) {
        report_no_resources(n, LOC_RESOLVE_BUFFER);
        return nullptr;
    }
    if (!realpath(path, real)) {
        free(real);
        return nullptr;
    }
    if (stat(real, st) == -1) {
        int saved = errno;
        log_err("%s->%s.\n", path, real);
        free(real);
        errno = saved;
        return nullptr;
    }
    return real;
}

int compose_entry(char *entry, size_t size, const char *label, const char *path, int tovrd,
                  const char *caller) {
    int n;
    if (tovrd)
        n = snprintf(entry, size, "%s%c%s%c%s", label, ENTRY_SEPARATOR, path, ENTRY_SEPARATOR,
                     TOVRD_SUFFIX);
    else
        n = snprintf(entry, size, "%s%c%s", label, ENTRY_SEPARATOR, path);
    // The word must fit the buffer and be short enough for the line reader
    // to take it back, or every later run would fail on the written table.
    if (n < 0 || (size_t)n >= size || (unsigned)n > scan_block_size() - 1) {
        report_no_resources(n < 0 ? 0 : (long long)n + 1, LOC_ENTRY_TOO_LONG);
        report_callee(caller, LOC_ENTRY_TOO_LONG);
        return -1;
    }
    return 0;
}
