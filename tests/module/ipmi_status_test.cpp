// The machine-status commands against the simulated BMC and controller.
#include <gtest/gtest.h>

#include "kcs_sim.h"

extern "C" {
#include "panicforkiv.h"
#include "ipmi_status.h"
}

namespace {

const uint8_t CLEAR_FLAGS = 0x30, GET_FLAGS = 0x31, GET_MSG = 0x33, SEND_MSG = 0x34;
const char HALT_SEND[] = "18 34 00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e";

std::string commands()
{
	std::vector<uint8_t> cmds;
	for (const sim_request &r : sim_rec().requests)
		cmds.push_back(r.frame[1]);
	return sim_hex(cmds);
}

std::string sent()
{
	return sim_hex(sim_requests_for(SEND_MSG).at(0).frame);
}

TEST(MachineStatus, HaltAndDumpingSendTheOemRequest)
{
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	EXPECT_EQ(commands(), "30 34 31 33");
	EXPECT_EQ(sim_hex(sim_requests_for(CLEAR_FLAGS).at(0).frame), "18 30 eb");
	EXPECT_EQ(sent(), HALT_SEND);
	EXPECT_EQ(sim_rec().mc_requests, 1);
	EXPECT_EQ(sim_log_count("failed"), 0);
	EXPECT_EQ(sim_rec().unbracketed_prints, 0);

	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);
	EXPECT_EQ(sent(), "18 34 00 24 c0 1c 20 20 4b 0a 03 4a 0f ff 10");

	// Any status but dumping goes out with the halt bytes.
	sim_reset();
	EXPECT_EQ(ipmi_set_machine_status(0x07, nullptr), 0);
	EXPECT_EQ(sent(), HALT_SEND);
}

TEST(MachineStatus, IpmbChecksum)
{
	const u8 abc[] = { 'a', 'b', 'c' };
	EXPECT_EQ(qel_ipmb_checksum(abc, 3), 0xDA);
	EXPECT_EQ(qel_ipmb_checksum(abc, 0), 0);
	EXPECT_EQ(qel_ipmb_checksum(abc, -5), 0);
}

// The controller's answer: command byte and both checksums are checked;
// its own completion code is handed back with success.
TEST(MachineStatus, ControllerAnswerChecks)
{
	struct { void (*set)(sim_faults &); int code, result; const char *error; } cases[] = {
		{ [](sim_faults &f) { f.oem_cc = 0xC1; }, 0, 0xC1, nullptr },
		{ [](sim_faults &f) { f.wrong_cmd = true; }, 0xFF, 0, "Command Error." },
		{ [](sim_faults &f) { f.bad_hdr_sum = true; }, 0xFF, 0, "Check sum Error." },
		{ [](sim_faults &f) { f.bad_body_sum = true; }, 0xFF, 0, "Check sum Error." },
	};
	for (const auto &c : cases) {
		sim_faults f;
		c.set(f);
		sim_reset(f);
		u8 result = 0x77;
		EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result), c.code);
		EXPECT_EQ(result, c.result);
		EXPECT_EQ(sim_log_count("Command Error") + sim_log_count("Check sum Error"), c.error ? 1 : 0);
		if (c.error) {
			EXPECT_EQ(sim_log_count(std::string("<3>panicforkiv: ipmi_set_machine_status: ") +
						c.error + "\n"), 1) << sim_rec().log;
		}
	}
}

// A failed stage ends the sequence with its code (the fault-time table has
// the code of each stage).
TEST(MachineStatus, FailedStageEndsTheSequence)
{
	sim_reset();
	sim_fault().fault_cmd = CLEAR_FLAGS;
	sim_fault().cc = 0xC0;
	sim_fault().cc_only = true;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xC0);
	EXPECT_EQ(commands(), "30");
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_clear_message_flags: failed.\n"
				"<6>panicforkiv: ipmi_clear_message_flags: Ret\n"
				"<3>panicforkiv: ipmi_set_machine_status: failed.\n"
				"<3>panicforkiv: Setting system status to halt failed.\n"), 1)
		<< sim_rec().log;
}

TEST(MachineStatus, PauseAfterEmptyFlagsButNotAfterFailedOnes)
{
	// A quick BMC and a raised SMS_ATN leave only the pause between cycles.
	sim_faults f;
	f.ibf_latency_us = 0;
	f.sms_atn_stuck = true;
	f.ipmb_delay_us = 10000;
	sim_reset(f);
	debug = 0;
	ASSERT_EQ(panicforkiv_set_status_halt(), 0);
	std::vector<sim_request> polls = sim_requests_for(GET_FLAGS);
	ASSERT_GE(polls.size(), 3u);
	for (size_t i = 1; i < polls.size(); i++)
		EXPECT_GE(polls[i].at_us - polls[i - 1].at_us, 1000u);

	// A failed Get Message Flags only costs its cycle.
	f.ipmb_delay_us = 0;
	f.fault_cmd = GET_FLAGS;
	f.cc = 0xC0;
	f.cc_only = true;
	f.fault_count = 3;
	sim_reset(f);
	debug = 0;
	ASSERT_EQ(panicforkiv_set_status_halt(), 0);
	polls = sim_requests_for(GET_FLAGS);
	ASSERT_EQ(polls.size(), 4u);
	for (size_t i = 1; i < polls.size(); i++)
		EXPECT_LT(polls[i].at_us - polls[i - 1].at_us, 500u);
}

