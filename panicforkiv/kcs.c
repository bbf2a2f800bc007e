/*
 * Polled IPMI KCS transport.
 *
 * kcs_execute() drives the BMC through one KCS transfer: the write phase
 * (WRITE_START, the frame bytes, WRITE_END, the last byte), the read phase
 * (one READ per response byte until the BMC goes idle) and, whenever the
 * interface is found in a state it should not be in, the GET_STATUS/ABORT
 * error exit.  It polls the status register, busy-waits between polls and
 * touches the NMI watchdog at every step, so that it can run inside the
 * panic notifier with interrupts off and the other CPUs stopped.
 *
 * Every message is a debug message, printed with the panic-safe print.
 */
#include "panicforkiv.h"
#include "kcs_regs.h"
#include "kcs.h"

#define KCS_CC_ROWS     26

/* Results of one write run. */
#define KCS_WRITE_SENT          0
#define KCS_WRITE_FAILED        1       /* failed after WRITE_END: not retried */
#define KCS_WRITE_RETRY         2       /* failed, may be retried */

struct ipmi_cc_entry {
	u8 low;
	u8 high;
	char text[512];
};

u64 KCSBASEADDR = 0xCA2;

/* Guards req_buf, resp_buf and the two ports: one exchange at a time. */
static PANICFORKIV_DEFINE_SPINLOCK(qorvex_lock);
static u8 req_buf[KCS_BUF_SIZE];
static u8 resp_buf[KCS_BUF_SIZE];
/* Microseconds of delay the current status call may still spend. */
static u64 wait_left_us = KCS_NO_BOUND;

/* Completion-code texts, searched in order; the ranges do not overlap. */
static const struct ipmi_cc_entry table[KCS_CC_ROWS] = {
	{ 0xC0, 0xC0, "Node Busy. Command could not be processed because command processing resources are temporarily unavailable." },
	{ 0xC1, 0xC1, "Invalid Command. This completion code is used to indicate an unrecognized or unsupported command." },
	{ 0xC2, 0xC2, "Command invalid for given LUN." },
	{ 0xC3, 0xC3, "Timeout while processing command. Response unavailable." },
	{ 0xC4, 0xC4, "Out of space. Command could not be completed because of a lack of storage space required to execute the given command operation." },
	{ 0xC5, 0xC5, "Reservation Canceled or Invalid Reservation ID." },
	{ 0xC6, 0xC6, "Request data truncated." },
	{ 0xC7, 0xC7, "Request data length invalid." },
	{ 0xC8, 0xC8, "Request data field length limit exceeded." },
	{ 0xC9, 0xC9, "Parameter out of range. One or more parameters in the data field of the Request are out of range. This is different from 'Invalid data field' (CCh) code in that it indicates that the erroneous field(s) has a contiguous range of possible values." },
	{ 0xCA, 0xCA, "Cannot return number of requested data bytes." },
	{ 0xCB, 0xCB, "Requested Sensor, data, or record not present." },
	{ 0xCC, 0xCC, "Invalid data field in Request" },
	{ 0xCD, 0xCD, "Command illegal for specified sensor or record type." },
	{ 0xCE, 0xCE, "Command response could not be provided." },
	{ 0xCF, 0xCF, "Cannot execute duplicated request. This completion code is for devices which cannot return the response that was returned for the original instance of the request. Such devices should provide separate commands that allow the completion status of the original request to be determined. An Event Receiver does not use this completion code, but returns the 00h completion code in the response to (valid) duplicated requests." },
	{ 0xD0, 0xD0, "Command response could not be provided. SDR Repository in update mode." },
	{ 0xD1, 0xD1, "Command response could not be provided. Device in firmware update mode." },
	{ 0xD2, 0xD2, "Command response could not be provided. BMC initialization or initialization agent in progress." },
	{ 0xD3, 0xD3, "Destination unavailable. Cannot deliver request to selected destination. E.g. this code can be returned if a request message is targeted to SMS, but receive message queue reception is disabled for the particular channel." },
	{ 0xD4, 0xD4, "Cannot execute command due to insufficient privilege level or other securitybased restriction (e.g. disabled for 'firmware firewall')." },
	{ 0xD5, 0xD5, "Cannot execute command. Command, or request parameter(s), not supported in present state." },
	{ 0xD6, 0xD6, "Cannot execute command. Parameter is illegal because command sub-function has been disabled or is unavailable (e.g. disabled for 'firmware firewall')." },
	{ 0xFF, 0xFF, "Unspecified error." },
	{ 0x01, 0x7E, "Device specific (OEM) completion codes." },
	{ 0x80, 0xBE, "Standard command-specific codes." },
};

