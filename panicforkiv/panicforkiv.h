/*
 * Module-wide state and the log helpers shared by every part of the module.
 */
#ifndef PANICFORKIV_H
#define PANICFORKIV_H

#include "platform.h"

#define PANICFORKIV_NAME        "panicforkiv"
#define PANICFORKIV_VERSION     "1.0.0"

/* KCSBASEADDR when no KCS interface is known. */
#define KCS_NO_INTERFACE        (~(u64)0)

#ifdef __cplusplus
extern "C" {
#endif

/* Module parameter "debug flags": only ever tested for nonzero. */
extern long debug;
/* KCS data port (low 16 bits used); KCS_NO_INTERFACE when none was found. */
extern u64 KCSBASEADDR;
/* KCS interrupt line, 0 when none. */
extern u32 KCSIRQ;

/* Level N of a message that starts with "<N>", -1 for a continuation piece. */
int panicforkiv_log_level(const char *fmt);
/* A log line or piece, always printed. */
void panicforkiv_print(const char *fmt, ...) PANICFORKIV_PRINTF(1, 2);
/* Printed only while debug is nonzero. */
void panicforkiv_debug_print(const char *fmt, ...) PANICFORKIV_PRINTF(1, 2);
/*
 * Printed only while debug is nonzero, and fit for panic time: the print
 * is bracketed by bust_spinlocks(1) and bust_spinlocks(0).
 */
void panicforkiv_debug_print_safe(const char *fmt, ...) PANICFORKIV_PRINTF(1, 2);

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_H */
