// The machine-status setters against the simulated BMC and controller.
#include <gtest/gtest.h>

#include "sim.h"

extern "C" {
#include "ipmi_status.h"
}

namespace {

const uint64_t MS = 1000, S = 1000 * MS, DEADLINE = STATUS_DEADLINE_MS * MS;
const uint64_t PORTS = 100 * MS;       // port accesses after the last delay
const char HALT[] = "18 34 00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e";
const char FAILED[] = "<3>panicforkiv: ipmi_set_machine_status: failed.\n";

std::string commands()
{
	std::string s;
	for (const auto &r : sim_rec().requests) s += sim_hex({ r[1] }) + " ";
	return s;
}

// The requests, the controller's answer and what ends a sequence early;
// line 0 and the KCS line stay masked throughout, unmasked in reverse.
TEST(MachineStatus, RequestsAnswersAndFailures)
{
	struct {
		int (*set)(void);
		sim_faults f;
		u32 irq;
		int code;
		const char *cmds, *sent, *log;
	} cases[] = {
		{ panicforkiv_set_status_halt, {}, 0, 0, "30 34 31 33 ", HALT,
		  "<6>panicforkiv: Setting system status to halt succeeded.\n" },
		{ panicforkiv_set_status_dumping, {}, 5, 0, "30 34 31 33 ",
		  "18 34 00 24 c0 1c 20 20 4b 0a 03 4a 0f ff 10",
		  "<6>panicforkiv: Setting system status to dumping succeeded.\n" },
		{ [] { return (int)ipmi_set_machine_status(0x07, nullptr); }, {}, 0, 0, "30 34 31 33 ",
		  HALT, "<6>panicforkiv: ipmi_set_machine_status: succeeded.\n" },   // any other: halt
		{ panicforkiv_set_status_halt, { .oem_cc = 0xC1 }, 5, 0, "30 34 31 33 ", HALT,
		  "<6>panicforkiv: Setting system status to halt succeeded.\n" },
		{ panicforkiv_set_status_halt, { .wrong_cmd = true }, 5, 0xFF, "30 34 31 33 ", HALT,
		  "<3>panicforkiv: ipmi_set_machine_status: Command Error.\n" },
		{ panicforkiv_set_status_halt, { .bad_hdr_sum = true }, 0, 0xFF, "30 34 31 33 ", HALT,
		  "<3>panicforkiv: ipmi_set_machine_status: Check sum Error.\n" },
		{ panicforkiv_set_status_halt, { .bad_body_sum = true }, 0, 0xFF, "30 34 31 33 ", HALT,
		  "<3>panicforkiv: ipmi_set_machine_status: Check sum Error.\n" },
		{ panicforkiv_set_status_halt, { .fault_cmd = 0x30, .cc = 0xC0, .cc_only = true }, 0, 0xC0,
		  "30 ", nullptr, "<3>panicforkiv: ipmi_clear_message_flags: failed.\n"
		  "<6>panicforkiv: ipmi_clear_message_flags: Ret\n" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.log);
		sim_reset(c.f);
		KCSIRQ = c.irq;
		EXPECT_EQ(c.set(), c.code);
		EXPECT_EQ(commands(), c.cmds);
		EXPECT_EQ(sim_hex(sim_rec().requests.at(0)), "18 30 eb");
		if (c.sent) {
			EXPECT_EQ(sim_hex(sim_rec().requests.at(1)), c.sent);
		}
		EXPECT_EQ(sim_log_count(c.log), 1) << sim_rec().log;
		EXPECT_EQ(sim_log_count(FAILED), c.code ? 1 : 0);
		EXPECT_EQ(sim_rec().unbracketed_prints, 0);
		if (c.set != panicforkiv_set_status_halt) continue;
		EXPECT_EQ(sim_rec().irq, c.irq ? "-0 -5 +5 +0 " : "-0 +0 ");
		EXPECT_EQ(sim_rec().port_access_unmasked, 0u);
		sim_reset(c.f);                    // the result byte: the controller's code
		u8 result = 0x77;
		EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result), c.code);
		EXPECT_EQ(result, c.code ? 0 : c.f.oem_cc);
	}
	const u8 abc[] = { 'a', 'b', 'c' };
	EXPECT_EQ(qel_ipmb_checksum(abc, 3), 0xDA);
	EXPECT_EQ(qel_ipmb_checksum(abc, -5), 0);
	sim_reset();                       // no interface known
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: IPMI: Could not use IPMI "
				"interface.\n" + std::string(FAILED)), 1);
}

