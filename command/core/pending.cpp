// Operations whose subsystems are not built yet: each reports a fatal error
// with a location code of its own and fails, so the mode ends with its
// failure status. Each goes away when its subsystem lands.
#include <stdio.h>

#include "conf/conf.h"
#include "conf/scan.h"
#include "core/modes.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_PENDING_SCAN = 0x10f0,
    LOC_PENDING_SAVE = 0x10f1,
    LOC_PENDING_ADD = 0x10f2,
    LOC_PENDING_CHANGE = 0x10f3,
    LOC_PENDING_DELETE = 0x10f4,
    LOC_PENDING_REGISTER = 0x10f5,
};

}  // namespace

conf_list g_hba_conf;

int scan_stream(const char *, int, int32_t, const scan_callbacks *, unsigned *detail) {
    report_fatal(LOC_PENDING_SCAN);
    if (detail)
        *detail = 0;
    return -1;
}
int conf_begin(void *) { return 1; }
int conf_collect(void *, const char *, unsigned, unsigned, unsigned, int) { return 1; }
int hba_addr_conf_check(void *) { return 1; }

int save_hba_addr_conf(const char *) {
    report_fatal(LOC_PENDING_SAVE);
    return -1;
}

int parse_hba_addr_conf_add(int, char **) {
    report_fatal(LOC_PENDING_ADD);
    return -1;
}

int parse_hba_addr_conf_change(const char *, const char *) {
    report_fatal(LOC_PENDING_CHANGE);
    return -1;
}

int parse_hba_addr_conf_delete(const char *) {
    report_fatal(LOC_PENDING_DELETE);
    return 0;
}

int register_hba_addr_conf(void) {
    report_fatal(LOC_PENDING_REGISTER);
    return -1;
}
