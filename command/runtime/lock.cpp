#include "runtime/lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    RETRY_ATTEMPTS = 10,
};
const struct timespec retry_pause = {1, 0};

// Location codes of the three reports, for each of the two operations.
struct retry_locations {
    unsigned failed;
    unsigned sleep_failed;
    unsigned timeout;
};
const retry_locations open_locations = {0x3de, 0x3d7, 0x3e7};
const retry_locations lockf_locations = {0x40a, 0x403, 0x413};

struct retry_op {
    int (*attempt)(const retry_op *op);
    const char *path;
    int flags;  // open
    int fd;     // lockf
    int cmd;
    long len;
};

int attempt_open(const retry_op *op) {
    return open(op->path, op->flags);
}

// The lock file is opened without following a symbolic link (a link planted
// there would make root open any file read-write) and without waiting on
// whatever answers open; it must be a regular file.
int attempt_open_lock(const retry_op *op) {
    int fd = open(op->path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1)
        return -1;
    struct stat st;
    int err = fstat(fd, &st) == -1 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (err) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int attempt_lockf(const retry_op *op) {
    return lockf(op->fd, op->cmd, op->len);
}

int with_retry(const retry_op *op, const retry_locations *loc) {
    for (int attempt = 1; attempt <= RETRY_ATTEMPTS; attempt++) {
        int r = op->attempt(op);
        if (r != -1)
            return r;
        if (errno != EAGAIN) {
            report_io(op->path, errno, loc->failed);
            return -1;
        }
        if (nanosleep(&retry_pause, nullptr) == -1) {
            report_no_resources((long long)errno, loc->sleep_failed);
            log_err("%ld.%ld[s]\n", (long)retry_pause.tv_sec, (long)retry_pause.tv_nsec);
            return -1;
        }
    }
    report_io(op->path, EAGAIN, loc->timeout);
    log_err("timeout in %d * %ld.%ld[s]\n", RETRY_ATTEMPTS, (long)retry_pause.tv_sec,
            (long)retry_pause.tv_nsec);
    errno = EAGAIN;
    return -1;
}

}  // namespace

int open_with_retry(const char *path, int flags) {
    retry_op op = {attempt_open, path, flags, -1, 0, 0};
    return with_retry(&op, &open_locations);
}

int open_lock_file(const char *path) {
    retry_op op = {attempt_open_lock, path, 0, -1, 0, 0};
    return with_retry(&op, &open_locations);
}

int lockf_with_retry(int fd, int cmd, long len, const char *path) {
    retry_op op = {attempt_lockf, path, 0, fd, cmd, len};
    return with_retry(&op, &lockf_locations);
}
