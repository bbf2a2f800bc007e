// Volumes and classes of the volume manager: its query command names the
// disks underneath, and each disk's adapter is asked for through the
// diagnostic node (or found on the multipath route).
//
// Of the query's output (standard output and error together) only the
// lines whose first word is "disk" are used; their sixth word is a disk
// name relative to /dev/.
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conf/conf.h"
#include "resolve/resolve.h"
#include "resolve/resolve_ioctl.h"
#include "runtime/lock.h"
#include "runtime/log.h"
#include "runtime/report.h"

conf_list g_mxv_class_list;
conf_list g_mxv_volume_list;

namespace {

enum {
    LOC_CLASS_NO_COMMAND = 1493,
    LOC_CLASS_QUERY = 1502,
    LOC_CLASS_BUFFER = 1511,
    LOC_CLASS_DIAG = 1518,
    LOC_VOLUME_QUERY = 1401,
    LOC_VOLUME_BUFFER = 1408,
    LOC_VOLUME_DIAG = 1415,
    LOC_SUB_RESOLVE = 1309,
    LOC_SUB_ROUTE = 1343,
    LOC_SUB_DEV_PATH = 0x3020,   // the disk name does not fit a path buffer
    LOC_DISK_NOT_WORD = 0x3021,  // the sixth place of a "disk" line holds no word
    LOC_SPLIT_DUP_CLASS = 0x42b,
    LOC_SPLIT_DUP_VOLUME = 0x431,
    LOC_SPLIT_CLASS = 0x448,
    LOC_SPLIT_VOLUME = 0x450,
    LOC_VOLUME_RUN = 0x4aa,
};

const char DISK_LABEL[] = "disk";
const char QUERY_OPTION[] = "-D";
const char CLASS_FLAG[] = "-c";
const char VOLUME_FLAG[] = "-o";

enum {
    DISK_NAME_FIELD = 6,
    QUERY_ARGS_MAX = 7,  // path, option, -c CLASS, -o VOLUME, terminator
};

const char class_name_op[] = "get_pci_by_guess_mxv_class";
const char volume_op[] = "get_pci_by_mxv";

void report_illegal_class(const char *name) {
    fprintf(stderr, "ERROR: illegal class-name %s.\n", name);
    log_err("illegal class-name %s.\n", name);
}

// The argument vector of a query; returns the number of words.
int query_argv(char **argv, const char *option, const char *class_name, const char *volume) {
    int n = 0;
    argv[n++] = (char *)MXVINFO_PATH;
    if (option)
        argv[n++] = (char *)option;
    if (class_name) {
        argv[n++] = (char *)CLASS_FLAG;
        argv[n++] = (char *)class_name;
    }
    if (volume) {
        argv[n++] = (char *)VOLUME_FLAG;
        argv[n++] = (char *)volume;
    }
    argv[n] = nullptr;
    return n;
}

const char *word(char *const *argv, int n, int i) {
    return i < n ? argv[i] : "";
}

// One disk of a query's output. Only a word names a disk: a line end or
// comment left in the sixth place fails the operand rather than being
// taken for a disk name.
int add_disk(int fd, const char *label, const conf_record *rec, char *buffer, size_t size) {
    if (!(rec->flags & REC_WORD)) {
        report_fatal(LOC_DISK_NOT_WORD);
        return -1;
    }
    return get_pci_by_mxv_sub(fd, label, rec->text, buffer, size);
}

// Adds the entry lines of every disk named in a query's list, under label,
// through the diagnostic node; each disk's records are removed once it is
// added. The path buffer and the node are reported as the caller's, with
// its location codes. Returns the number of lines added, or -1.
int add_listed_disks(conf_list *list, const char *label, const char *caller, unsigned buffer_loc,
                     unsigned diag_loc) {
    size_t size;
    char *buffer = alloc_path_buffer(&size);
    if (!buffer) {
        report_callee(caller, buffer_loc);
        return -1;
    }
    int fd = open_with_retry(MXVOL_DIAG_PATH, O_RDWR | O_NONBLOCK);
    if (fd == -1) {
        report_callee(caller, diag_loc);
        free(buffer);
        return -1;
    }

    int total = 0;
    conf_record *next;
    for (conf_record *rec = list->first; rec; rec = next) {
        next = rec->next;
        if (rec->field != DISK_NAME_FIELD)
            continue;
        int added = add_disk(fd, label, rec, buffer, size);
        if (added == -1) {
            total = -1;
            break;
        }
        total += added;
        conf_remove(list, rec);
    }
    close(fd);
    free(buffer);
    return total;
}

}  // namespace

