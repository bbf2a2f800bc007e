// Log file of the command: one record per call, reopened after every line,
// rotated by size into numbered generations.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

enum {
    LOG_TO_FILE = 4,  // the only option bit that has an effect
};

enum {
    LOG_LEVEL_ERR = 3,
    LOG_LEVEL_INFO = 6,
};

enum {
    LOG_MSG_SIZE = 4096,
};

struct log_handle {
    const char *identity;
    const char *path;  // not copied; the caller keeps it alive
    int32_t size_limit;
    int32_t generations;
    int fd;
    FILE *stream;
    char *msg;
    unsigned msg_size;
};

log_handle *log_open(const char *identity, const char *path, int32_t size_limit, int32_t generations,
                     unsigned *detail);
int log_write(log_handle *h, unsigned options, int level, unsigned *detail, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void log_close(log_handle *h);

// Shifts path.1 .. path.N one generation up and moves path itself to path.1.
int rotate_file(int generations, char *scratch, size_t scratch_size, const char *path,
                unsigned *detail);
// The same shift, but path itself stays in place (it is then also path.1),
// so a file about to be replaced by rename never goes missing.
int rotate_file_keep(int generations, char *scratch, size_t scratch_size, const char *path,
                     unsigned *detail);

// The process-wide log of the command; null until the entry opened it,
// in which case the helpers below format nothing and write nothing.
extern log_handle *g_log;

void log_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
