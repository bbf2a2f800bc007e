#include "runtime/log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

log_handle *g_log;

namespace {

// Detail codes. The open steps are shared by log_open (base 0x400) and the
// reopening after every line (base 0x1000).
enum {
    LOGD_STAT = 6,
    LOGD_NOT_REGULAR = 7,
    LOGD_OPEN = 8,
    LOGD_STREAM = 9,
    LOGD_OPEN_BASE = 0x400,
    LOGD_REOPEN_BASE = 0x1000,
    LOGD_NO_HANDLE_MEM = 10,
    LOGD_NO_BUFFER_MEM = 11,
    LOGD_NULL_HANDLE = 12,
    LOGD_MSG_SIZE = 13,
    LOGD_TIME = 14,
    LOGD_LOCALTIME = 15,
    LOGD_TIMESTAMP = 16,
    LOGD_HOSTNAME = 17,
};

enum {
    ROTD_NAME_HIGH = 2,
    ROTD_UNLINK = 3,
    ROTD_NAME_LOW = 4,
    ROTD_LINK = 5,
};

const char *const level_names[] = {"EMERG", "ALERT", "CRIT", "ERR", "WARNING", "NOTICE", "INFO", "DEBUG"};

void set_detail(unsigned *detail, unsigned value) {
    if (detail)
        *detail = value;
}

// Opens the log file for appending, creating it when missing, without ever
// following a symbolic link: a name that is not a regular file is refused
// by lstat before anything is opened, the open itself uses O_NOFOLLOW, and
// the descriptor is checked again with fstat, so a link or other file
// planted between the check and the open is refused as well. One open both
// creates and appends, so another run creating the file or rotating it away
// meanwhile cannot make it fail. Returns 0, or the step that failed.
unsigned open_log_file(log_handle *h) {
    struct stat st;
    if (lstat(h->path, &st) == -1) {
        if (errno != ENOENT)
            return LOGD_STAT;
    } else if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return LOGD_NOT_REGULAR;
    }
    // O_NONBLOCK keeps a FIFO swapped in after the check from blocking us.
    int fd = open(h->path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
    if (fd == -1)
        return errno == ELOOP ? LOGD_NOT_REGULAR : LOGD_OPEN;
    if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return LOGD_NOT_REGULAR;
    }
    fcntl(fd, F_SETFL, O_APPEND);
    FILE *stream = fdopen(fd, "a");
    if (!stream) {
        int err = errno;
        close(fd);
        errno = err;
        return LOGD_STREAM;
    }
    h->fd = fd;
    h->stream = stream;
    return 0;
}

void close_log_file(log_handle *h) {
    if (h->stream)
        fclose(h->stream);
    else if (h->fd != -1)
        close(h->fd);
    h->stream = nullptr;
    h->fd = -1;
}

__attribute__((format(printf, 5, 0))) int log_vwrite(log_handle *h, unsigned options, int level,
                                                     unsigned *detail, const char *fmt, va_list ap) {
    int saved = errno;
    if (!h) {
        set_detail(detail, LOGD_NULL_HANDLE);
        errno = EINVAL;
        return -1;
    }
    const char *name = (unsigned)level < sizeof level_names / sizeof level_names[0]
                           ? level_names[level]
                           : "UNKNOWN";
    int n = vsnprintf(h->msg, h->msg_size, fmt, ap);
    if (n <= 0 || (unsigned)n >= h->msg_size) {
        set_detail(detail, LOGD_MSG_SIZE);
        errno = EOVERFLOW;
        return -1;
    }
    if (!(options & LOG_TO_FILE) || !h->stream) {
        errno = saved;
        return 0;
    }

    struct timeval tv;
    struct tm tm;
    char stamp[32];
    char host[256];
    if (gettimeofday(&tv, nullptr) == -1) {
        set_detail(detail, LOGD_TIME);
        return -1;
    }
    time_t secs = tv.tv_sec;
    if (!localtime_r(&secs, &tm)) {
        set_detail(detail, LOGD_LOCALTIME);
        return -1;
    }
    size_t len = strftime(stamp, sizeof stamp, "%b %d %T", &tm);
    if (len == 0 || len > 31) {
        set_detail(detail, LOGD_TIMESTAMP);
        errno = EOVERFLOW;
        return -1;
    }
    if (gethostname(host, sizeof host) == -1) {
        set_detail(detail, LOGD_HOSTNAME);
        return -1;
    }
    host[sizeof host - 1] = '\0';

    fprintf(h->stream, "%s %s %s[%d]: %s: <%lx.%lx>%s", stamp, host, h->identity, (int)getpid(), name,
            (unsigned long)tv.tv_sec, (unsigned long)tv.tv_usec, h->msg);

    // The line is still in the stream's buffer, so this is the size before
    // it: the line that crosses the limit lands in generation 1.
    struct stat st;
    if (fstat(h->fd, &st) == -1) {
        errno = saved;
        return 0;
    }
    if (st.st_size >= h->size_limit &&
        rotate_file(h->generations, h->msg, h->msg_size, h->path, nullptr) == -1) {
        errno = saved;
        return 0;
    }
    close_log_file(h);
    unsigned step = open_log_file(h);
    if (step) {
        set_detail(detail, LOGD_REOPEN_BASE | step);
        return -1;
    }
    errno = saved;
    return 0;
}

