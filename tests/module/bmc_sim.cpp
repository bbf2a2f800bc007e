// The BMC simulator and the user-space platform layer of the module.  The BMC
// follows the KCS transfer protocol of IPMI 2.0 (section 9): a byte written sets IBF
// until the BMC takes it 20 us later; WRITE_START, the data, WRITE_END, the last byte,
// the answer in READ_STATE one READ at a time, IDLE with a dummy byte; GET_STATUS/ABORT,
// 0x00, READ of the error status, IDLE; anything out of place -> ERROR_STATE.  The
// constants are written out, so that a wrong one in the module's headers shows up.
#include "sim.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

bmc_sim sim;

namespace {

bmc_sim &g = sim;

enum { IDLE, READ, WRITE, ERROR };


uint8_t checksum(const uint8_t *p, size_t n) { uint8_t s = 0; while (n--) s += *p++; return (uint8_t)-s; }

void set(int state, sim_phase ph) { g.state = state, g.ph = ph; }
void put_out(uint8_t v) { g.out = v, g.obf = true; }

// The controller at 0x24 gets the IPMB request q (rsSA onwards); its answer
// reaches the receive queue later, without the rqSA.
void mc_receive(const uint8_t *q, size_t n)
{
	if (n < 7 || g.f.mc_silent) return;
	uint8_t netfn_lun = (uint8_t)(((q[1] >> 2) + 1) << 2 | (q[4] & 3)), hdr[2] = { q[3], netfn_lun };
	g.pending = { netfn_lun, (uint8_t)(checksum(hdr, 2) + g.f.bad_hdr_sum), 0x24,
		      (uint8_t)((q[4] & 0xFC) | (q[1] & 3)), (uint8_t)(q[5] ^ g.f.wrong_cmd),
		      (uint8_t)g.f.oem_cc };
	g.pending.push_back((uint8_t)(checksum(&g.pending[2], 4) + g.f.bad_body_sum));
	g.pending_at = g.now + 3000;   // 3 ms on the IPMB
}

// The BMC's message layer: one request frame in, one answer frame out.
std::vector<uint8_t> answer(const std::vector<uint8_t> &rq)
{
	uint8_t cmd = rq[1];
	std::vector<uint8_t> rs = { (uint8_t)(rq[0] + 4), cmd, 0x00 };
	if (cmd == 0x30 && rq.size() > 2 && (rq[2] & 1)) {          // Clear Message Flags
		g.queued.clear();
	} else if (cmd == 0x31) {                                    // Get Message Flags
		rs.push_back(!g.queued.empty());
	} else if (cmd == 0x34 && rq.size() > 3) {                   // Send Message
		mc_receive(&rq[3], rq.size() - 3);
	} else if (cmd == 0x33) {                                    // Get Message, channel 0
		rs[2] = g.queued.empty() ? 0x80 : 0x00;
		rs.push_back(0x00);
		rs.insert(rs.end(), g.queued.begin(), g.queued.end());
		g.queued.clear();
	}
	if ((g.f.fault_cmd < 0 || g.f.fault_cmd == cmd) && (g.f.cc >= 0 || g.f.trim || g.f.extra) &&
	    (g.f.fault_count < 0 || g.faulty < g.f.fault_count)) {
		g.faulty++;
		if (g.f.cc >= 0) rs[2] = (uint8_t)g.f.cc;
		if (g.f.cc_only) rs.resize(3);
		rs.resize(rs.size() > (size_t)g.f.trim ? rs.size() - g.f.trim : 0);
		for (int i = 0; i < g.f.extra; i++) rs.push_back((uint8_t)(0xA0 + i));
	}
	return rs;
}

// The BMC takes the byte in its input register.
void take()
{
	uint8_t v = g.in;
	g.ibf = false;
	if (g.in_cmd && v == 0x60) {                 // GET_STATUS/ABORT
		g.rec.aborts++;
		if (g.aborts_failing > 0) return g.aborts_failing--, set(ERROR, P_NONE);
		set(WRITE, P_ABORT0);
	} else if (g.in_cmd && v == 0x61) {          // WRITE_START, ignored in a stuck error
		if (g.aborts_failing > 0) return;
		g.rec.write_starts++;
		set(WRITE, P_WRITE);
		g.rx.clear();
		g.end_seen = false;
	} else if (g.in_cmd && v == 0x62 && g.ph == P_WRITE) {   // WRITE_END
		g.end_seen = !g.f.idle_after_write_end;
		if (g.f.idle_after_write_end) set(IDLE, P_NONE);
	} else if (!g.in_cmd && g.ph == P_WRITE) {
		g.rx.push_back(v);
		if (!g.end_seen) return;
		g.rec.requests.push_back(g.rx);
		g.ph = P_NONE;
		if (g.f.write_after_last) return;    // stays in WRITE_STATE, never answers
		g.tx = g.rx.size() >= 2 ? answer(g.rx) : std::vector<uint8_t>();
		g.tx_pos = 0;
		set(g.tx.empty() ? IDLE : READ, g.tx.empty() ? P_NONE : P_READ);
		put_out(g.tx.empty() ? 0 : g.tx[0]);
	} else if (!g.in_cmd && (g.ph == P_READ || g.ph == P_ABORT_READ) && v == 0x68) {
		if (g.ph == P_READ && ++g.tx_pos < g.tx.size()) return put_out(g.tx[g.tx_pos]);
		set(IDLE, P_NONE);
		put_out(0x00);                       // dummy byte
	} else if (!g.in_cmd && g.ph == P_ABORT0) {
		set(READ, P_ABORT_READ);
		put_out(0x01);                       // error status: aborted
	} else {
		set(ERROR, P_NONE);
	}
}

void port_access()
{
	g.now += 1;
	g.rec.port_accesses++;
	g.rec.port_access_unmasked += g.line0_masked <= 0;
	if (g.ibf && !g.f.ibf_stuck && g.now >= g.ibf_ready) take();
	if (!g.pending.empty() && g.now >= g.pending_at) g.queued = g.pending, g.pending.clear();
}

} // namespace

