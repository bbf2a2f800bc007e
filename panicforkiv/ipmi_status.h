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
 * otherwise what ipmi_set_machine_status returned: 0 or 1..255.
 */
int panicforkiv_set_status_halt(void);
int panicforkiv_set_status_dumping(void);
/*
 * Set the status, calling the setter again 1 ms later while another one
 * holds it, STATUS_CALLS calls at most.  on_busy, when given, is called
 * after every busy answer (the panic and load paths log each one).  The
 * last answer: -EBUSY, 0 or 1..255.
 */
int set_status_retrying(u8 status, void (*on_busy)(void));

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_IPMI_STATUS_H */
