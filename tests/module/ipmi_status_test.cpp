// The machine-status commands against the simulated BMC and controller.
#include <gtest/gtest.h>

#include <cstring>

#include "kcs_sim.h"

extern "C" {
#include "panicforkiv.h"
#include "ipmi_status.h"
}

namespace {

const uint8_t CLEAR_FLAGS = 0x30, GET_FLAGS = 0x31, GET_MSG = 0x33, SEND_MSG = 0x34;

std::string commands()
{
	std::vector<uint8_t> cmds;
	for (const sim_request &r : sim_rec().requests)
		cmds.push_back(r.frame[1]);
	return sim_hex(cmds);
}

std::string irq_events()
{
	std::string s;
	for (const sim_irq_event &e : sim_rec().irq)
		s += (e.op == SIM_MASK ? "-" : "+") + std::to_string(e.irq) + " ";
	return s;
}

TEST(MachineStatus, HaltSendsTheOemRequestAndChecksTheAnswer)
{
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	EXPECT_EQ(commands(), "30 34 31 33");
	EXPECT_EQ(sim_hex(sim_requests_for(CLEAR_FLAGS).at(0).frame), "18 30 eb");
	EXPECT_EQ(sim_hex(sim_requests_for(SEND_MSG).at(0).frame),
		  "18 34 00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e");
	EXPECT_EQ(sim_hex(sim_requests_for(GET_MSG).at(0).frame), "18 33");
	EXPECT_EQ(sim_rec().mc_requests, 1);
	EXPECT_EQ(sim_rec().overruns, 0);
	EXPECT_EQ(sim_rec().deadlocks, 0);

	const char *lines[] = {
		"<6>panicforkiv: Setting system status to halt start...\n",
		"<6>panicforkiv: ipmi_set_machine_status: start...\n",
		"<6>panicforkiv: ipmi_clear_message_flags: Start\n",
		"<6>panicforkiv: ipmi_clear_message_flags: succeeded.\n",
		"<6>panicforkiv: ipmi_clear_message_flags: Ret\n",
		"<6>panicforkiv: ipmi_get_message_flags: Start\n",
		"<6>panicforkiv: ipmi_get_message_flags: succeeded.\n",
		"<6>panicforkiv: ipmi_set_machine_status: succeeded.\n",
		"<6>panicforkiv: Setting system status to halt succeeded.\n",
	};
	for (const char *line : lines)
		EXPECT_EQ(sim_log_count(line), 1) << line << sim_rec().log;
	// Two checksums for the request, two for the answer.
	EXPECT_EQ(sim_log_count("<6>panicforkiv: qel_ipmb_checksum: Start\n"), 4);
	EXPECT_EQ(sim_log_count("failed"), 0);
	EXPECT_EQ(sim_rec().unbracketed_prints, 0);
}

TEST(MachineStatus, DumpingAndOtherStatusCodes)
{
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);
	EXPECT_EQ(sim_hex(sim_requests_for(SEND_MSG).at(0).frame),
		  "18 34 00 24 c0 1c 20 20 4b 0a 03 4a 0f ff 10");
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to dumping start...\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to dumping succeeded.\n"), 1);

	// Any status but dumping goes out with the halt bytes.
	sim_reset();
	u8 result = 0x77;
	EXPECT_EQ(ipmi_set_machine_status(0x07, &result), 0);
	EXPECT_EQ(result, 0);
	EXPECT_EQ(sim_hex(sim_rec().mc_received), "24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e");
}

TEST(MachineStatus, IpmbChecksum)
{
	const u8 abc[] = { 'a', 'b', 'c' };
	EXPECT_EQ(qel_ipmb_checksum(abc, 3), 0xDA);
	EXPECT_EQ(qel_ipmb_checksum(abc, 0), 0);
	EXPECT_EQ(qel_ipmb_checksum(abc, -5), 0);
	u8 buf[300];
	for (int i = 0; i < 300; i++)
		buf[i] = (u8)(i * 37);
	u8 sum = qel_ipmb_checksum(buf, 300);
	for (int i = 0; i < 300; i++)
		sum += buf[i];
	EXPECT_EQ(sum, 0);
}

TEST(MachineStatus, ControllerCompletionCodeIsHandedBackOnSuccess)
{
	sim_reset();
	sim_fault().oem_cc = 0xC1;
	u8 result = 0;
	EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result), 0);
	EXPECT_EQ(result, 0xC1);

	sim_reset();
	sim_fault().oem_cc = 0xC1;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: Setting system status to halt succeeded.\n"), 1);
}

TEST(MachineStatus, AnswerChecks)
{
	struct { void (*set)(sim_faults &); const char *line; } cases[] = {
		{ [](sim_faults &f) { f.wrong_cmd = true; },
		  "<3>panicforkiv: ipmi_set_machine_status: Command Error.\n" },
		{ [](sim_faults &f) { f.bad_hdr_sum = true; },
		  "<3>panicforkiv: ipmi_set_machine_status: Check sum Error.\n" },
		{ [](sim_faults &f) { f.bad_body_sum = true; },
		  "<3>panicforkiv: ipmi_set_machine_status: Check sum Error.\n" },
	};
	for (const auto &c : cases) {
		sim_faults f;
		c.set(f);
		sim_reset(f);
		u8 result = 0x77;
		EXPECT_EQ(ipmi_set_machine_status(MACHINE_STATUS_HALT, &result), 0xFF);
		EXPECT_EQ(result, 0);
		EXPECT_EQ(sim_log_count(c.line), 1) << sim_rec().log;
		EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: failed.\n"), 1);
		EXPECT_EQ(sim_log_count("Command Error") + sim_log_count("Check sum Error"), 1);
	}
}

