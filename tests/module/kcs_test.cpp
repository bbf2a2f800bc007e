// The polled KCS transport against the simulated BMC.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "kcs_sim.h"

extern "C" {
#include "panicforkiv.h"
#include "kcs.h"
}

namespace {

const uint8_t CLEAR_FLAGS = 0x30, GET_FLAGS = 0x31;
const uint64_t WAIT_US = 3001 * 1000;

// One exchange with NetFn App; d keeps its pattern where nothing is copied.
uint8_t run(uint8_t cmd, const std::vector<uint8_t> &req, int resp_len, kcs_data &d)
{
	kcs_request r = {};
	r.netfn = 0x06;
	r.lun = 0;
	r.cmd = cmd;
	r.data = &d;
	d.req_len = (u16)req.size();
	if (!req.empty())
		memcpy(d.req_data, req.data(), req.size());
	d.resp_len = (u16)resp_len;
	return kcs_execute(&r);
}

kcs_data &fresh()
{
	static kcs_data d;
	memset(&d, 0, sizeof(d));
	memset(d.resp_data, 0x5A, sizeof(d.resp_data));
	return d;
}

void expect_clean_protocol()
{
	EXPECT_EQ(sim_rec().overruns, 0);
	EXPECT_EQ(sim_rec().stray_ports, 0);
	EXPECT_EQ(sim_rec().deadlocks, 0);
	EXPECT_EQ(sim_rec().unbracketed_prints, 0);
	EXPECT_EQ(sim_rec().bust_on, sim_rec().bust_off);
	EXPECT_EQ(sim_state(), 0) << "left idle";
}

// One exchange: the frame out, the answer's code and data in, never more
// than resp_len + 1 bytes copied (the read phase stops one byte past the
// expected length, never before 3 + 1, and aborts the rest of a longer
// answer) and the interface ready for the next exchange.
TEST(KcsExchange, ReadStopsOneBytePastTheExpectedLength)
{
	struct { uint8_t cmd; int resp_len, extra; u16 got; int aborts; } cases[] = {
		{ CLEAR_FLAGS, 1, 0, 1, 0 },          // the three-byte answer
		{ CLEAR_FLAGS, 0, 0, 1, 0 },          // three bytes fit the limit of 3
		{ GET_FLAGS, 0, 0, 2, 1 },            // its four bytes do not
		{ CLEAR_FLAGS, 1, 40, 2, 1 },
		{ CLEAR_FLAGS, 1021, 1500, 1022, 1 }, // the largest length accepted
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.resp_len);
		sim_reset();
		debug = 0;
		sim_fault().extra = c.extra;
		sim_fault().fault_count = 1;
		kcs_data &d = fresh();
		ASSERT_EQ(run(c.cmd, { 0xEB }, c.resp_len, d), 0);
		EXPECT_EQ(d.resp_len, c.got);
		EXPECT_EQ(d.resp_data[0], 0x00);
		if (c.extra) {
			EXPECT_EQ(d.resp_data[c.got - 1], (uint8_t)(0xA0 + c.got - 2));
		}
		EXPECT_EQ(d.resp_data[c.got], 0x5A);
		EXPECT_EQ(sim_rec().aborts, c.aborts);
		EXPECT_EQ(sim_rec().write_starts, 1);
		ASSERT_EQ(sim_rec().requests.size(), 1u);
		EXPECT_EQ(sim_rec().requests[0].frame, (std::vector<uint8_t>{ 0x18, c.cmd, 0xEB }));
		kcs_data &d2 = fresh();
		ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d2), 0);
		EXPECT_EQ(d2.resp_len, 1);
		expect_clean_protocol();
	}
}

// Answers that fail: the code, its text in the log, the caller's block
// untouched and the interface idle again.
TEST(KcsExchange, FailedAnswersAreReportedWithTheirText)
{
	struct { uint8_t cmd; void (*set)(sim_faults &); int code; const char *text; } cases[] = {
		// short: truncated with code 0, and whatever code the BMC sent
		{ GET_FLAGS, [](sim_faults &f) { f.trim = 1; }, 0xC6, "Request data truncated." },
		{ GET_FLAGS, [](sim_faults &f) { f.cc = 0xC1; }, 0xC6, "Request data truncated." },
		// two bytes or fewer, or no answer at all
		{ CLEAR_FLAGS, [](sim_faults &f) { f.trim = 1; }, 0xFF, "Unspecified error." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.trim = 3; }, 0xFF, "Unspecified error." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.write_after_last = true; }, 0xFF,
		  "Unspecified error." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.cc = 0x85; }, 0x85, "Standard command-specific codes." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.cc = 0x7E; }, 0x7E,
		  "Device specific (OEM) completion codes." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.cc = 0xC0; }, 0xC0, "Node Busy. Command could not "
		  "be processed because command processing resources are temporarily unavailable." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.cc = 0xD9; }, 0xD9, "Ipmi Error Message is not define." },
		{ CLEAR_FLAGS, [](sim_faults &f) { f.cc = 0x7F; }, 0x7F, "Ipmi Error Message is not define." },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.code);
		sim_faults f;
		f.fault_cmd = c.cmd;
		f.cc_only = true;          // a code comes as NetFn, command, code
		c.set(f);
		sim_reset(f);
		kcs_data &d = fresh();
		int resp_len = c.cmd == GET_FLAGS ? 2 : 1;
		EXPECT_EQ(run(c.cmd, { 0xEB }, resp_len, d), c.code);
		char line[512];
		snprintf(line, sizeof(line), "<3>panicforkiv: ERROR code=0x%02x, %s\n", c.code, c.text);
		EXPECT_EQ(sim_log_count(line), 1) << sim_rec().log;
		if (f.write_after_last) {
			EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_read: state = 2\n"), 1);
		}
		EXPECT_EQ(d.resp_len, resp_len);
		EXPECT_EQ(d.resp_data[0], 0x5A);
		expect_clean_protocol();
	}
}

