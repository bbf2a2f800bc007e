// kcs_execute and the machine-status setters against the simulated BMC: a table each.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "sim.h"

extern "C" {
#include "kcs.h"
#include "ipmi_status.h"
}

namespace {

const uint8_t CLEAR = 0x30, FLAGS = 0x31;
const int WEDGED = -2;                 // the interface stays out of order

struct exchange {
	const char *what;
	sim_faults f;
	uint8_t cmd;
	int req_len, resp_len;             // request bytes (0xEB, 0x01, 0x02 ...), expected
	int code, got;                     // result, resp_len afterwards
	int aborts;                        // GET_STATUS/ABORTs taken; WEDGED: no checks
	const char *text;                  // completion-code text, or a line logged once
};

const char NO_TEXT[] = "Ipmi Error Message is not define.", STD[] = "Standard command-specific codes.";
const char OEM[] = "Device specific (OEM) completion codes.";
// A bare answer with this code, and the text its row gives.
#define CC(code, text) { #code, { .cc = code, .cc_only = true }, CLEAR, 1, 1, code, 1, 0, text }

const exchange exchange_rows[] = {
	// The read stops one byte past the expected length (never before 3 + 1),
	// aborts the rest of a longer answer and copies no more than it should.
	{ "three-byte answer", {}, CLEAR, 1, 1, 0, 1, 0, nullptr },
	{ "nothing expected: limit 3", {}, CLEAR, 1, 0, 0, 1, 0, nullptr },
	{ "four bytes past limit 3", {}, FLAGS, 0, 0, 0, 2, 1, nullptr },
	{ "largest length", { .fault_count = 1, .extra = 1500 }, CLEAR, 1, 1021, 0, 1022, 1, nullptr },
	// Short answers: truncated whatever code came, two bytes or fewer unspecified.
	{ "one byte short", { .fault_cmd = FLAGS, .trim = 1 }, FLAGS, 0, 2, 0xC6, 2, 0,
	  "Request data truncated." },
	{ "short with a code", { .fault_cmd = FLAGS, .cc = 0xC1, .cc_only = true }, FLAGS, 0, 2, 0xC6,
	  2, 0, "Request data truncated." },
	{ "two bytes", { .trim = 1 }, CLEAR, 1, 1, 0xFF, 1, 0, "Unspecified error." },
	{ "no answer at all", { .write_after_last = true }, CLEAR, 1, 1, 0xFF, 1, 1,
	  "<6>panicforkiv: kcs_read: state = 2\n" },
	{ "IDLE after WRITE_END: one run, last byte kept", { .idle_after_write_end = true }, CLEAR, 1,
	  1, 0xFF, 1, 1, "<3>panicforkiv: kcs_write: not WRITE_STATE...\n" },
	// Each code and the row it falls in, neighbours of the rows included.
	CC(0x01, OEM), CC(0x7E, OEM), CC(0x7F, NO_TEXT), CC(0x80, STD), CC(0xBE, STD),
	CC(0xBF, NO_TEXT), CC(0xD7, NO_TEXT), CC(0xFE, NO_TEXT),
	CC(0xC0, "Node Busy. Command could not be processed because command processing resources "
	   "are temporarily unavailable."),
	CC(0xD4, "Cannot execute command due to insufficient privilege level or other securitybased "
	   "restriction (e.g. disabled for 'firmware firewall')."),
	// ERROR_STATE is aborted before the write; 500 failed aborts give up a
	// run, 501 runs the exchange, and nothing is written into it.
	{ "ERROR_STATE cleared at once", { .error_aborts = 0 }, CLEAR, 1, 1, 0, 1, 1, nullptr },
	{ "... by the second run's 101st abort", { .error_aborts = 600 }, CLEAR, 1, 1, 0, 1, 601,
	  "<3>panicforkiv: recover: Retry over\n" },
	{ "... never", { .error_aborts = NEVER_CLEARED }, CLEAR, 1, 1, 0xFF, 1, WEDGED,
	  "Unspecified error." },
	// Refused before any port is touched.
	{ "request too long", {}, CLEAR, 1023, 1, 0xC8, 1, 0, "Request data field length limit exceeded." },
	{ "answer too long", {}, CLEAR, 1, 1022, 0xCA, 1022, 0, "Cannot return number of requested data bytes." },
	{ "far too long", {}, CLEAR, 1, 0xFFFF, 0xCA, 0xFFFF, 0, "Cannot return number of requested data bytes." },
};

class KcsExchange : public testing::TestWithParam<exchange> {};

TEST_P(KcsExchange, Row)
{
	const exchange &c = GetParam();
	sim_reset(c.f);
	static kcs_data d;
	memset(&d, 0, sizeof(d));
	memset(d.resp_data, 0x5A, sizeof(d.resp_data));
	std::vector<uint8_t> frame = { 0x18, c.cmd };
	for (int i = 0; i < c.req_len; i++)
		frame.push_back(d.req_data[i] = (uint8_t)(i ? i : 0xEB));
	d.req_len = (u16)c.req_len, d.resp_len = (u16)c.resp_len;
	kcs_request r = { 0x06, 0, c.cmd, &d };

	EXPECT_EQ(kcs_execute(&r), c.code) << c.what;
	EXPECT_EQ(std::tuple(d.resp_len, d.resp_data[0], d.resp_data[c.code ? 0 : c.got]),
		  std::tuple(c.got, c.code ? 0x5A : 0x00, 0x5A)) << "nothing copied past the answer";
	if (c.f.extra && !c.code) {
		EXPECT_EQ(d.resp_data[c.got - 1], (uint8_t)(0xA0 + c.got - 2));
	}
	char line[1024];
	snprintf(line, sizeof(line), "<3>panicforkiv: ERROR code=0x%02x, %s\n", c.code, c.text);
	EXPECT_EQ(c.text ? sim_log_count(c.text[0] == '<' ? c.text : line) : 1, 1) << sim.rec.log;
	bool sent = c.code != 0xC8 && c.code != 0xCA && c.aborts != WEDGED;   // a frame was written
	EXPECT_EQ(std::tuple(sim.rec.aborts, sim.rec.write_starts, sim.rec.overruns, sim.state,
			     sim.rec.deadlocks + sim.rec.unbracketed_prints),
		  std::tuple(c.aborts == WEDGED ? 501 * 500 : c.aborts, sent, 0, c.aborts == WEDGED ? 3 : 0, 0));
	EXPECT_EQ(sim.rec.requests, (sent && !c.f.idle_after_write_end ? decltype(sim.rec.requests){ frame }
				       : decltype(sim.rec.requests){}));
	if (c.aborts == WEDGED)
		return;
	sim.f = sim_faults();        // and the next exchange goes through
	d.req_len = d.resp_len = 1;
	r.cmd = CLEAR;
	EXPECT_EQ(kcs_execute(&r), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, KcsExchange, testing::ValuesIn(exchange_rows));


const uint64_t MS = 1000, DEADLINE = STATUS_DEADLINE_MS * MS, FAST = 100 * MS;  // FAST: healthy
const char HALT[] = "18 34 00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e";

TEST(MachineStatus, RequestsSent)
{
	struct { int (*set)(void); const char *sent; } cases[] = {
		{ panicforkiv_set_status_halt, HALT },
		{ panicforkiv_set_status_dumping, "18 34 00 24 c0 1c 20 20 4b 0a 03 4a 0f ff 10" },
		{ [] { return (int)ipmi_set_machine_status(0x07, nullptr); }, HALT },   // any other: halt
	};
	for (const auto &c : cases) {
		sim_reset();
		EXPECT_EQ(c.set(), 0);
		std::string all;
		for (const auto &r : sim.rec.requests)
			all += sim_hex(r) + "|";
		EXPECT_EQ(all, "18 30 eb|" + std::string(c.sent) + "|18 31|18 33|");
	}
	sim_reset();                       // no interface known
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(sim.rec.port_accesses, 0u);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: IPMI: Could not use IPMI "
				"interface.\n<3>panicforkiv: ipmi_set_machine_status: failed.\n"), 1);
}