static u16 kcs_port(unsigned int reg)
{
	return (u16)((KCSBASEADDR & 0xFFFF) + reg);
}

static u8 read_status(void)
{
	return panicforkiv_inb(kcs_port(KCS_STATUS_REG));
}

static u8 read_data(void)
{
	return panicforkiv_inb(kcs_port(KCS_DATA_REG));
}

static void write_data(u8 value)
{
	panicforkiv_outb(value, kcs_port(KCS_DATA_REG));
}

static void write_cmd(u8 value)
{
	panicforkiv_outb(value, kcs_port(KCS_CMD_REG));
}

static u8 get_state(void)
{
	return read_status() >> KCS_STATUS_STATE_SHIFT;
}

static void clear_obf(void)
{
	if (read_status() & KCS_STATUS_OBF)
		(void)read_data();
}

void kcs_bound_waits(u64 usecs)
{
	wait_left_us = usecs;
}

int kcs_time_left(void)
{
	return wait_left_us >= KCS_POLL_DELAY_US;
}

void kcs_pause(void)
{
	panicforkiv_udelay(KCS_POLL_DELAY_US);
	if (wait_left_us != KCS_NO_BOUND)
		wait_left_us -= wait_left_us < KCS_POLL_DELAY_US ? wait_left_us : KCS_POLL_DELAY_US;
	panicforkiv_touch_nmi_watchdog();
}

int kcs_wait_status(u8 mask, u8 want, const char *stage)
{
	int step = 0;

	panicforkiv_touch_nmi_watchdog();
	for (;;) {
		if ((read_status() & mask) == want)
			return 0;
		if (step >= KCS_POLL_STEPS || !kcs_time_left()) {
			dbg_safe(KERN_ERR, "%s: time out.\n", stage);
			panicforkiv_touch_nmi_watchdog();
			return -1;
		}
		kcs_pause();
		step++;
	}
}

static int wait_obf_one(void)
{
	return kcs_wait_status(KCS_STATUS_OBF, KCS_STATUS_OBF, "wait_obf_one");
}

static int wait_ibf_zero(void)
{
	return kcs_wait_status(KCS_STATUS_IBF, 0, "wait_ibf_zero");
}

/*
 * One wait of the write, read or error-exit sequence: 0 when it ended in
 * time; a time-out is logged with the step's tag, "(wr_start)" and so on.
 */
static int wait_step(int obf, const char *stage, const char *tag)
{
	if ((obf ? wait_obf_one() : wait_ibf_zero()) == 0)
		return 0;
	dbg_safe(KERN_INFO, "%s: %s() assert.(%s)\n", stage,
		 obf ? "wait_obf_one" : "wait_ibf_zero", tag);
	return -1;
}

/* One GET_STATUS/ABORT sequence: 0 when the interface is idle again. */
static int recover_once(void)
{
	static const char stage[] = "recover";

	clear_obf();
	if (wait_step(0, stage, "error0"))
		return -1;
	write_cmd(KCS_GET_STATUS_ABORT);
	if (wait_step(0, stage, "error1"))
		return -1;
	clear_obf();
	write_data(0x00);
	if (wait_step(0, stage, "error2"))
		return -1;
	if (get_state() != KCS_READ_STATE)
		return -1;
	if (wait_step(1, stage, "error2"))
		return -1;
	(void)read_data();      /* the BMC's error status: not kept */
	write_data(KCS_READ_BYTE);
	if (wait_step(0, stage, "error3"))
		return -1;
	if (get_state() != KCS_IDLE_STATE)
		return -1;
	if (wait_step(1, stage, "error3"))
		return -1;
	clear_obf();
	return 0;
}

