// The machine-status setters against the simulated BMC and controller.
#include <gtest/gtest.h>

#include "sim.h"

extern "C" {
#include "ipmi_status.h"
}

namespace {

const uint64_t MS = 1000, S = 1000 * MS, DEADLINE = STATUS_DEADLINE_MS * MS;
const uint64_t FAST = 100 * MS;        // a healthy sequence, or port accesses after the last delay
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
		for (const auto &r : sim_rec().requests)
			all += sim_hex(r) + "|";
		EXPECT_EQ(all, "18 30 eb|" + std::string(c.sent) + "|18 31|18 33|");
	}
	const u8 abc[] = { 'a', 'b', 'c' };
	EXPECT_EQ(qel_ipmb_checksum(abc, 3), 0xDA);
	EXPECT_EQ(qel_ipmb_checksum(abc, -5), 0);
	sim_reset();                       // no interface known
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: IPMI: Could not use IPMI "
				"interface.\n<3>panicforkiv: ipmi_set_machine_status: failed.\n"), 1);
}

// A second setter (here from within the first one's first wait) is turned
// away without touching ports or lines; the lock is free again afterwards.
TEST(MachineStatus, SecondSetterIsTurnedAwayUntouched)
{
	sim_reset();
	int nested = 1;
	sim_on_delay([&](uint64_t) {
		if (nested != 1)
			return;
		sim_record before = sim_rec();
		nested = panicforkiv_set_status_dumping();
		EXPECT_EQ(sim_rec().port_accesses, before.port_accesses);
		EXPECT_EQ(sim_rec().irq, before.irq);
	});
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	sim_on_delay(nullptr);
	EXPECT_EQ(nested, -EBUSY);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to dumping start...\n"
				"<3>panicforkiv: Device busy.\n"), 1);
	EXPECT_EQ(sim_statuses(), "0b ");
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
}

// One halt call per BMC: its result, the controller's code handed back,
// the message that ends it and how long it takes.  Every fault that used
// to hold the call for minutes or days (25 min when IBF never clears, 8.7
// days when it also shows ERROR_STATE) ends with 0xFF at the deadline; slow
// but healthy or recoverable BMCs still succeed.  Line 0 and the KCS line
// stay masked throughout, and the NMI watchdog is touched.
struct status_case {
	const char *fault;
	sim_faults f;
	int code, result;
	const char *log;
	uint64_t low, high;
};

const char FAILED[] = "<3>panicforkiv: ipmi_set_machine_status: failed.\n";

const status_case cases[] = {
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
	{ "SMS_ATN never raised", { .sms_atn_dead = true }, 0, 0, "succeeded", 3 * S, 3 * S + FAST },
	// A failed Get Message Flags costs its cycle, no pause.
	{ "Node Busy on 499 Get Message Flags",
	  { .fault_cmd = 0x31, .fault_count = 499, .cc = 0xC0, .sms_atn_stuck = true }, 0, 0,
	  "succeeded", 4000 * MS, 4100 * MS },
	{ "Node Busy on one Get Message Flags, no SMS_ATN",
	  { .fault_cmd = 0x31, .fault_count = 1, .cc = 0xC0, .sms_atn_dead = true }, 0, 0, "succeeded",
	  6 * S, 6 * S + FAST },
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
	SCOPED_TRACE(c.fault);
	sim_reset(c.f);
	KCSIRQ = 5;
	EXPECT_EQ(panicforkiv_set_status_halt(), c.code);
	EXPECT_GE(sim_now_us(), c.low);
	EXPECT_LE(sim_now_us(), c.high);
	EXPECT_GE(sim_log_count(c.log), 1) << sim_rec().log.substr(0, 2000);
	EXPECT_EQ(sim_log_count(FAILED), c.code ? 1 : 0);
	EXPECT_EQ(sim_rec().irq, "-0 -5 +5 +0 ");
	EXPECT_EQ(sim_rec().port_access_unmasked + sim_rec().overruns + sim_rec().unbracketed_prints, 0u);
	EXPECT_LE(sim_rec().max_watchdog_gap_us, MS + 50);
	printf("| %s | 0x%02X | %.3f s |\n", c.fault, c.code, sim_now_us() / 1e6);
	sim_reset(c.f);                    // the result byte: the controller's code
	u8 result = 0x77;
	if (c.high == FAST) {
		EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result), c.code);
		EXPECT_EQ(result, c.result);
	}
}

INSTANTIATE_TEST_SUITE_P(Table, MachineStatusCall, testing::ValuesIn(cases));

} // namespace