// A second setter (here from within the first one's first wait) is turned
// away without touching ports or lines.
TEST(MachineStatus, SecondSetterIsTurnedAwayUntouched)
{
	sim_reset();
	int nested = 1;
	sim.delay_hook = [&](uint64_t) {
		if (nested != 1)
			return;
		sim_record before = sim.rec;
		nested = panicforkiv_set_status_dumping();
		EXPECT_EQ(sim.rec.port_accesses, before.port_accesses);
		EXPECT_EQ(sim.rec.irq, before.irq);
	};
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	sim.delay_hook = nullptr;
	EXPECT_EQ(nested, -EBUSY);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to dumping start...\n"
				"<3>panicforkiv: Device busy.\n"), 1);
	EXPECT_EQ(sim_statuses(), "0b ");
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);    // free again
}

// One halt call per BMC: its result, the controller's code handed back,
// the message that ends it and how long it takes.  Every fault that used
// to hold the call for minutes or days (25 min when IBF never clears, 8.7
// days when it also shows ERROR_STATE) ends with 0xFF at the deadline; slow
// but healthy or recoverable BMCs still succeed; no flood of time-outs at the end.
// Line 0 and the KCS line stay masked throughout, and the NMI watchdog is touched.
struct status_case {
	const char *fault;
	sim_faults f;
	int code, result;
	const char *log;
	uint64_t low, high;
};

