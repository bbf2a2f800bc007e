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
    LOC_PENDING_ADD = 0x10f2,
    LOC_PENDING_CHANGE = 0x10f3,
    LOC_PENDING_DELETE = 0x10f4,
};

}  // namespace

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