// Builds "path" (generation 0) or "path.N" into buf; false if it does not fit.
bool generation_name(char *buf, size_t size, const char *path, int gen) {
    int n = gen == 0 ? snprintf(buf, size, "%s", path) : snprintf(buf, size, "%s.%d", path, gen);
    return n > 0 && (size_t)n < size;
}

}  // namespace

log_handle *log_open(const char *identity, const char *path, int32_t size_limit, int32_t generations,
                     unsigned *detail) {
    int saved = errno;
    log_handle *h = (log_handle *)calloc(1, sizeof *h);
    if (!h) {
        set_detail(detail, LOGD_NO_HANDLE_MEM);
        errno = ENOMEM;
        return nullptr;
    }
    h->identity = identity;
    h->path = path;
    h->size_limit = size_limit;
    h->generations = generations;
    h->fd = -1;
    unsigned code = 0;
    if (path) {
        unsigned step = open_log_file(h);
        if (step)
            code = LOGD_OPEN_BASE | step;
    }
    if (!code) {
        h->msg = (char *)malloc(LOG_MSG_SIZE);
        if (!h->msg) {
            code = LOGD_NO_BUFFER_MEM;
            errno = ENOMEM;
        }
    }
    if (code) {
        int err = errno;
        close_log_file(h);
        free(h);
        set_detail(detail, code);
        errno = err;
        return nullptr;
    }
    h->msg_size = LOG_MSG_SIZE;
    errno = saved;
    return h;
}

int log_write(log_handle *h, unsigned options, int level, unsigned *detail, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = log_vwrite(h, options, level, detail, fmt, ap);
    va_end(ap);
    return r;
}

void log_info(const char *fmt, ...) {
    if (!g_log)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(g_log, LOG_TO_FILE, LOG_LEVEL_INFO, nullptr, fmt, ap);
    va_end(ap);
}

void log_err(const char *fmt, ...) {
    if (!g_log)
        return;
    va_list ap;
    va_start(ap, fmt);
    log_vwrite(g_log, LOG_TO_FILE, LOG_LEVEL_ERR, nullptr, fmt, ap);
    va_end(ap);
}

void log_close(log_handle *h) {
    if (!h)
        return;
    free(h->msg);
    close_log_file(h);
    free(h);
}

namespace {

int rotate_generations(int generations, char *scratch, size_t scratch_size, const char *path,
                       unsigned *detail, bool remove_current) {
    if (generations < 0)
        return 0;
    for (int gen = generations; gen >= 1; gen--) {
        char *high = scratch;
        if (!generation_name(high, scratch_size, path, gen)) {
            set_detail(detail, ROTD_NAME_HIGH);
            errno = EOVERFLOW;
            return -1;
        }
        if (unlink(high) == -1 && errno != ENOENT) {
            set_detail(detail, ROTD_UNLINK);
            return -1;
        }
        size_t used = strlen(high) + 1;
        char *low = scratch + used;
        if (!generation_name(low, scratch_size - used, path, gen - 1)) {
            set_detail(detail, ROTD_NAME_LOW);
            errno = EOVERFLOW;
            return -1;
        }
        if (link(low, high) == -1 && errno != ENOENT) {
            set_detail(detail, ROTD_LINK);
            return -1;
        }
    }
    if (remove_current && unlink(path) == -1 && errno != ENOENT) {
        set_detail(detail, ROTD_UNLINK);
        return -1;
    }
    return 0;
}

}  // namespace

int rotate_file(int generations, char *scratch, size_t scratch_size, const char *path,
                unsigned *detail) {
    return rotate_generations(generations, scratch, scratch_size, path, detail, true);
}

int rotate_file_keep(int generations, char *scratch, size_t scratch_size, const char *path,
                     unsigned *detail) {
    return rotate_generations(generations, scratch, scratch_size, path, detail, false);
}
