/*
 * IPMI machine-status commands.
 *
 * The status travels as an OEM request (NetFn 0x30, command 0x4B) that the
 * BMC forwards over IPMB to the management controller at slave address
 * 0x24 (Send Message, no tracking).  The controller's answer comes back
 * into the BMC's receive queue; we wait for the receive-message flag,
 * fetch it with Get Message and check command byte and checksums.
 *
 * Every message is a debug message, printed with the panic-safe print.
 */
#include "panicforkiv.h"
#include "kcs_regs.h"
#include "kcs.h"
#include "ipmi_defs.h"
#include "ipmi_status.h"

u32 KCSIRQ;

/* Held by a status setter for its whole sequence; only ever tried. */
static PANICFORKIV_DEFINE_TRYLOCK(machine_status_lock);

/*
 * Working storage, static because this runs at panic time on a small
 * stack; machine_status_lock keeps it to one user.
 */
static struct kcs_request msg;
static struct kcs_data data;
static struct kcs_request clear_msg;
static struct kcs_data clear_data;
static struct kcs_request flags_msg;
static struct kcs_data flags_data;
static u8 m_data[IPMB_SEND_LEN];
static u8 g_data[IPMI_GET_MSG_RESP];

u8 qel_ipmb_checksum(const u8 *buf, int len)
{
	u8 sum = 0;
	int i;

	dbg_safe(KERN_INFO, "%s: Start\n", "qel_ipmb_checksum");
	for (i = 0; i < len; i++)
		sum += buf[i];
	dbg_safe(KERN_INFO, "%s: Ret\n", "qel_ipmb_checksum");
	return (u8)(0x100 - sum);
}

/* Fill a request/data pair for an Application command. */
static void prepare(struct kcs_request *req, struct kcs_data *d, u8 cmd,
		    const u8 *req_data, u16 req_len, u16 resp_len)
{
	memset(req, 0, sizeof(*req));
	memset(d, 0, sizeof(*d));
	req->netfn = IPMI_NETFN_APP;
	req->lun = 0;
	req->cmd = cmd;
	req->data = d;
	if (req_len)
		memcpy(d->req_data, req_data, req_len);
	d->req_len = req_len;
	d->resp_len = resp_len;
}

/* Log a stage's outcome the way every stage does. */
static void stage_result(const char *stage, u8 code)
{
	if (code)
		dbg_safe(KERN_ERR, "%s: failed.\n", stage);
	else
		dbg_safe(KERN_INFO, "%s: succeeded.\n", stage);
	dbg_safe(KERN_INFO, "%s: Ret\n", stage);
}

static u8 ipmi_clear_message_flags(void)
{
	static const char stage[] = "ipmi_clear_message_flags";
	static const u8 mask = IPMI_CLEAR_MSG_FLAGS_MASK;
	u8 code;

	dbg_safe(KERN_INFO, "%s: Start\n", stage);
	prepare(&clear_msg, &clear_data, IPMI_CLEAR_MSG_FLAGS_CMD, &mask, 1,
		IPMI_CLEAR_MSG_FLAGS_RESP);
	code = kcs_execute(&clear_msg);
	stage_result(stage, code);
	return code;
}

static u8 ipmi_get_message_flags(u8 *flags)
{
	static const char stage[] = "ipmi_get_message_flags";
	u8 code;

	dbg_safe(KERN_INFO, "%s: Start\n", stage);
	prepare(&flags_msg, &flags_data, IPMI_GET_MSG_FLAGS_CMD, NULL, 0,
		IPMI_GET_MSG_FLAGS_RESP);
	code = kcs_execute(&flags_msg);
	stage_result(stage, code);
	if (code == 0)
		*flags = flags_data.resp_data[1];
	return code;
}

/* SMS_ATN tells that the BMC has something for us; waited for, not relied on. */
static int wait_sms_atn_one(void)
{
	return kcs_wait_status(KCS_STATUS_SMS_ATN, KCS_STATUS_SMS_ATN, "wait_sms_atn_one");
}

/*
 * Poll the message flags until the controller's answer is queued: 0, or
 * -1 after IPMI_ANSWER_CYCLES cycles or once the time is spent.  A failed
 * Get Message Flags only costs its cycle; flags without the answer cost a
 * pause as well.
 */
static int wait_for_answer(void)
{
	u8 flags = 0;
	int cycle;

	for (cycle = 0; cycle < IPMI_ANSWER_CYCLES; cycle++) {
		if (cycle > 0 && !kcs_time_left())
			break;
		(void)wait_sms_atn_one();
		if (ipmi_get_message_flags(&flags))
			continue;
		if (flags & IPMI_MSG_FLAG_RECEIVE)
			return 0;
		kcs_pause();
	}
	return -1;
}

static void build_send_message(u8 status)
{
	int dumping = status == MACHINE_STATUS_DUMPING;

	m_data[0] = IPMB_CHANNEL;
	m_data[1] = IPMB_RS_SA;
	m_data[2] = IPMB_NETFN_OEM_LUN;
	m_data[3] = qel_ipmb_checksum(&m_data[1], 2);
	m_data[4] = IPMB_RQ_SA;
	m_data[5] = IPMB_RQ_SEQ_LUN;
	m_data[6] = IPMB_OEM_STATUS_CMD;
	m_data[7] = dumping ? MACHINE_STATUS_DUMPING : MACHINE_STATUS_HALT;
	m_data[8] = IPMB_OEM_DATA1;
	m_data[9] = dumping ? IPMB_OEM_DUMPING_DATA2 : IPMB_OEM_HALT_DATA2;
	m_data[10] = IPMB_OEM_DATA3;
	m_data[11] = IPMB_OEM_DATA4;
	m_data[12] = qel_ipmb_checksum(&m_data[4], 8);
}

