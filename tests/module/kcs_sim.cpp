// BMC simulator and the user-space platform layer of the module.
//
// The BMC side follows the KCS transfer protocol of IPMI 2.0 (section 9):
//  - a write to the command or data register sets IBF; the BMC takes the
//    byte ibf_latency_us later and clears IBF;
//  - WRITE_START (any state) -> WRITE_STATE; data bytes are collected;
//    WRITE_END -> the next data byte is the last; after it READ_STATE with
//    the first response byte in the output register (OBF);
//  - in READ_STATE each READ byte brings the next response byte; after the
//    last one the BMC goes IDLE and puts a dummy byte out;
//  - GET_STATUS/ABORT -> WRITE_STATE; a 0x00 data byte -> READ_STATE with
//    the error status out; READ -> IDLE with a dummy byte out;
//  - anything else out of place -> ERROR_STATE.
// The constants are written out here on purpose rather than taken from the
// module's headers, so that a wrong constant there shows up as a failure.
#include "kcs_sim.h"

#include <cstdarg>
#include <cstdio>
#include <deque>

extern "C" {
#include "panicforkiv.h"
}

namespace {

const uint16_t DATA_PORT = 0xCA2;
const uint16_t STATUS_PORT = 0xCA3;

enum { IDLE = 0, READ = 1, WRITE = 2, ERROR = 3 };
enum phase { P_NONE, P_WRITE, P_READ, P_ABORT_WAIT0, P_ABORT_READ };

const size_t BMC_MAX_REQUEST = 1100;   // larger than any frame the module can send
const size_t LOG_LIMIT = 8u << 20;

struct pending_answer {
	std::vector<uint8_t> msg;          // Get Message data after the channel byte
	uint64_t at_us;
};

struct bmc {
	sim_faults f;
	sim_record rec;
	uint64_t now = 0;

	int state = IDLE;
	bool obf = false, ibf = false;
	uint8_t out = 0, in = 0;
	bool in_cmd = false;
	uint64_t ibf_ready = 0;
	phase ph = P_NONE;
	bool end_seen = false;
	std::vector<uint8_t> rx, tx;
	size_t tx_pos = 0;
	uint8_t err_status = 0;
	int aborts_left_failing = 0;       // aborts that still fail
	bool error_latched = false;

	std::deque<std::vector<uint8_t>> queue;   // receive message queue
	std::vector<pending_answer> pending;
	int faulty_answers = 0;