void sim_reset(const sim_faults &f)
{
	g = bmc_sim();
	g.f = f;
	if (f.error_aborts >= 0) g.state = ERROR, g.aborts_failing = f.error_aborts;
	KCSBASEADDR = 0xCA2;
	KCSIRQ = 0;
	debug = 1;
}


std::string sim_statuses()
{
	std::string s;
	for (const auto &q : g.rec.requests)
		if (q.size() > 9 && q[1] == 0x34) s += sim_hex({ q[9] }) + " ";
	return s;
}

int sim_log_count(const std::string &text)
{
	int n = 0;
	for (size_t at = g.rec.log.find(text); at != std::string::npos;
	     at = g.rec.log.find(text, at + text.size() + text.empty()))
		n++;
	return n;
}

std::string sim_hex(const std::vector<uint8_t> &bytes)
{
	std::string s;
	char b[4];
	for (uint8_t v : bytes) snprintf(b, sizeof(b), "%02x", v), s += (s.empty() ? "" : " ") + std::string(b);
	return s;
}


extern "C" u8 panicforkiv_inb(u16 port)
{
	port_access();
	if (port == 0xCA3)
		return (uint8_t)(g.state << 6 | (g.f.sms_atn_stuck || (!g.f.sms_atn_dead &&
			!g.queued.empty())) << 2 | (g.ibf || g.f.ibf_stuck) << 1 | g.obf);
	g.obf = false;
	return port == 0xCA2 ? g.out : 0xFF;
}

extern "C" void panicforkiv_outb(u8 value, u16 port)
{
	port_access();
	g.rec.overruns += g.ibf || g.f.ibf_stuck;
	g.in = value;
	g.in_cmd = port == 0xCA3;
	g.ibf = port == 0xCA2 || port == 0xCA3;
	g.ibf_ready = g.now + 20;   // the BMC takes a byte 20 us after it came
}

extern "C" void panicforkiv_udelay(unsigned int usecs)
{
	g.now += usecs;
	if (g.delay_hook) g.delay_hook(g.now);
}

extern "C" void panicforkiv_touch_nmi_watchdog(void)
{
	if (g.last_touch && g.now - g.last_touch > g.rec.max_watchdog_gap_us)
		g.rec.max_watchdog_gap_us = g.now - g.last_touch;
	g.last_touch = g.now;
}

// A spin lock taken while held would spin for ever on one CPU.
extern "C" void panicforkiv_spin_lock(panicforkiv_spinlock_t *l)
{
	g.rec.deadlocks += std::exchange(l->held, 1);
	g.locks++;
}
extern "C" void panicforkiv_spin_unlock(panicforkiv_spinlock_t *l) { l->held = 0; g.locks--; }
extern "C" void panicforkiv_spin_lock_irqsave(panicforkiv_spinlock_t *l, unsigned long *flags)
{
	*flags = g.irqs_off;
	g.irqs_off = true;
	panicforkiv_spin_lock(l);
}
extern "C" void panicforkiv_spin_unlock_irqrestore(panicforkiv_spinlock_t *l, unsigned long flags)
{
	panicforkiv_spin_unlock(l);
	g.irqs_off = flags != 0;
}
extern "C" void panicforkiv_local_irq_disable(void) { g.irqs_off = true; }
extern "C" void panicforkiv_atomic_set(panicforkiv_atomic_t *v, int i) { v->counter = i; }
extern "C" int panicforkiv_atomic_read(panicforkiv_atomic_t *v) { return v->counter; }
extern "C" void panicforkiv_atomic_dec(panicforkiv_atomic_t *v) { v->counter = v->counter - 1; }
extern "C" void panicforkiv_try_unlock(panicforkiv_trylock_t *l) { l->held = 0; }
extern "C" void panicforkiv_bust_spinlocks(int on) { g.bust += on ? 1 : -1; }
extern "C" void panicforkiv_irq_mask(unsigned int irq)
{
	g.rec.irq += "-" + std::to_string(irq) + " ";
	g.line0_masked += irq == 0;
}
extern "C" void panicforkiv_irq_unmask(unsigned int irq)
{
	g.rec.irq += "+" + std::to_string(irq) + " ";
	g.line0_masked -= irq == 0;
}

extern "C" int panicforkiv_try_lock(panicforkiv_trylock_t *l)
{
	g.rec.status_tries++;
	if (g.f.status_busy_tries != 0) return g.f.status_busy_tries -= g.f.status_busy_tries > 0, 0;
	return l->held ? 0 : (l->held = 1);
}

extern "C" int vprintk(const char *fmt, va_list ap)
{
	char buf[2048];
	int n = vsnprintf(buf, sizeof(buf), fmt, ap);
	g.rec.prints++;
	g.rec.unbracketed_prints += g.bust != 1;
	if (g.rec.log.size() < (8u << 20)) g.rec.log += buf;
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
