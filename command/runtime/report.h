// The command's failure reports: one line on standard error with the
// "ERROR: " prefix and the same text in the log at ERR.
#pragma once

#include <stdint.h>

void report_fatal(unsigned loc);
void report_no_resources(long long amount, unsigned loc);  // byte count or error number
void report_io(const char *path, int err, unsigned loc);
void report_access(const char *path, unsigned detail, unsigned loc);
// Log-only note that a called operation failed: "callee %s(%d)."
void report_callee(const char *name, unsigned loc);
