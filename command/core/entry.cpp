#include "core/entry.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "conf/conf.h"
#include "conf/scan.h"
#include "core/label_edit.h"
#include "core/options.h"
#include "pci/register.h"
#include "resolve/resolve.h"
#include "runtime/lock.h"
#include "runtime/log.h"
#include "runtime/report.h"

namespace {

#define LOG_PATH "/var/opt/KVXRtarnex/log/user.log"
#define LOCK_PATH "/var/opt/KVXRtarnex/lock/.tarnex.lock"

enum {
    LOG_SIZE_LIMIT = 0x100000,
    LOG_GENERATIONS = 4,
};

// Every place where a run ends has its own location code, so the last
// line of a run's log tells where it ended.
enum {
    LOC_END_LOCK_OPEN = 0xfce,
    LOC_END_LOCK = 0xfd3,
    LOC_END_OPTIONS = 0x1010,
    LOC_END_TABLE = 0x1011,
    LOC_END_LIST_FAILED = 0x1020,
    LOC_END_LIST = 0x1021,
    LOC_END_ADD_NONE = 0x1030,
    LOC_END_ADD_REFUSED = 0x1031,
    LOC_END_ADD_WRITE = 0x1032,
    LOC_END_ADD = 0x1033,
    LOC_END_CHANGE_FAILED = 0x1040,
    LOC_END_CHANGE_REFUSED = 0x1041,
    LOC_END_CHANGE_WRITE = 0x1042,
    LOC_END_CHANGE = 0x1043,
    LOC_END_DELETE_NONE = 0x1050,
    LOC_END_DELETE_REFUSED = 0x1051,
    LOC_END_DELETE_WRITE = 0x1052,
    LOC_END_DELETE = 0x1053,
    LOC_END_REGISTER_REFUSED = 0x1060,
    LOC_END_REGISTER = 0x1061,
};

enum {
    EXIT_NOT_ROOT = 1,
    EXIT_LOG = 2,
    EXIT_OPTIONS = 3,
    EXIT_TABLE = 4,
    EXIT_ADD_NONE = 6,
    EXIT_ADD_REFUSED = 7,
    EXIT_CHANGE_FAILED = 8,
    EXIT_REGISTER_REFUSED = 9,
    EXIT_LOCK_OPEN = 10,
    EXIT_LOCK = 11,
    EXIT_DELETE_NONE = 12,
    EXIT_EDIT_REFUSED = 20,
    EXIT_LIST_WRITE = 30,
    EXIT_ADD_WRITE = 31,
    EXIT_EDIT_WRITE = 32,
};

// A descriptor 0, 1 or 2 that the caller left closed would be taken by the
// log or the table file, and the listing or a message would land in it.
// Each closed one is held by /dev/null opened read-only, so writes to it
// fail as writes to a closed descriptor do.
void hold_standard_descriptors(void) {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int held = open("/dev/null", O_RDONLY);
        if (held != -1 && held != fd)
            close(held);  // a lower descriptor was free after all
    }
}

int end_run(unsigned loc, int status) {
    log_info("end(%x).\n", loc);
    return status;
}

int load_table(int32_t timeout) {
    conf_context ctx = {&g_hba_conf, g_opt.table_path, 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, hba_addr_conf_check, &ctx};
    unsigned detail = 0;
    if (scan_stream(g_opt.table_path, -1, timeout, &cb, &detail) == -1) {
        report_access(g_opt.table_path, detail, LOC_END_TABLE);
        return -1;
    }
    return 0;
}

// How a changing mode ends once its edit is made: the location code and
// status of a refusal by the driver and of a failed write, and the
// location code of success.
struct edit_ends {
    unsigned refused_loc;
    int refused_status;
    unsigned write_loc;
    int write_status;
    unsigned done_loc;
};
const edit_ends add_ends = {LOC_END_ADD_REFUSED, EXIT_ADD_REFUSED, LOC_END_ADD_WRITE,
                            EXIT_ADD_WRITE, LOC_END_ADD};
const edit_ends change_ends = {LOC_END_CHANGE_REFUSED, EXIT_EDIT_REFUSED, LOC_END_CHANGE_WRITE,
                               EXIT_EDIT_WRITE, LOC_END_CHANGE};
