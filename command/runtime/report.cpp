#include "runtime/report.h"

#include <errno.h>
#include <stdio.h>

#include "runtime/log.h"

// Every report keeps the caller's error number, so a caller can report and
// then still return with errno describing the failure.

void report_fatal(unsigned loc) {
    int saved = errno;
    fprintf(stderr, "ERROR: there was a fatal error(%x).\n", loc);
    log_err("there was a fatal error(%x).\n", loc);
    errno = saved;
}

void report_no_resources(long long amount, unsigned loc) {
    int saved = errno;
    fprintf(stderr, "ERROR: lack of resources(%llx:%x).\n", (unsigned long long)amount, loc);
    log_err("lack of resources(%llx:%x).\n", (unsigned long long)amount, loc);
    errno = saved;
}

void report_io(const char *path, int err, unsigned loc) {
    int saved = errno;
    fprintf(stderr, "ERROR: %s: an input/output error has occurred(%x:%x).\n", path, err, loc);
    log_err("%s: an input/output error has occurred(%x:%x).\n", path, err, loc);
    errno = saved;
}

void report_access(const char *path, unsigned detail, unsigned loc) {
    int saved = errno;
    fprintf(stderr, "ERROR: %s: failed to access file(%x:%x).\n", path, detail, loc);
    log_err("%s: failed to access file(%x:%x).\n", path, detail, loc);
    errno = saved;
}

void report_callee(const char *name, unsigned loc) {
    int saved = errno;
    log_err("callee %s(%d).\n", name, (int)loc);
    errno = saved;
}