// A second setter (here from within the first one's first wait) is turned
// away without touching ports or lines; the lock is free again afterwards.
TEST(MachineStatus, SecondSetterIsTurnedAwayUntouched)
{
	sim_reset();
	int nested = 1;
	sim_on_delay([&](uint64_t) {
		if (nested != 1) return;
		uint64_t accesses = sim_rec().port_accesses;
		std::string irq = sim_rec().irq;
		nested = panicforkiv_set_status_dumping();
		EXPECT_EQ(sim_rec().port_accesses, accesses);
		EXPECT_EQ(sim_rec().irq, irq);
	});
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	sim_on_delay(nullptr);
	EXPECT_EQ(nested, -EBUSY);
	EXPECT_EQ(sim_rec().irq, "-0 +0 ");
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to dumping start...\n"
				"<3>panicforkiv: Device busy.\n"), 1);
	EXPECT_EQ(sim_statuses(), "0b ");
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
}

// One halt call per fault of the BMC: every fault that used to hold the
// call for minutes or days (25 min when IBF never clears, 8.7 days when it
// also shows ERROR_STATE) ends with 0xFF at the deadline; slow but healthy
// or recoverable BMCs still succeed.  The NMI watchdog is touched
// throughout; with debug 0 nothing is printed.
struct timing {
	const char *fault;
	sim_faults f;
	int code;
	uint64_t low, high;
	const char *log;                   // with debug 1: the message that ends it
};

const timing timings[] = {
	{ "healthy", {}, 0, 0, PORTS },
	{ "ERROR_STATE cleared after 600 aborts", { .error_aborts = 600 }, 0, 1200 * MS, 1300 * MS },
	{ "SMS_ATN never raised", { .sms_atn_dead = true }, 0, 3 * S, 3 * S + PORTS },
	// A failed Get Message Flags costs its cycle, no pause.
	{ "Node Busy on 499 Get Message Flags",
	  { .fault_cmd = 0x31, .fault_count = 499, .cc = 0xC0, .sms_atn_stuck = true }, 0, 4000 * MS,
	  4100 * MS },
	{ "Node Busy on one Get Message Flags, no SMS_ATN",
	  { .fault_cmd = 0x31, .fault_count = 1, .cc = 0xC0, .sms_atn_dead = true }, 0, 6 * S,
	  6 * S + PORTS },
	{ "IBF never clears", { .ibf_stuck = true }, 0xFF, DEADLINE, DEADLINE + PORTS },
	{ "ERROR_STATE never cleared", { .error_aborts = NEVER_CLEARED }, 0xFF, DEADLINE,
	  DEADLINE + PORTS, "<3>panicforkiv: recover: Retry over\n" },
	{ "IBF never clears in ERROR_STATE", { .ibf_stuck = true, .error_aborts = NEVER_CLEARED },
	  0xFF, DEADLINE, DEADLINE + PORTS },
	{ "Node Busy on every Get Message Flags, no SMS_ATN",
	  { .fault_cmd = 0x31, .cc = 0xC0, .sms_atn_dead = true }, 0xFF, DEADLINE, DEADLINE + PORTS },
	{ "controller never answers", { .mc_silent = true }, 0xFF, DEADLINE, DEADLINE + PORTS,
	  "<3>panicforkiv: ipmi_set_machine_status: IPMI: Timeout.\n" },
	// 500 cycles: a Get Message Flags and, for flags without the answer, 1 ms.
	{ "controller never answers, SMS_ATN stuck", { .mc_silent = true, .sms_atn_stuck = true },
	  0xFF, 4500 * MS, 4600 * MS },
};

class StatusDeadline : public testing::TestWithParam<timing> {};

TEST_P(StatusDeadline, Row)
{
	const timing &r = GetParam();
	sim_reset(r.f);
	debug = r.log != nullptr;
	EXPECT_EQ(panicforkiv_set_status_halt(), r.code) << r.fault;
	EXPECT_GE(sim_now_us(), r.low) << r.fault;
	EXPECT_LE(sim_now_us(), r.high) << r.fault;
	EXPECT_LE(sim_rec().max_watchdog_gap_us, MS + 50) << r.fault;
	EXPECT_EQ(r.log ? sim_log_count(r.log) > 0 : sim_rec().prints == 0, true);
	printf("| %s | 0x%02X | %.3f s |\n", r.fault, r.code, sim_now_us() / 1e6);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusDeadline, testing::ValuesIn(timings),
			 [](const testing::TestParamInfo<timing> &i) { return std::to_string(i.index); });

} // namespace