	std::function<void(uint64_t)> delay_hook;
	int locks_held = 0;
	bool irqs_off = false;
	int line0_mask = 0;
	uint64_t last_touch = 0;
	bool touched = false;
	int bust_depth = 0;
};

bmc g;

uint8_t checksum(const uint8_t *p, size_t n)
{
	uint8_t s = 0;
	for (size_t i = 0; i < n; i++)
		s += p[i];
	return (uint8_t)(0x100 - s);
}

void enter_error(uint8_t status)
{
	g.state = ERROR;
	g.ph = P_NONE;
	g.err_status = status;
}

bool sms_atn()
{
	if (g.f.sms_atn_stuck)
		return true;
	if (g.f.sms_atn_dead)
		return false;
	return !g.queue.empty();
}

// The management controller at 0x24 sees an IPMB request.
void mc_receive(const std::vector<uint8_t> &ipmb)
{
	g.rec.mc_requests++;
	if (ipmb.size() < 7 || g.f.mc_silent)
		return;
	if (checksum(&ipmb[0], 2) != ipmb[2] || checksum(&ipmb[3], ipmb.size() - 4) != ipmb.back())
		return;                    // a corrupt frame is dropped on the bus
	uint8_t rq_netfn = ipmb[1] >> 2, rs_lun = ipmb[1] & 3;
	uint8_t rq_sa = ipmb[3], seq_lun = ipmb[4], cmd = ipmb[5];
	uint8_t cc = (rq_netfn == 0x30 && cmd == 0x4B) ? (uint8_t)g.f.oem_cc : 0xC1;
	uint8_t answer_cmd = g.f.wrong_cmd ? (uint8_t)(cmd ^ 0x01) : cmd;

	// Answer as the BMC queues it: rqSA is dropped, the rest is the frame.
	std::vector<uint8_t> m;
	m.push_back((uint8_t)(((rq_netfn + 1) << 2) | (seq_lun & 3)));
	uint8_t hdr[2] = { rq_sa, m[0] };
	m.push_back((uint8_t)(checksum(hdr, 2) + (g.f.bad_hdr_sum ? 1 : 0)));
	m.push_back(0x24);
	m.push_back((uint8_t)((seq_lun & 0xFC) | rs_lun));
	m.push_back(answer_cmd);
	m.push_back(cc);
	m.push_back((uint8_t)(checksum(&m[2], 4) + (g.f.bad_body_sum ? 1 : 0)));
	g.pending.push_back({ m, g.now + g.f.ipmb_delay_us });
}

// The BMC's message layer: one request frame in, one response frame out.
std::vector<uint8_t> bmc_handle(const std::vector<uint8_t> &rq)
{
	uint8_t netfn = rq[0] >> 2, lun = rq[0] & 3, cmd = rq.size() > 1 ? rq[1] : 0;
	std::vector<uint8_t> rs = { (uint8_t)(((netfn | 1) << 2) | lun), cmd };
	const uint8_t *d = rq.data() + 2;
	size_t n = rq.size() >= 2 ? rq.size() - 2 : 0;

	if (rq.size() < 2 || netfn != 0x06) {
		rs.push_back(0xC1);
	} else if (cmd == 0x30) {          // Clear Message Flags
		if (n < 1) {
			rs.push_back(0xC7);
		} else {
			if (d[0] & 0x01)
				g.queue.clear();
			rs.push_back(0x00);
		}
	} else if (cmd == 0x31) {          // Get Message Flags
		rs.push_back(0x00);
		rs.push_back(g.queue.empty() ? 0x00 : 0x01);
	} else if (cmd == 0x34) {          // Send Message
		if (n < 2) {
			rs.push_back(0xC7);
		} else if ((d[0] & 0x0F) != 0 || d[1] != 0x24) {
			rs.push_back(0x83);        // NAK on write: nobody there
		} else {
			mc_receive(std::vector<uint8_t>(d + 1, d + n));
			rs.push_back(0x00);
		}
	} else if (cmd == 0x33) {          // Get Message
		if (g.queue.empty()) {
			rs.push_back(0x80);
		} else {
			rs.push_back(0x00);
			rs.push_back(0x00);        // channel 0, privilege bits 0
			rs.insert(rs.end(), g.queue.front().begin(), g.queue.front().end());
			g.queue.pop_front();
		}
	} else {
		rs.push_back(0xC1);
	}

	bool hit = g.f.fault_cmd < 0 || g.f.fault_cmd == cmd;
	if (hit && (g.f.fault_count < 0 || g.faulty_answers < g.f.fault_count)) {
		bool any = false;
		if (g.f.cc >= 0) {
			rs[2] = (uint8_t)g.f.cc;
			if (g.f.cc_only)
				rs.resize(3);
			any = true;
		}
		if (g.f.trim > 0) {
			rs.resize(rs.size() > (size_t)g.f.trim ? rs.size() - g.f.trim : 0);
			any = true;
		}
		for (int i = 0; i < g.f.extra; i++, any = true)
			rs.push_back((uint8_t)(0xA0 + i));
		if (any)
			g.faulty_answers++;
	}
	return rs;
}

void put_out(uint8_t v)
{
	g.out = v;
	g.obf = true;
}

// The BMC takes the byte in the input register.
void bmc_take()
{
	uint8_t v = g.in;
	g.ibf = false;
	if (g.in_cmd) {
		switch (v) {
		case 0x60:                 // GET_STATUS/ABORT
			g.rec.aborts++;
			if (g.error_latched && (g.f.error_stuck || g.aborts_left_failing > 0)) {
				if (g.aborts_left_failing > 0)
					g.aborts_left_failing--;
				enter_error(g.err_status);
				return;
			}
			g.error_latched = false;
			g.state = WRITE;
			g.ph = P_ABORT_WAIT0;
			if (g.err_status == 0)
				g.err_status = 0x01;   // aborted by command
			return;
		case 0x61:                 // WRITE_START
			g.rec.write_starts++;
			if (g.error_latched)
				return;
			g.state = WRITE;
			g.ph = P_WRITE;
			g.rx.clear();
			g.end_seen = false;
			g.err_status = 0;
			g.rec.frame_bytes = 0;
			return;
		case 0x62:                 // WRITE_END
			g.rec.write_ends++;
			if (g.ph != P_WRITE) {
				enter_error(0x02);
				return;
			}
			if (g.f.idle_after_write_end) {
				g.state = IDLE;
				g.ph = P_NONE;
				return;
			}
			g.end_seen = true;
			return;
		default:
			enter_error(0x02);     // illegal control code
			return;
		}
	}
	switch (g.ph) {
	case P_WRITE:
		g.rec.frame_bytes++;
		if (g.rx.size() >= BMC_MAX_REQUEST) {
			enter_error(0x06);     // length error
			return;
		}
		g.rx.push_back(v);
		if (!g.end_seen)
			return;
		g.rec.requests.push_back({ g.rx, g.now });
		if (g.f.write_after_last) {
			g.ph = P_NONE;     // stays WRITE_STATE, never answers
			return;
		}
		g.tx = bmc_handle(g.rx);
		g.tx_pos = 0;
		g.state = READ;
		g.ph = P_READ;
		if (g.tx.empty()) {
			g.state = IDLE;
			g.ph = P_NONE;
			put_out(0x00);
		} else {
			put_out(g.tx[0]);
		}
		return;
	case P_READ:
		if (v != 0x68) {
			enter_error(0x02);
			return;
		}
		if (++g.tx_pos < g.tx.size()) {
			put_out(g.tx[g.tx_pos]);
		} else {
			g.state = IDLE;
			g.ph = P_NONE;
			put_out(0x00);     // dummy byte
		}
		return;
	case P_ABORT_WAIT0:
		g.state = READ;
		g.ph = P_ABORT_READ;
		put_out(g.err_status);
		return;
	case P_ABORT_READ:
		if (v != 0x68) {
			enter_error(0x02);
			return;
		}
		g.state = IDLE;
		g.ph = P_NONE;
		g.err_status = 0;
		put_out(0x00);
		return;
	case P_NONE:
		if (g.state != ERROR)
			enter_error(0x02);     // data byte out of place
		return;
	}
}

// What happened on the BMC side up to now.
void bmc_advance()
{
	if (g.ibf && !g.f.ibf_stuck && g.now >= g.ibf_ready)
		bmc_take();
	for (size_t i = 0; i < g.pending.size();) {
		if (g.pending[i].at_us <= g.now) {
			g.queue.push_back(g.pending[i].msg);
			g.pending.erase(g.pending.begin() + i);
		} else {
			i++;
		}
	}
}

void port_access()
{
	g.now += g.f.io_cost_us;
	g.rec.port_accesses++;
	if (g.line0_mask <= 0)
		g.rec.port_access_unmasked++;
	bmc_advance();
}

} // namespace

