/*
 * Telling the management controller that the machine halted or is dumping.
 */
#ifndef PANICFORKIV_IPMI_STATUS_H
#define PANICFORKIV_IPMI_STATUS_H

#include "platform.h"

#define MACHINE_STATUS_DUMPING  0x0A
#define MACHINE_STATUS_HALT     0x0B

/* Calls of a status setter that answers busy, 1 ms apart. */
#define STATUS_CALLS            5

/*
 * Delay one machine-status call may spend, busy retries included.  The
 * slowest calls that still succeed take about 4 s (a BMC answering Node
 * Busy to Get Message Flags 499 times) and 3 s (a BMC that never raises
 * SMS_ATN costs one whole polling wait).  10 s keeps those with room for
 * one more 3 s wait; a wedged BMC then holds a panicking machine for
 * 10 s instead of up to days, well before a cluster gives up on it.
 */
#define STATUS_DEADLINE_MS      10000
#define STATUS_DEADLINE_US      ((u64)STATUS_DEADLINE_MS * 1000)

#ifdef __cplusplus
extern "C" {
#endif

/* IPMB checksum: the bytes plus the result add up to 0 modulo 256. */
u8 qel_ipmb_checksum(const u8 *buf, int len);
/*
 * Send the status to the controller at IPMB address 0x24 and check its
 * answer.  0 on success, *result then holding the controller's completion
 * code; otherwise the code of the failed step, *result staying 0.
 */
u8 ipmi_set_machine_status(u8 status, u8 *result);
/*
 * -EBUSY when another status setter is running (call again later),
 * otherwise what ipmi_set_machine_status returned: 0 or 1..255.  Each call
 * ends within STATUS_DEADLINE_MS of delay, with 0xFF when that ended it.
 */
int panicforkiv_set_status_halt(void);
int panicforkiv_set_status_dumping(void);
/*
 * Set the status, calling the setter again 1 ms later while another one
 * holds it, STATUS_CALLS calls at most.  on_busy, when given, is called
 * after every busy answer (the panic and load paths log each one).  All
 * the calls and pauses together keep within STATUS_DEADLINE_MS.  The last
 * answer: -EBUSY, 0 or 1..255.
 */
int set_status_retrying(u8 status, void (*on_busy)(void));

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_IPMI_STATUS_H */