const edit_ends delete_ends = {LOC_END_DELETE_REFUSED, EXIT_EDIT_REFUSED, LOC_END_DELETE_WRITE,
                               EXIT_EDIT_WRITE, LOC_END_DELETE};

// Registers the edited table and writes it only once the driver accepted it.
int register_and_save(const edit_ends *ends, int32_t timeout) {
    if (register_hba_addr_conf(timeout) == -1)
        return end_run(ends->refused_loc, ends->refused_status);
    if (save_hba_addr_conf(g_opt.output_path) == -1)
        return end_run(ends->write_loc, ends->write_status);
    return end_run(ends->done_loc, 0);
}

int run_list(void) {
    if (save_hba_addr_conf(nullptr) == -1)
        return end_run(LOC_END_LIST_FAILED, EXIT_LIST_WRITE);
    return end_run(LOC_END_LIST, 0);
}

int run_add(int32_t timeout) {
    if (parse_hba_addr_conf_add(g_opt.operand_count, g_opt.operands, timeout) <= 0)
        return end_run(LOC_END_ADD_NONE, EXIT_ADD_NONE);
    return register_and_save(&add_ends, timeout);
}

int run_change(int32_t timeout) {
    const char *old_label = g_opt.operands[0];
    int changed = parse_hba_addr_conf_change(old_label, g_opt.operands[1]);
    if (changed < 0)
        return end_run(LOC_END_CHANGE_FAILED, EXIT_CHANGE_FAILED);
    if (changed == 0) {
        // This end alone logs no end line.
        fprintf(stderr, "ERROR: label %s is not found.\n", old_label);
        return EXIT_CHANGE_FAILED;
    }
    return register_and_save(&change_ends, timeout);
}

int run_delete(int32_t timeout) {
    int found = 0;
    for (int i = 0; i < g_opt.operand_count; i++) {
        if (parse_hba_addr_conf_delete(g_opt.operands[i]) == 0)
            fprintf(stderr, "ERROR: label %s is not found.\n", g_opt.operands[i]);
        else
            found = 1;
    }
    if (!found)
        return end_run(LOC_END_DELETE_NONE, EXIT_DELETE_NONE);
    return register_and_save(&delete_ends, timeout);
}

int run_register(int32_t timeout) {
    if (register_hba_addr_conf(timeout) == -1)
        return end_run(LOC_END_REGISTER_REFUSED, EXIT_REGISTER_REFUSED);
    return end_run(LOC_END_REGISTER, 0);
}

}  // namespace

int tarnex_main(int argc, char **argv) {
    hold_standard_descriptors();
    if (geteuid() != 0) {
        fputs("ERROR: must run as root.\n", stderr);
        return EXIT_NOT_ROOT;
    }
    unsigned detail = 0;
    g_log = log_open(program_invocation_short_name, LOG_PATH, LOG_SIZE_LIMIT, LOG_GENERATIONS, &detail);
    if (!g_log) {
        fprintf(stderr, "ERROR: initialization failed(%x).\n", detail);
        return EXIT_LOG;
    }
    log_info("start.\n");

    // Held until the process exits; the kernel drops the lock then.
    int lock_fd = open_with_retry(LOCK_PATH, O_RDWR);
    if (lock_fd == -1)
        return end_run(LOC_END_LOCK_OPEN, EXIT_LOCK_OPEN);
    if (lockf_with_retry(lock_fd, F_TLOCK, 0, LOCK_PATH) != 0)
        return end_run(LOC_END_LOCK, EXIT_LOCK);

    if (parse_options(argc, argv) == -1)
        return end_run(LOC_END_OPTIONS, EXIT_OPTIONS);
    log_info("option %d %d %d %d\n", g_opt.add, g_opt.del, g_opt.list, g_opt.reg);

    // Every input wait of the run takes this time-out.
    int32_t timeout = timeout_ms();
    if (load_table(timeout) == -1)
        return end_run(LOC_END_TABLE, EXIT_TABLE);

    if (g_opt.list)
        return run_list();
    if (g_opt.add)
        return run_add(timeout);
    if (g_opt.change)
        return run_change(timeout);
    if (g_opt.del)
        return run_delete(timeout);
    return run_register(timeout);
}