void sim_reset(const sim_faults &f)
{
	g = bmc();
	g.f = f;
	if (f.error_stuck || f.error_aborts >= 0) {
		g.state = ERROR;
		g.error_latched = true;
		g.err_status = 0xFF;
		g.aborts_left_failing = f.error_aborts >= 0 ? f.error_aborts : 0;
	}
	KCSBASEADDR = DATA_PORT;
	KCSIRQ = 0;
	debug = 1;
}

sim_faults &sim_fault() { return g.f; }
sim_record &sim_rec() { return g.rec; }
uint64_t sim_now_us() { return g.now; }
void sim_on_delay(std::function<void(uint64_t)> hook) { g.delay_hook = std::move(hook); }
int sim_state() { return g.state; }
int sim_locks_held() { return g.locks_held; }
bool sim_irqs_off() { return g.irqs_off; }

std::vector<sim_request> sim_requests_for(uint8_t cmd)
{
	std::vector<sim_request> r;
	for (const sim_request &q : g.rec.requests)
		if (q.frame.size() >= 2 && q.frame[0] == 0x18 && q.frame[1] == cmd)
			r.push_back(q);
	return r;
}

std::string sim_statuses()
{
	std::string s;
	for (const sim_request &q : sim_requests_for(0x34))
		s += q.frame.size() > 9 ? sim_hex({ q.frame[9] }) + " " : "? ";
	return s;
}

int sim_log_count(const std::string &text)
{
	int n = 0;
	for (size_t at = g.rec.log.find(text); at != std::string::npos;
	     at = g.rec.log.find(text, at + text.size()))
		n++;
	return n;
}

std::string sim_hex(const std::vector<uint8_t> &bytes)
{
	std::string s;
	char b[4];
	for (uint8_t v : bytes) {
		snprintf(b, sizeof(b), "%02x", v);
		if (!s.empty())
			s += ' ';
		s += b;
	}
	return s;
}

// ---- the platform layer, user-space side ----