TEST(MachineStatus, NoInterfaceKnown)
{
	sim_reset();
	KCSBASEADDR = ~(u64)0;
	u8 result = 0x77;
	EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result), 0xFF);
	EXPECT_EQ(result, 0);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: IPMI: Could not use IPMI interface.\n"
				"<3>panicforkiv: ipmi_set_machine_status: failed.\n"), 1);
}

TEST(MachineStatus, SecondSetterIsTurnedAwayUntouched)
{
	sim_reset();
	int nested = 1;
	uint64_t accesses_during = 0;
	std::string irq_during;
	sim_on_delay([&](uint64_t) {        // the first wait of the first exchange
		if (nested != 1)
			return;
		uint64_t a = sim_rec().port_accesses;
		std::string e = sim_rec().irq;
		nested = panicforkiv_set_status_dumping();
		accesses_during = sim_rec().port_accesses - a;
		irq_during = sim_rec().irq.substr(e.size());
	});
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	sim_on_delay(nullptr);
	EXPECT_EQ(nested, -16);
	EXPECT_EQ(accesses_during, 0u);
	EXPECT_EQ(irq_during, "");
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to dumping start...\n"
				"<3>panicforkiv: Device busy.\n"), 1);
	EXPECT_EQ(sim_rec().mc_requests, 1);

	// The lock is free again, after success and after failure alike.
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
}

// Line 0 and the KCS line, if any, stay masked for the whole sequence and
// are unmasked in the reverse order, whatever the outcome.
TEST(MachineStatus, InterruptLinesMaskedAroundTheSequence)
{
	struct { u32 irq; bool fail; const char *events; } cases[] = {
		{ 0, false, "-0 +0 " }, { 5, false, "-0 -5 +5 +0 " }, { 5, true, "-0 -5 +5 +0 " },
	};
	for (const auto &c : cases) {
		sim_reset();
		KCSIRQ = c.irq;
		sim_fault().bad_body_sum = c.fail;
		EXPECT_EQ(panicforkiv_set_status_halt(), c.fail ? 0xFF : 0);
		EXPECT_EQ(sim_rec().irq, c.events);
		EXPECT_EQ(sim_rec().port_access_unmasked, 0u);
	}
}

// Each fault of the BMC against one halt call, with debug 0: every fault
// that used to hold the call for minutes or days now ends with 0xFF within
// the deadline (plus the port accesses after the last delay); healthy and
// recoverable BMCs still succeed.  The NMI watchdog is touched throughout.
TEST(StatusDeadline, EveryFaultEndsWithinTheDeadline)
{
	const uint64_t MS = 1000, DEADLINE = STATUS_DEADLINE_MS * MS, PORTS = 100 * MS;
	struct {
		const char *fault;
		void (*set)(sim_faults &);
		int code;
		uint64_t low, high;
	} rows[] = {
		{ "healthy", [](sim_faults &) {}, 0, 0, PORTS },
		{ "ERROR_STATE cleared after 600 aborts", [](sim_faults &f) { f.error_aborts = 600; },
		  0, 1200 * MS, 1300 * MS },
		{ "SMS_ATN never raised", [](sim_faults &f) { f.sms_atn_dead = true; }, 0, 3000 * MS,
		  3100 * MS },
		{ "Node Busy on 499 Get Message Flags", [](sim_faults &f) {
			  f.fault_cmd = 0x31; f.cc = 0xC0; f.fault_count = 499; f.sms_atn_stuck = true;
		  }, 0, 3900 * MS, 4200 * MS },
		{ "IBF never clears", [](sim_faults &f) { f.ibf_stuck = true; }, 0xFF, DEADLINE,
		  DEADLINE + PORTS },
		{ "ERROR_STATE never cleared", [](sim_faults &f) { f.error_stuck = true; }, 0xFF,
		  DEADLINE, DEADLINE + PORTS },
		{ "IBF never clears in ERROR_STATE", [](sim_faults &f) {
			  f.ibf_stuck = true; f.error_stuck = true;
		  }, 0xFF, DEADLINE, DEADLINE + PORTS },
		{ "Node Busy on every Get Message Flags, no SMS_ATN", [](sim_faults &f) {
			  f.fault_cmd = 0x31; f.cc = 0xC0; f.sms_atn_dead = true;
		  }, 0xFF, DEADLINE, DEADLINE + PORTS },
		{ "controller never answers", [](sim_faults &f) { f.mc_silent = true; }, 0xFF,
		  DEADLINE, DEADLINE + PORTS },
	};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.fault);
		sim_faults f;
		r.set(f);
		sim_reset(f);
		debug = 0;
		EXPECT_EQ(panicforkiv_set_status_halt(), r.code);
		EXPECT_GE(sim_now_us(), r.low);
		EXPECT_LE(sim_now_us(), r.high);
		EXPECT_LE(sim_rec().max_watchdog_gap_us, MS + 50);
		EXPECT_EQ(sim_rec().prints, 0);
		printf("| %s | 0x%02X | %.3f s |\n", r.fault, r.code, sim_now_us() / 1e6);
	}
}

} // namespace
