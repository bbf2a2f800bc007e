/*
 * Polled IPMI KCS transport: one request to the BMC, one response back,
 * without interrupts, sleeping or allocation, so that it works at panic time.
 */
#ifndef PANICFORKIV_KCS_H
#define PANICFORKIV_KCS_H

#include "platform.h"

#define KCS_BUF_SIZE            1024
/* Request data bytes that fit in the frame after NetFn/LUN and command. */
#define KCS_MAX_REQ_LEN         (KCS_BUF_SIZE - 2)
/*
 * Largest expected response length: the read loop may store limit + 1
 * bytes, limit being resp_len + 2.
 */
#define KCS_MAX_RESP_LEN        (KCS_BUF_SIZE - 3)

/* Result codes of kcs_execute besides the BMC's own. */
#define KCS_CC_OK               0x00
#define KCS_CC_TRUNCATED        0xC6    /* fewer response bytes than expected */
#define KCS_CC_REQ_TOO_LONG     0xC8    /* req_len refused: frame would not fit */
#define KCS_CC_RESP_TOO_LONG    0xCA    /* resp_len refused: answer would not fit */
#define KCS_CC_UNSPECIFIED      0xFF    /* write failed, or two bytes or fewer read */

struct kcs_data {
	u16 req_len;            /* request data bytes in req_data */
	u16 resp_len;           /* in: bytes expected after the header (completion
				   code included); out: bytes stored in resp_data */
	u8 req_data[KCS_BUF_SIZE];
	u8 resp_data[KCS_BUF_SIZE];     /* completion code, then data */
};

struct kcs_request {
	u8 netfn;               /* 6 bits used */
	u8 lun;                 /* 2 bits used */
	u8 cmd;
	struct kcs_data *data;
};

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Every delay of the transport (a polling step, a pause between polls of
 * the BMC's flags) is counted against a budget of microseconds; no clock
 * is read, so the bound holds at panic time whatever state the timers are
 * in.  Once less than one delay is left, a polling wait times out at once
 * and the retry loops end as if their counts had run out.  A status setter
 * sets the budget while it holds its lock; KCS_NO_BOUND leaves only the
 * counts.
 */
#define KCS_NO_BOUND            (~(u64)0)
void kcs_bound_waits(u64 usecs);
/* 1 while another delay fits in the budget. */
int kcs_time_left(void);
/* One polling delay, counted, with the NMI watchdog touched after it. */
void kcs_pause(void);
/*
 * The polling wait of the transport: 0 once (status & mask) == want, -1
 * after KCS_POLL_STEPS delays or when the budget is spent, having logged
 * "time out." with the given stage name.
 */
int kcs_wait_status(u8 mask, u8 want, const char *stage);
/*
 * One IPMI exchange.  0 on success, with the response copied into the
 * request's kcs_data; otherwise the completion code to report, and the
 * caller's kcs_data is left as it was.
 */
u8 kcs_execute(struct kcs_request *req);

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_KCS_H */
