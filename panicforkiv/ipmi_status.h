/*
 * Telling the management controller that the machine halted or is dumping.
 */
#ifndef PANICFORKIV_IPMI_STATUS_H
#define PANICFORKIV_IPMI_STATUS_H

#include "platform.h"

#define MACHINE_STATUS_DUMPING  0x0A
#define MACHINE_STATUS_HALT     0x0B

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

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_IPMI_STATUS_H */