int split_volume_path(const char *path, char **class_out, char **volume_out) {
    char *dir_copy = strdup(path);
    if (!dir_copy) {
        report_no_resources(errno, LOC_SPLIT_DUP_CLASS);
        log_err("%s\n", path);
        return -1;
    }
    char *base_copy = strdup(path);
    if (!base_copy) {
        report_no_resources(errno, LOC_SPLIT_DUP_VOLUME);
        log_err("%s\n", path);
        free(dir_copy);
        return -1;
    }
    // The class is the directory two levels above the volume:
    // /dev/mxvol/CLASS/DIR/VOLUME.
    const char *class_part = basename(dirname(dirname(dir_copy)));
    size_t size = strlen(class_part) + 1;
    char *class_name = strdup(class_part);
    if (!class_name) {
        report_no_resources((long long)size, LOC_SPLIT_CLASS);
        free(dir_copy);
        free(base_copy);
        return -1;
    }
    const char *volume_part = basename(base_copy);
    size = strlen(volume_part) + 1;
    char *volume = strdup(volume_part);
    if (!volume) {
        report_no_resources((long long)size, LOC_SPLIT_VOLUME);
        free(class_name);
        free(dir_copy);
        free(base_copy);
        return -1;
    }
    free(dir_copy);
    free(base_copy);
    *class_out = class_name;
    *volume_out = volume;
    return 0;
}

int mxvinfo_query_class(const char *option, const char *class_name, int32_t timeout_ms,
                        const scan_callbacks *cb) {
    char *argv[QUERY_ARGS_MAX];
    int n = query_argv(argv, option, class_name, nullptr);
    int status = 0;  // shown as 0 when the child was never waited for
    unsigned detail = 0;
    int r = run_command(MXVINFO_PATH, argv, timeout_ms, cb, &status, &detail);
    if (r == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    log_err("%s %s %s %s 0x%x.\n", word(argv, n, 0), word(argv, n, 1), word(argv, n, 2),
            word(argv, n, 3), (unsigned)status);
    return -1;
}

int mxvinfo_query_volume(const char *option, const char *class_name, const char *volume,
                         int32_t timeout_ms, const scan_callbacks *cb) {
    char *argv[QUERY_ARGS_MAX];
    int n = query_argv(argv, option, class_name, volume);
    int status = 0;
    unsigned detail = 0;
    // Whatever the command's exit status, its output (usually none when it
    // failed) is what the volume has.
    if (run_command(MXVINFO_PATH, argv, timeout_ms, cb, &status, &detail) == 0)
        return 0;
    report_access(MXVINFO_PATH, detail, LOC_VOLUME_RUN);
    log_err("%s %s %s %s %s %s ret 0x%x.\n", word(argv, n, 0), word(argv, n, 1), word(argv, n, 2),
            word(argv, n, 3), word(argv, n, 4), word(argv, n, 5), (unsigned)status);
    return -1;
}

int get_pci_by_mxv_sub(int fd, const char *label, const char *disk, char *buffer, size_t size) {
    if (!build_absolute_dev_path(disk, buffer, size)) {
        report_callee("get_pci_by_mxv_sub", LOC_SUB_DEV_PATH);
        return -1;
    }
    struct stat st;
    char *real = resolve_device_path(buffer, &st);
    if (!real) {
        report_callee("get_pci_by_mxv_sub", LOC_SUB_RESOLVE);
        return -1;
    }
    int result = -1;
    if (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
        // Handed to the log without LOG_TO_FILE: nothing is written.
        log_write(g_log, LOG_NOT_TO_FILE, LOG_LEVEL_ERR, nullptr, "%s is not special file.\n", label);
    } else {
        if (g_multipath_presence == MULTIPATH_PRESENT)
            result = get_pci_by_tovrd_sysfs(ROUTE_MXVOL, label, real);
        else
            result = get_pci_by_sd(ROUTE_MXVOL, label, real, fd, st.st_rdev);
        if (result == -1)
            log_err("callee %d\n", LOC_SUB_ROUTE);
    }
    free(real);
    return result;
}

int get_pci_by_guess_mxv_class(const char *name, int32_t timeout_ms) {
    struct stat st;
    char *command = resolve_device_path(MXVINFO_PATH, &st);
    if (!command) {
        report_callee(class_name_op, LOC_CLASS_NO_COMMAND);
        report_illegal_class(name);
        return -1;
    }
    free(command);

    conf_context ctx = {&g_mxv_class_list, MXVINFO_PATH, 1, 1, DISK_LABEL, {2, 4, 6, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, conf_select, &ctx};
    if (mxvinfo_query_class(QUERY_OPTION, name, timeout_ms, &cb) == -1) {
        report_callee(class_name_op, LOC_CLASS_QUERY);
        report_illegal_class(name);
        return -1;
    }
    return add_listed_disks(&g_mxv_class_list, name, class_name_op, LOC_CLASS_BUFFER,
                            LOC_CLASS_DIAG);
}

int get_pci_by_mxv(const char *operand, const char *resolved, int32_t timeout_ms) {
    char *class_name;
    char *volume;
    if (split_volume_path(resolved, &class_name, &volume) == -1)
        return -1;

    int total = -1;
    conf_context ctx = {&g_mxv_volume_list, MXVINFO_PATH, 1, 1, DISK_LABEL, {6, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, conf_select, &ctx};
    if (mxvinfo_query_volume(QUERY_OPTION, class_name, volume, timeout_ms, &cb) == -1)
        report_callee(volume_op, LOC_VOLUME_QUERY);
    else
        total = add_listed_disks(&g_mxv_volume_list, operand, volume_op, LOC_VOLUME_BUFFER,
                                 LOC_VOLUME_DIAG);
    free(class_name);
    free(volume);
    return total;
}