extern "C" u8 panicforkiv_inb(u16 port)
{
	port_access();
	uint8_t v;
	if (port == STATUS_PORT) {
		v = (uint8_t)((g.state << 6) | (sms_atn() ? 0x04 : 0) |
			      ((g.ibf || g.f.ibf_stuck) ? 0x02 : 0) | (g.obf ? 0x01 : 0));
	} else if (port == DATA_PORT) {
		v = g.out;
		g.obf = false;
	} else {
		g.rec.stray_ports++;
		v = 0xFF;
	}
	return v;
}

extern "C" void panicforkiv_outb(u8 value, u16 port)
{
	port_access();
	g.rec.port_writes++;
	if (port == STATUS_PORT || port == DATA_PORT) {
		if (g.ibf || g.f.ibf_stuck)
			g.rec.overruns++;
		g.in = value;
		g.in_cmd = port == STATUS_PORT;
		g.ibf = true;
		g.ibf_ready = g.now + g.f.ibf_latency_us;
	} else {
		g.rec.stray_ports++;
	}
}

extern "C" void panicforkiv_udelay(unsigned int usecs)
{
	g.now += usecs;
	if (g.delay_hook)
		g.delay_hook(g.now);
}

extern "C" void panicforkiv_touch_nmi_watchdog(void)
{
	if (g.touched && g.now - g.last_touch > g.rec.max_watchdog_gap_us)
		g.rec.max_watchdog_gap_us = g.now - g.last_touch;
	g.touched = true;
	g.last_touch = g.now;
}

extern "C" void panicforkiv_spin_lock(panicforkiv_spinlock_t *lock)
{
	if (lock->held)
		g.rec.deadlocks++;     // would spin forever on one CPU
	lock->held = 1;
	g.locks_held++;
}

extern "C" void panicforkiv_spin_unlock(panicforkiv_spinlock_t *lock)
{
	lock->held = 0;
	g.locks_held--;
}

extern "C" void panicforkiv_spin_lock_irqsave(panicforkiv_spinlock_t *lock, unsigned long *flags)
{
	*flags = g.irqs_off ? 1 : 0;
	g.irqs_off = true;
	panicforkiv_spin_lock(lock);
}

extern "C" void panicforkiv_spin_unlock_irqrestore(panicforkiv_spinlock_t *lock,
						   unsigned long flags)
{
	panicforkiv_spin_unlock(lock);
	g.irqs_off = flags != 0;
}

extern "C" void panicforkiv_local_irq_disable(void)
{
	g.irqs_off = true;
}

extern "C" void panicforkiv_atomic_set(panicforkiv_atomic_t *v, int i) { v->counter = i; }
extern "C" int panicforkiv_atomic_read(panicforkiv_atomic_t *v) { return v->counter; }
extern "C" void panicforkiv_atomic_dec(panicforkiv_atomic_t *v) { v->counter = v->counter - 1; }

extern "C" int panicforkiv_try_lock(panicforkiv_trylock_t *lock)
{
	g.rec.status_tries++;
	if (g.f.status_busy_tries != 0) {
		if (g.f.status_busy_tries > 0)
			g.f.status_busy_tries--;
		return 0;
	}
	if (lock->held)
		return 0;
	lock->held = 1;
	return 1;
}

extern "C" void panicforkiv_try_unlock(panicforkiv_trylock_t *lock)
{
	lock->held = 0;
}

extern "C" void panicforkiv_irq_mask(unsigned int irq)
{
	g.rec.irq += "-" + std::to_string(irq) + " ";
	if (irq == 0)
		g.line0_mask++;
}

extern "C" void panicforkiv_irq_unmask(unsigned int irq)
{
	g.rec.irq += "+" + std::to_string(irq) + " ";
	if (irq == 0)
		g.line0_mask--;
}

extern "C" int vprintk(const char *fmt, va_list ap)
{
	char buf[2048];
	int n;

	g.rec.prints++;
	if (g.bust_depth != 1)
		g.rec.unbracketed_prints++;
	n = vsnprintf(buf, sizeof(buf), fmt, ap);
	if (g.rec.log.size() < LOG_LIMIT)
		g.rec.log += buf;
	return n;
}

extern "C" int printk(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	int n = vprintk(fmt, ap);
	va_end(ap);
	return n;
}

extern "C" void panicforkiv_bust_spinlocks(int on)
{
	if (on) {
		g.rec.bust_on++;
		g.bust_depth++;
	} else {
		g.rec.bust_off++;
		g.bust_depth--;
	}
}