const char FAILED[] = "<3>panicforkiv: ipmi_set_machine_status: failed.\n";

const status_case status_rows[] = {
	{ "healthy", {}, 0, 0, "<6>panicforkiv: Setting system status to halt succeeded.\n", 0, FAST },
	{ "OEM code", { .oem_cc = 0xC1 }, 0, 0xC1, "to halt succeeded.\n", 0, FAST },
	{ "wrong command byte", { .wrong_cmd = true }, 0xFF, 0,
	  "<3>panicforkiv: ipmi_set_machine_status: Command Error.\n", 0, FAST },
	{ "bad header checksum", { .bad_hdr_sum = true }, 0xFF, 0,
	  "<3>panicforkiv: ipmi_set_machine_status: Check sum Error.\n", 0, FAST },
	{ "bad body checksum", { .bad_body_sum = true }, 0xFF, 0,
	  "<3>panicforkiv: ipmi_set_machine_status: Check sum Error.\n", 0, FAST },
	{ "Clear Message Flags refused", { .fault_cmd = 0x30, .cc = 0xC0, .cc_only = true }, 0xC0, 0,
	  "<3>panicforkiv: ipmi_clear_message_flags: failed.\n<6>panicforkiv: ipmi_clear_message_flags:"
	  " Ret\n<3>panicforkiv: ipmi_set_machine_status: failed.\n", 0, FAST },
	{ "ERROR_STATE cleared after 600 aborts", { .error_aborts = 600 }, 0, 0, "succeeded", 1200 * MS,
	  1300 * MS },
	{ "SMS_ATN never raised", { .sms_atn_dead = true }, 0, 0, "succeeded", 3000 * MS, 3000 * MS + FAST },
	// A failed Get Message Flags costs its cycle, no pause.
	{ "Node Busy on 499 Get Message Flags",
	  { .fault_cmd = 0x31, .fault_count = 499, .cc = 0xC0, .sms_atn_stuck = true }, 0, 0,
	  "succeeded", 4000 * MS, 4100 * MS },
	{ "IBF never clears", { .ibf_stuck = true }, 0xFF, 0, FAILED, DEADLINE, DEADLINE + FAST },
	{ "ERROR_STATE never cleared", { .error_aborts = NEVER_CLEARED }, 0xFF, 0,
	  "<3>panicforkiv: recover: Retry over\n", DEADLINE, DEADLINE + FAST },
	{ "IBF never clears in ERROR_STATE", { .ibf_stuck = true, .error_aborts = NEVER_CLEARED }, 0xFF,
	  0, FAILED, DEADLINE, DEADLINE + FAST },
	{ "Node Busy on every Get Message Flags, no SMS_ATN",
	  { .fault_cmd = 0x31, .cc = 0xC0, .sms_atn_dead = true }, 0xFF, 0, FAILED, DEADLINE,
	  DEADLINE + FAST },
	{ "controller never answers", { .mc_silent = true }, 0xFF, 0,
	  "<3>panicforkiv: ipmi_set_machine_status: IPMI: Timeout.\n", DEADLINE, DEADLINE + FAST },
	// 500 cycles: a Get Message Flags and, for flags without the answer, 1 ms.
	{ "controller never answers, SMS_ATN stuck", { .mc_silent = true, .sms_atn_stuck = true }, 0xFF,
	  0, "IPMI: Timeout.", 4500 * MS, 4600 * MS },
};

class MachineStatusCall : public testing::TestWithParam<status_case> {};

TEST_P(MachineStatusCall, Row)
{
	const status_case &c = GetParam();
	sim_reset(c.f);
	KCSIRQ = 5;
	EXPECT_EQ(panicforkiv_set_status_halt(), c.code) << c.fault;
	EXPECT_EQ(std::tuple(sim.now >= c.low, sim.now <= c.high), std::tuple(true, true)) << sim.now;
	EXPECT_GE(sim_log_count(c.log), 1) << sim.rec.log.substr(0, 2000);
	EXPECT_EQ(sim_log_count(FAILED), c.code ? 1 : 0);
	EXPECT_EQ(sim.rec.irq, "-0 -5 +5 +0 ");    // unmasked in the reverse order
	EXPECT_EQ(sim.rec.port_access_unmasked + sim.rec.overruns + sim.rec.unbracketed_prints, 0u);
	EXPECT_EQ(std::tuple(sim.rec.max_watchdog_gap_us <= MS + 50, sim_log_count("time out.\n") < 10),
		  std::tuple(true, true));
	sim_reset(c.f);                    // the result byte: the controller's code
	u8 result = 0x77;
	if (c.high == FAST) {
		EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result) << 8 | result, c.code << 8 | c.result);
	}
}

INSTANTIATE_TEST_SUITE_P(Table, MachineStatusCall, testing::ValuesIn(status_rows));

} // namespace