TEST(MachineStatus, FailedRequestsReturnTheirCode)
{
	struct { int cmd; int cc; bool cc_only; int trim; int expect; } cases[] = {
		{ CLEAR_FLAGS, 0xC0, true, 0, 0xC0 },
		{ SEND_MSG, 0x83, true, 0, 0x83 },      // NAK on write
		{ GET_MSG, -1, false, 1, 0xC6 },        // one byte short
		{ GET_MSG, 0x80, true, 0, 0xC6 },       // bare "no data" answer is short too
	};
	for (const auto &c : cases) {
		sim_reset();
		sim_fault().fault_cmd = c.cmd;
		sim_fault().cc = c.cc;
		sim_fault().cc_only = c.cc_only;
		sim_fault().trim = c.trim;
		EXPECT_EQ(panicforkiv_set_status_halt(), c.expect) << c.cmd;
		EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: failed.\n"), 1);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: Setting system status to halt failed.\n"), 1);
	}
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_get_message_flags: failed.\n"), 0);

	sim_reset();
	sim_fault().fault_cmd = CLEAR_FLAGS;
	sim_fault().cc = 0xC0;
	sim_fault().cc_only = true;
	panicforkiv_set_status_halt();
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_clear_message_flags: failed.\n"
				"<6>panicforkiv: ipmi_clear_message_flags: Ret\n"
				"<3>panicforkiv: ipmi_set_machine_status: failed.\n"), 1)
		<< sim_rec().log;
	EXPECT_EQ(commands(), "30");
}

TEST(MachineStatus, LongerGetMessageAnswerIsAccepted)
{
	sim_reset();
	sim_fault().fault_cmd = GET_MSG;
	sim_fault().extra = 3;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
}

TEST(MachineStatus, WaitingForTheAnswer)
{
	// The controller never answers: 500 cycles, each waiting out SMS_ATN.
	sim_reset();
	debug = 0;
	sim_fault().mc_silent = true;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(sim_requests_for(GET_FLAGS).size(), 500u);
	EXPECT_TRUE(sim_requests_for(GET_MSG).empty());

	sim_reset();
	sim_fault().mc_silent = true;
	sim_fault().sms_atn_stuck = true;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_set_machine_status: IPMI: Timeout.\n"), 1);
	EXPECT_EQ(sim_log_count("time out"), 0);

	// SMS_ATN never raised: one wait runs out, then the flags are read anyway.
	sim_reset();
	sim_fault().sms_atn_dead = true;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: wait_sms_atn_one: time out.\n"), 1);
	EXPECT_GE(sim_now_us(), 3001000u);

	// A failed Get Message Flags only costs its cycle.
	sim_reset();
	sim_fault().fault_cmd = GET_FLAGS;
	sim_fault().cc = 0xC0;
	sim_fault().cc_only = true;
	sim_fault().fault_count = 2;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	EXPECT_EQ(sim_requests_for(GET_FLAGS).size(), 3u);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ipmi_get_message_flags: failed.\n"), 2);
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
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(irq_events(), "-0 +0 ");
}

TEST(MachineStatus, SecondSetterIsTurnedAwayUntouched)
{
	sim_reset();
	int nested = 1;
	uint64_t accesses_during = 0;
	size_t irq_during = 0;
	sim_on_port_access([&](uint64_t n) {
		if (n != 40)
			return;
		uint64_t a = sim_rec().port_accesses;
		size_t e = sim_rec().irq.size();
		nested = panicforkiv_set_status_dumping();
		accesses_during = sim_rec().port_accesses - a;
		irq_during = sim_rec().irq.size() - e;
	});
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	sim_on_port_access(nullptr);
	EXPECT_EQ(nested, -EBUSY);
	EXPECT_EQ(nested, -16);
	EXPECT_EQ(accesses_during, 0u);
	EXPECT_EQ(irq_during, 0u);
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

TEST(MachineStatus, InterruptLinesMaskedAroundTheSequence)
{
	sim_reset();
	EXPECT_EQ(panicforkiv_set_status_halt(), 0);
	EXPECT_EQ(irq_events(), "-0 +0 ");
	EXPECT_EQ(sim_rec().port_access_unmasked, 0u);

	sim_reset();
	KCSIRQ = 5;
	EXPECT_EQ(panicforkiv_set_status_dumping(), 0);
	EXPECT_EQ(irq_events(), "-0 -5 +5 +0 ");
	EXPECT_EQ(sim_rec().port_access_unmasked, 0u);

	sim_reset();
	KCSIRQ = 5;
	sim_fault().bad_body_sum = true;
	EXPECT_EQ(panicforkiv_set_status_halt(), 0xFF);
	EXPECT_EQ(irq_events(), "-0 -5 +5 +0 ");
}

TEST(MachineStatus, DebugZeroPrintsNothing)
{
	sim_faults faults[6];
	faults[1].sms_atn_dead = true;
	faults[1].bad_body_sum = true;
	faults[2].fault_cmd = GET_FLAGS;
	faults[2].cc = 0xD9;
	faults[2].cc_only = true;
	faults[2].fault_count = 4;
	faults[3].error_aborts = 600;
	faults[3].trim = 1;
	faults[4].idle_after_write_end = true;
	faults[5].extra = 5;
	for (const sim_faults &f : faults) {
		sim_reset(f);
		debug = 0;
		panicforkiv_set_status_halt();
		panicforkiv_set_status_dumping();
		EXPECT_EQ(sim_rec().prints, 0);
		EXPECT_EQ(sim_rec().bust_on + sim_rec().bust_off, 0);
	}
}

} // namespace