// An interface found in ERROR_STATE is aborted before the write; 500 failed
// aborts give up a run, 501 runs the exchange.
TEST(KcsRecovery, ErrorStateIsAbortedBeforeTheWrite)
{
	struct { int failing; int code, aborts, write_starts, give_ups; } cases[] = {
		{ 0, 0, 1, 1, 0 },                // cleared by the first abort
		{ 600, 0, 601, 1, 1 },            // by the second run's 101st
		{ -1, 0xFF, 501 * 500, 0, 501 },  // never: nothing is written into it
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.failing);
		sim_faults f;
		f.error_aborts = c.failing;
		f.error_stuck = c.failing < 0;
		sim_reset(f);
		kcs_data &d = fresh();
		EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), c.code);
		EXPECT_EQ(d.resp_len, 1);
		EXPECT_EQ(sim_rec().aborts, c.aborts);
		EXPECT_EQ(sim_rec().write_starts, c.write_starts);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: recover: Retry over\n"), c.give_ups);
		EXPECT_EQ(sim_rec().deadlocks, 0);
	}
}

TEST(KcsWrite, IdleAfterWriteEndFailsAfterOneRunWithoutTheLastByte)
{
	sim_faults f;
	f.idle_after_write_end = true;
	sim_reset(f);
	kcs_data &d = fresh();
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), 0xFF);
	EXPECT_EQ(sim_rec().write_starts, 1);
	EXPECT_EQ(sim_rec().write_ends, 1);
	EXPECT_EQ(sim_rec().frame_bytes, 2) << "18 30 written, eb held back";
	EXPECT_TRUE(sim_rec().requests.empty());
	EXPECT_EQ(sim_log_count("<3>panicforkiv: kcs_write: not WRITE_STATE...\n"), 1);
	EXPECT_EQ(sim_log_count("kcs_read"), 0) << "no read after a failed write";
	EXPECT_EQ(d.resp_data[0], 0x5A);
}

TEST(KcsWrite, InputBufferThatNeverEmptiesEndsAfter501Waits)
{
	sim_faults f;
	f.ibf_stuck = true;
	f.io_cost_us = 0;
	sim_reset(f);
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, fresh()), 0xFF);
	EXPECT_EQ(sim_now_us(), 501 * WAIT_US) << "501 runs of 3001 one-ms delays";
	EXPECT_EQ(sim_rec().port_writes, 0u) << "nothing written into a full buffer";
	EXPECT_EQ(sim_log_count("<3>panicforkiv: wait_ibf_zero: time out.\n"), 501);
}

TEST(KcsBounds, LengthsAtAndPastTheBuffers)
{
	sim_reset();
	kcs_data &d = fresh();
	EXPECT_EQ(run(CLEAR_FLAGS, std::vector<uint8_t>(1023, 0x11), 1, d), 0xC8);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ERROR code=0xc8, Request data field length limit exceeded.\n"), 1);
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1022, d), 0xCA);
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 0xFFFF, d), 0xCA);
	EXPECT_EQ(d.resp_len, 0xFFFF);
	EXPECT_EQ(d.resp_data[0], 0x5A);
	KCSBASEADDR = ~(u64)0;             // no interface: its ports would wrap to 0
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), 0xFF);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
	EXPECT_EQ(sim_rec().deadlocks, 0) << "refusal does not keep the lock";

	// A 1022-byte request makes a 1024-byte frame.
	sim_reset();
	debug = 0;
	std::vector<uint8_t> big(1022);
	for (size_t i = 0; i < big.size(); i++)
		big[i] = (uint8_t)i;
	ASSERT_EQ(run(CLEAR_FLAGS, big, 1, fresh()), 0);
	ASSERT_EQ(sim_rec().requests.size(), 1u);
	EXPECT_EQ(sim_rec().requests[0].frame.size(), 1024u);
	EXPECT_EQ(sim_rec().requests[0].frame[1023], (uint8_t)1021);
}

} // namespace