/* 0 when the controller's answer in g_data is the one we wait for. */
static int check_answer(const char *stage)
{
	if (g_data[IPMB_ANSWER_CMD] != IPMB_OEM_STATUS_CMD) {
		dbg_safe(KERN_ERR, "%s: Command Error.\n", stage);
		return -1;
	}
	g_data[IPMB_ANSWER_CHANNEL] = IPMB_RQ_SA;
	if (g_data[IPMB_ANSWER_HDR_SUM] != qel_ipmb_checksum(&g_data[IPMB_ANSWER_CHANNEL], 2)) {
		dbg_safe(KERN_ERR, "%s: Check sum Error.\n", stage);
		return -1;
	}
	if (g_data[IPMB_ANSWER_BODY_SUM] != qel_ipmb_checksum(&g_data[IPMB_ANSWER_BODY], 4)) {
		dbg_safe(KERN_ERR, "%s: Check sum Error.\n", stage);
		return -1;
	}
	return 0;
}

u8 ipmi_set_machine_status(u8 status, u8 *result)
{
	static const char stage[] = "ipmi_set_machine_status";
	u8 unused, code;

	if (!result)
		result = &unused;
	dbg_safe(KERN_INFO, "%s: start...\n", stage);
	*result = 0;
	memset(&msg, 0, sizeof(msg));
	memset(&data, 0, sizeof(data));
	memset(m_data, 0, sizeof(m_data));
	memset(g_data, 0, sizeof(g_data));

	if (KCSBASEADDR == KCS_NO_INTERFACE) {
		dbg_safe(KERN_ERR, "%s: IPMI: Could not use IPMI interface.\n", stage);
		code = KCS_CC_UNSPECIFIED;
		goto failed;
	}

	code = ipmi_clear_message_flags();
	if (code)
		goto failed;

	build_send_message(status);
	prepare(&msg, &data, IPMI_SEND_MSG_CMD, m_data, IPMB_SEND_LEN, IPMI_SEND_MSG_RESP);
	code = kcs_execute(&msg);
	if (code)
		goto failed;

	if (wait_for_answer()) {
		dbg_safe(KERN_ERR, "%s: IPMI: Timeout.\n", stage);
		code = KCS_CC_UNSPECIFIED;
		goto failed;
	}

	prepare(&msg, &data, IPMI_GET_MSG_CMD, NULL, 0, IPMI_GET_MSG_RESP);
	code = kcs_execute(&msg);
	if (code)
		goto failed;
	memcpy(g_data, data.resp_data, sizeof(g_data));
	if (check_answer(stage)) {
		code = KCS_CC_UNSPECIFIED;
		goto failed;
	}

	*result = g_data[IPMB_ANSWER_OEM_CC];
	dbg_safe(KERN_INFO, "%s: succeeded.\n", stage);
	return 0;

failed:
	dbg_safe(KERN_ERR, "%s: failed.\n", stage);
	return code;
}

/*
 * The lock is tried, never waited for: at panic time its holder may be a
 * stopped CPU.  The timer line and the KCS line stay masked for the whole
 * sequence and are unmasked in the reverse order.  The sequence may spend
 * budget microseconds of delay.
 */
static int set_status(u8 status, u64 budget)
{
	const char *word = status == MACHINE_STATUS_DUMPING ? "dumping" : "halt";
	u32 irq = KCSIRQ;       /* unmask exactly the line masked */
	u8 result;
	int r;

	dbg_safe(KERN_INFO, "Setting system status to %s start...\n", word);
	if (!panicforkiv_try_lock(&machine_status_lock)) {
		dbg_safe(KERN_ERR, "Device busy.\n");
		return -EBUSY;
	}
	panicforkiv_irq_mask(0);
	if (irq != 0)
		panicforkiv_irq_mask(irq);

	kcs_bound_waits(budget);
	r = ipmi_set_machine_status(status, &result);
	kcs_bound_waits(KCS_NO_BOUND);
	if (r != 0)
		dbg_safe(KERN_ERR, "Setting system status to %s failed.\n", word);
	else
		dbg_safe(KERN_INFO, "Setting system status to %s succeeded.\n", word);

	if (irq != 0)
		panicforkiv_irq_unmask(irq);
	panicforkiv_irq_unmask(0);
	panicforkiv_try_unlock(&machine_status_lock);
	return r;
}

int panicforkiv_set_status_halt(void)
{
	return set_status(MACHINE_STATUS_HALT, STATUS_DEADLINE_US);
}

int panicforkiv_set_status_dumping(void)
{
	return set_status(MACHINE_STATUS_DUMPING, STATUS_DEADLINE_US);
}

/*
 * A busy answer spends nothing but the pause before the next call, so the
 * pauses and the one call that gets through share the deadline.
 */

int set_status_retrying(u8 status, void (*on_busy)(void))
{
	u64 left = STATUS_DEADLINE_US;
	int calls, r;

	for (calls = 1;; calls++) {
		r = set_status(status, left);
		if (r != -EBUSY)
			return r;
		if (on_busy)
			on_busy();
		if (calls == STATUS_CALLS)
			return r;
		panicforkiv_udelay(KCS_POLL_DELAY_US);
		panicforkiv_touch_nmi_watchdog();
		left -= KCS_POLL_DELAY_US;      /* the pauses count too */
	}
}