/* GET_STATUS/ABORT error exit: 0 back in IDLE_STATE, 1 after giving up. */
static u8 recover(void)
{
	int attempt;

	for (attempt = 0; attempt < KCS_RECOVER_ATTEMPTS; attempt++) {
		if (recover_once() == 0)
			return 0;
		if (!kcs_time_left())
			break;
	}
	dbg_safe(KERN_ERR, "%s: Retry over\n", "recover");
	return 1;
}

/*
 * Hand one byte or control code of the request to the BMC and check that
 * it is still in WRITE_STATE; if not, say so (dots tell the three places
 * apart), take it through the error exit and return -1.
 */
static int write_step(int cmd, u8 value, const char *tag, const char *dots)
{
	static const char stage[] = "kcs_write";

	if (cmd)
		write_cmd(value);
	else
		write_data(value);
	(void)wait_step(0, stage, tag);
	if (get_state() != KCS_WRITE_STATE) {
		dbg_safe(KERN_ERR, "%s: not WRITE_STATE%s\n", stage, dots);
		recover();
		return -1;
	}
	clear_obf();
	return 0;
}

/* One run of the write phase over the frame in req_buf. */
static int kcs_write_run(int msg_len)
{
	int i;

	dbg_safe(KERN_INFO, "%s: start ...\n", "kcs_write");
	if (get_state() == KCS_ERROR_STATE && recover() == 1)
		return KCS_WRITE_RETRY;
	if (wait_step(0, "kcs_write", "wr_wait"))
		return KCS_WRITE_RETRY;
	clear_obf();
	if (write_step(1, KCS_WRITE_START, "wr_start", "."))
		return KCS_WRITE_RETRY;
	for (i = 0; i < msg_len - 1; i++) {
		if (write_step(0, req_buf[i], "wr_data", ".."))
			return KCS_WRITE_RETRY;
	}
	if (write_step(1, KCS_WRITE_END, "wr_end_cmd", "..."))
		return KCS_WRITE_FAILED;
	write_data(req_buf[msg_len - 1]);
	return KCS_WRITE_SENT;
}

static int kcs_write(int msg_len)
{
	int result = kcs_write_run(msg_len);

	dbg_safe(KERN_INFO, "%s: exit %d\n", "kcs_write", result);
	return result;
}

/*
 * Read phase: stores at most limit + 1 bytes into resp_buf, which the
 * caller has made sure fit.  Returns the number of bytes stored.
 */
static int kcs_read(int limit)
{
	static const char stage[] = "kcs_read";
	int count = 0;
	u8 state;

	resp_buf[2] = KCS_CC_UNSPECIFIED;
	dbg_safe(KERN_INFO, "%s: start ...\n", stage);
	for (;;) {
		if (count >= limit + 1) {
			recover();
			break;
		}
		(void)wait_step(0, stage, "read");
		state = get_state();
		if (state == KCS_READ_STATE) {
			dbg_safe(KERN_INFO, "%s: READ_STATE.\n", stage);
			(void)wait_step(1, stage, "read");
			resp_buf[count++] = read_data();
			write_data(KCS_READ_BYTE);
			continue;
		}
		if (state == KCS_IDLE_STATE) {
			dbg_safe(KERN_INFO, "%s: IDLE_STATE.\n", stage);
			(void)wait_step(1, stage, "read");
			(void)read_data();
			break;
		}
		if (state == KCS_ERROR_STATE)
			dbg_safe(KERN_INFO, "%s: error state\n", stage);
		else
			dbg_safe(KERN_INFO, "%s: state = %d\n", stage, state);
		recover();
		break;
	}
	dbg_safe(KERN_INFO, "%s: exit %d.\n", stage, count);
	return count;
}

