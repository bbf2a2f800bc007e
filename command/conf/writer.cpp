// Table writer: prints the table list, or replaces the table file through a
// temporary file with ten numbered backups.
//
// The replace of path P never leaves P missing, whenever the process dies:
//  1. the new table is written to a temporary file beside P and synced;
//  2. the backups shift up one generation and P is linked as P.1 (P stays);
//  3. the temporary file is renamed over P, which swaps it atomically;
//  4. the directory is synced, so the new names are on disk as well.
// SIGHUP, SIGINT and SIGTERM are held back from the start to the end and
// delivered after the table is complete.
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "conf/conf.h"
#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_PRINT_FLUSH = 0x2050,
    LOC_PRINT_WRITE = 0x2051,
    LOC_PRINT_FILENO = 0x2052,
    LOC_PRINT_SYNC = 0x2053,
    LOC_SAVE_SIGSET = 0x2060,
    LOC_SAVE_SIGBLOCK = 0x2061,
    LOC_SAVE_TEMP_NAME = 0x2062,
    LOC_SAVE_SCRATCH = 0x2063,
    LOC_SAVE_MKSTEMP = 0x2064,
    LOC_SAVE_STREAM = 0x2065,
    LOC_SAVE_CLOSE = 0x2066,
    LOC_SAVE_RENAME = 0x2067,
    LOC_SAVE_DIR_OPEN = 0x2068,
    LOC_SAVE_DIR_SYNC = 0x2069,
};

enum {
    TABLE_BACKUPS = 10,
    TEMP_SUFFIX_LEN = 6,  // "XXXXXX"
};

const char STDOUT_NAME[] = "(stdout)";

// Next record that is printed at all.
const conf_record *next_printed(const conf_record *rec) {
    while (rec && (rec->flags & REC_DELETED))
        rec = rec->next;
    return rec;
}

// Syncs the directory that holds path, so that a rename into it lasts.
// scratch is a buffer of at least strlen(path) + 1 bytes.
int sync_directory(const char *path, char *scratch) {
    const char *dir = dirname(strcpy(scratch, path));
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) {
        report_io(dir, errno, LOC_SAVE_DIR_OPEN);
        return -1;
    }
    int r = fsync(fd);
    if (r == -1)
        report_io(dir, errno, LOC_SAVE_DIR_SYNC);
    close(fd);
    return r;
}

// Logs the held-back signals that are pending and flushes every stream,
// so that what this run printed is out before a signal ends it.
void note_pending_signals(void) {
    sigset_t pending;
    if (sigpending(&pending) == -1) {
        log_info("could not get pending signal(%d).\n", errno);
        fflush(nullptr);
        return;
    }
    unsigned long long mask = 0;
    for (int sig = 1; sig <= 63; sig++)
        if (sigismember(&pending, sig) == 1)
            mask |= 1ULL << (sig - 1);
    if (mask) {
        log_info("pending signal 0x%llx\n", mask);
        fflush(nullptr);
    }
}

void restore_signals(const sigset_t *old) {
    if (sigprocmask(SIG_SETMASK, old, nullptr) == -1)
        log_info("could not set unblocked signals(%d).\n", errno);
}

}  // namespace

int print_hba_addr_conf(FILE *stream, const char *path) {
    const char *name = path ? path : STDOUT_NAME;
    for (const conf_record *rec = next_printed(g_hba_conf.first); rec;) {
        // The command is single-threaded: the stream needs no locking, and
        // the record's size already gives the text's length.
        fwrite_unlocked(rec->text, 1, rec->size - 1, stream);
        const conf_record *next = next_printed(rec->next);
        if (!(rec->flags & REC_EOL) && next && !(next->flags & REC_EOL))
            putc_unlocked(' ', stream);
        rec = next;
    }
    if (fflush(stream) == EOF) {
        report_io(name, errno, LOC_PRINT_FLUSH);
        return -1;
    }
    // A write that failed while the stream emptied its buffer on the way
    // leaves only the error mark; the last flush may well succeed.
    if (ferror(stream)) {
        report_io(name, errno ? errno : EIO, LOC_PRINT_WRITE);
        return -1;
    }
    if (!path)
        return 0;
    int fd = fileno(stream);
    if (fd == -1) {
        report_io(name, errno, LOC_PRINT_FILENO);
        return -1;
    }
    if (fsync(fd) == -1) {
        report_io(name, errno, LOC_PRINT_SYNC);
        return -1;
    }
    return 0;
}

int save_hba_addr_conf(const char *path) {
    sigset_t held, old;
    if (sigemptyset(&held) == -1 || sigaddset(&held, SIGHUP) == -1 ||
        sigaddset(&held, SIGINT) == -1 || sigaddset(&held, SIGTERM) == -1) {
        report_no_resources(errno, LOC_SAVE_SIGSET);
        return -1;
    }
    if (sigprocmask(SIG_BLOCK, &held, &old) == -1) {
        report_no_resources(errno, LOC_SAVE_SIGBLOCK);
        return -1;
    }

    if (!path) {
        int r = print_hba_addr_conf(stdout, nullptr);
        if (r == 0)
            note_pending_signals();
        restore_signals(&old);
        return r;
    }

    size_t temp_size = strlen(path) + TEMP_SUFFIX_LEN + 1;
    size_t scratch_size = 2 * temp_size;
    char *temp = (char *)calloc(1, temp_size);
    if (!temp) {
        report_no_resources((long long)temp_size, LOC_SAVE_TEMP_NAME);
        restore_signals(&old);
        return -1;
    }
    char *scratch = (char *)calloc(1, scratch_size);
    if (!scratch) {
        report_no_resources((long long)scratch_size, LOC_SAVE_SCRATCH);
        free(temp);
        restore_signals(&old);
        return -1;
    }

    int result = -1;
    unsigned rotate_detail = 0;
    FILE *stream = nullptr;
    snprintf(temp, temp_size, "%sXXXXXX", path);
    int fd = mkstemp(temp);
    if (fd == -1) {
        report_io(temp, errno, LOC_SAVE_MKSTEMP);
        goto out;
    }
    stream = fdopen(fd, "w+");
    if (!stream) {
        report_io(temp, errno, LOC_SAVE_STREAM);
        close(fd);
        unlink(temp);
        goto out;
    }
    if (print_hba_addr_conf(stream, path) == -1) {
        fclose(stream);
        unlink(temp);
        goto out;
    }
    if (fclose(stream) == EOF) {
        report_io(temp, errno, LOC_SAVE_CLOSE);
        unlink(temp);
        goto out;
    }

    // P itself stays in place: it is only linked as P.1 here, and the
    // rename below swaps the new table in without a moment of no P.
    if (rotate_file_keep(TABLE_BACKUPS, scratch, scratch_size, path, &rotate_detail) == -1)
        log_info("can not rotate the file(%s:%d:0x%x).\n", path, errno, rotate_detail);
    if (rename(temp, path) == -1) {
        report_io(path, errno, LOC_SAVE_RENAME);
        goto out;
    }
    if (sync_directory(path, scratch) == -1)
        goto out;
    result = 0;

out:
    free(scratch);
    free(temp);
    if (result == 0)
        note_pending_signals();
    restore_signals(&old);
    return result;
}