static void log_code(u8 code)
{
	const char *text = "Ipmi Error Message is not define.";
	int i;

	for (i = 0; i < KCS_CC_ROWS; i++) {
		if (table[i].low <= code && code <= table[i].high) {
			text = table[i].text;
			break;
		}
	}
	dbg_safe(KERN_ERR, "ERROR code=0x%02x, %s\n", code, text);
}

/* The bytes of a frame or an answer, as pieces that continue the line. */
static void log_bytes(const u8 *bytes, int n)
{
	int i;

	for (i = 0; i < n; i++)
		panicforkiv_debug_print_safe(KERN_CONT "%02x ", bytes[i]);
	panicforkiv_debug_print_safe(KERN_CONT "\n");
}

/*
 * Refuse what the transport cannot do safely, before anything is touched:
 * a frame or an answer that would not fit the working buffers, and an
 * exchange without a KCS interface (its ports would wrap to port 0).
 */
static u8 kcs_refuse(const struct kcs_request *req)
{
	if (!req || !req->data)
		return KCS_CC_UNSPECIFIED;
	if (KCSBASEADDR == KCS_NO_INTERFACE)
		return KCS_CC_UNSPECIFIED;
	if (req->data->req_len > KCS_MAX_REQ_LEN)
		return KCS_CC_REQ_TOO_LONG;
	if (req->data->resp_len > KCS_MAX_RESP_LEN)
		return KCS_CC_RESP_TOO_LONG;
	return KCS_CC_OK;
}

u8 kcs_execute(struct kcs_request *req)
{
	static const char stage[] = "kcs_execute";
	struct kcs_data *data;
	int limit, msg_len, runs, written, count;
	u8 code;

	code = kcs_refuse(req);
	if (code != KCS_CC_OK) {
		log_code(code);
		return code;
	}
	data = req->data;

	panicforkiv_spin_lock(&qorvex_lock);
	memset(req_buf, 0, sizeof(req_buf));
	memset(resp_buf, 0, sizeof(resp_buf));

	limit = data->resp_len + 2;
	if (limit < 3)
		limit = 3;

	req_buf[0] = (u8)((req->netfn << 2) | (req->lun & 0x03));
	req_buf[1] = req->cmd;
	memcpy(&req_buf[2], data->req_data, data->req_len);
	msg_len = data->req_len + 2;

	dbg_safe(KERN_INFO, "%s: netfn=%d, lun=%d, msg_len=%d ", stage, req->netfn, req->lun,
		 msg_len);
	log_bytes(req_buf, msg_len);

	written = KCS_WRITE_RETRY;
	for (runs = 0; runs < KCS_WRITE_RUNS && written == KCS_WRITE_RETRY; runs++) {
		if (runs > 0 && !kcs_time_left())
			break;
		written = kcs_write(msg_len);
	}
	if (written != KCS_WRITE_SENT) {
		code = KCS_CC_UNSPECIFIED;
		goto out;
	}

	count = kcs_read(limit);
	if (count < limit)
		resp_buf[2] = KCS_CC_TRUNCATED;
	if (count <= 2) {
		code = KCS_CC_UNSPECIFIED;
		resp_buf[2] = code;
	} else {
		code = resp_buf[2];
	}
	if (code == KCS_CC_OK) {
		data->resp_len = (u16)(count - 2);
		memcpy(data->resp_data, &resp_buf[2], count - 2);
		dbg_safe(KERN_INFO, "%s: resp_data_len=%d ", stage, data->resp_len);
		log_bytes(data->resp_data, count - 2);
	}
out:
	if (code != KCS_CC_OK)
		log_code(code);
	panicforkiv_spin_unlock(&qorvex_lock);
	return code;
}
