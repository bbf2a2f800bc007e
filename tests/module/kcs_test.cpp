// The polled KCS transport against the simulated BMC.
#include <gtest/gtest.h>

#include <cstring>

#include "kcs_sim.h"

extern "C" {
#include "panicforkiv.h"
#include "kcs.h"
}

namespace {

const uint8_t CLEAR_FLAGS = 0x30, GET_FLAGS = 0x31;
const uint64_t POLL_MS = 1000, WAIT_US = 3001 * POLL_MS;

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
}

TEST(KcsExchange, ClearMessageFlagsThreeByteAnswer)
{
	sim_reset();
	kcs_data &d = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), 0);
	EXPECT_EQ(d.resp_len, 1);
	EXPECT_EQ(d.resp_data[0], 0x00);
	EXPECT_EQ(d.resp_data[1], 0x5A) << "only resp_len bytes are copied";

	ASSERT_EQ(sim_rec().requests.size(), 1u);
	EXPECT_EQ(sim_hex(sim_rec().requests[0].frame), "18 30 eb");
	EXPECT_EQ(sim_rec().write_starts, 1);
	EXPECT_EQ(sim_rec().aborts, 0);
	EXPECT_EQ(sim_state(), 0) << "left idle";
	expect_clean_protocol();
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=3 18 30 eb \n"), 1)
		<< sim_rec().log;
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_write: exit 0\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_read: exit 3.\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_execute: resp_data_len=1 00 \n"), 1);
	EXPECT_EQ(sim_log_count("ERROR"), 0);
}

TEST(KcsExchange, ExpectingNothingStillReadsHeaderAndCode)
{
	sim_reset();
	kcs_data &d = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 0, d), 0);
	EXPECT_EQ(d.resp_len, 1);
	EXPECT_EQ(sim_rec().aborts, 0) << "three bytes fit the limit of 3";
}

TEST(KcsExchange, LongerAnswerStopsOneByteAfterTheLimit)
{
	// Get Message Flags answers four bytes; expecting none allows 3 + 1.
	sim_reset();
	kcs_data &d = fresh();
	ASSERT_EQ(run(GET_FLAGS, {}, 0, d), 0);
	EXPECT_EQ(d.resp_len, 2);
	EXPECT_EQ(sim_rec().aborts, 1) << "the rest of the answer is aborted";
	EXPECT_EQ(sim_state(), 0);

	// Far too long: still one byte past the limit, and the next exchange is clean.
	sim_reset();
	sim_fault().fault_cmd = CLEAR_FLAGS;
	sim_fault().extra = 40;
	sim_fault().fault_count = 1;
	kcs_data &d1 = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d1), 0);
	EXPECT_EQ(d1.resp_len, 2);
	EXPECT_EQ(d1.resp_data[1], 0xA0);
	kcs_data &d2 = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d2), 0);
	EXPECT_EQ(d2.resp_len, 1);
	expect_clean_protocol();
}

TEST(KcsExchange, ShortAnswersAreJudgedByLength)
{
	// One byte short with code 0: truncated, caller's block untouched.
	sim_reset();
	sim_fault().fault_cmd = GET_FLAGS;
	sim_fault().trim = 1;
	kcs_data &d = fresh();
	EXPECT_EQ(run(GET_FLAGS, {}, 2, d), 0xC6);
	EXPECT_EQ(d.resp_len, 2);
	EXPECT_EQ(d.resp_data[0], 0x5A);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ERROR code=0xc6, Request data truncated.\n"), 1);

	// A short answer reports truncation whatever code the BMC sent.
	sim_reset();
	sim_fault().fault_cmd = GET_FLAGS;
	sim_fault().cc = 0xC1;
	sim_fault().cc_only = true;
	EXPECT_EQ(run(GET_FLAGS, {}, 2, fresh()), 0xC6);

	// Two bytes or fewer: unspecified.
	for (int trim : { 1, 2, 3 }) {
		sim_reset();
		sim_fault().trim = trim;
		kcs_data &d2 = fresh();
		EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d2), 0xFF) << "trim " << trim;
		EXPECT_EQ(d2.resp_len, 1);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: ERROR code=0xff, Unspecified error.\n"), 1);
		EXPECT_EQ(sim_state(), 0);
		expect_clean_protocol();
	}
}

TEST(KcsExchange, CompletionCodesAreReportedWithTheirText)
{
	struct { int cc; const char *line; } cases[] = {
		{ 0x85, "<3>panicforkiv: ERROR code=0x85, Standard command-specific codes.\n" },
		{ 0xD9, "<3>panicforkiv: ERROR code=0xd9, Ipmi Error Message is not define.\n" },
		{ 0xC0, "<3>panicforkiv: ERROR code=0xc0, Node Busy. Command could not be processed "
			"because command processing resources are temporarily unavailable.\n" },
		{ 0x7F, "<3>panicforkiv: ERROR code=0x7f, Ipmi Error Message is not define.\n" },
	};
	for (const auto &c : cases) {
		sim_reset();
		sim_fault().cc = c.cc;
		sim_fault().cc_only = true;
		kcs_data &d = fresh();
		EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), c.cc);
		EXPECT_EQ(sim_log_count(c.line), 1) << sim_rec().log;
		EXPECT_EQ(d.resp_data[0], 0x5A);
	}
}

TEST(KcsExchange, CompletionCodeTableRanges)
{
	int rows = 0;
	for (int code = 0; code < 256; code++)
		rows += kcs_cc_text((u8)code) != nullptr;
	EXPECT_EQ(rows, 23 + 1 + 126 + 63);
	for (int code : { 0x00, 0x7F, 0xBF, 0xD7, 0xFE })
		EXPECT_EQ(kcs_cc_text((u8)code), nullptr) << code;
	EXPECT_STREQ(kcs_cc_text(0x01), "Device specific (OEM) completion codes.");
	EXPECT_STREQ(kcs_cc_text(0x7E), "Device specific (OEM) completion codes.");
	EXPECT_STREQ(kcs_cc_text(0x80), "Standard command-specific codes.");
	EXPECT_STREQ(kcs_cc_text(0xBE), "Standard command-specific codes.");
	EXPECT_STREQ(kcs_cc_text(0xD4), "Cannot execute command due to insufficient privilege "
		"level or other securitybased restriction (e.g. disabled for 'firmware firewall').");
}

TEST(KcsRecovery, ErrorStateBeforeTheWriteIsRecoveredFirst)
{
	sim_faults f;
	f.error_aborts = 0;
	sim_reset(f);
	kcs_data &d = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), 0);
	EXPECT_EQ(sim_rec().aborts, 1);
	EXPECT_EQ(sim_rec().write_starts, 1);
	EXPECT_EQ(sim_log_count("Retry over"), 0);
	expect_clean_protocol();
}

TEST(KcsRecovery, GivingUpRetriesTheRunWhichRecoversAgain)
{
	// 600 failing aborts: the first run's recovery gives up after 500, the
	// second run's recovery succeeds at its 101st attempt.
	sim_faults f;
	f.error_aborts = 600;
	sim_reset(f);
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, fresh()), 0);
	EXPECT_EQ(sim_rec().aborts, 601);
	EXPECT_EQ(sim_rec().write_starts, 1);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: recover: Retry over\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_write: exit 2\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_write: exit 0\n"), 1);
}

TEST(KcsRecovery, ErrorStateThatNeverClearsEndsAfter501Runs)
{
	sim_faults f;
	f.error_stuck = true;
	sim_reset(f);
	debug = 0;
	kcs_data &d = fresh();
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), 0xFF);
	EXPECT_EQ(sim_rec().aborts, 501 * 500);
	EXPECT_EQ(sim_rec().write_starts, 0) << "never writes into an error state";
	EXPECT_EQ(d.resp_len, 1);
	EXPECT_EQ(sim_rec().deadlocks, 0);
}

TEST(KcsRecovery, RecoverAloneReportsItsOutcome)
{
	sim_faults f;
	f.error_aborts = 2;
	sim_reset(f);
	EXPECT_EQ(recover(), 0);
	EXPECT_EQ(sim_rec().aborts, 3);
	EXPECT_EQ(sim_state(), 0);

	f.error_aborts = -1;
	f.error_stuck = true;
	sim_reset(f);
	EXPECT_EQ(recover(), 1);
	EXPECT_EQ(sim_rec().aborts, 500);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: recover: Retry over\n"), 1);
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
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_write: exit 1\n"), 1);
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
	EXPECT_EQ(sim_now_us(), 501 * WAIT_US);
	EXPECT_EQ(sim_rec().port_writes, 0u) << "nothing written into a full buffer";
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_write: wait_ibf_zero() assert.(wr_wait)\n"), 501);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: wait_ibf_zero: time out.\n"), 501);
	EXPECT_LE(sim_rec().max_watchdog_gap_us, POLL_MS);

	// One wait: 3001 delays, the watchdog touched before, between and after.
	sim_reset(f);
	EXPECT_EQ(wait_obf_one(), -1);
	EXPECT_EQ(sim_now_us(), WAIT_US);
	EXPECT_EQ(sim_rec().watchdog_touches, 1u + 3001 + 1);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: wait_obf_one: time out.\n"), 1);
}

TEST(KcsWrite, SlowBmcJustInsideTheWaitIsServed)
{
	sim_faults f;
	f.ibf_latency_us = 2900 * 1000;
	sim_reset(f);
	kcs_data &d = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, d), 0);
	EXPECT_EQ(d.resp_len, 1);
	EXPECT_EQ(sim_log_count("time out"), 0);
	expect_clean_protocol();
}

TEST(KcsRead, BmcThatNeverAnswersIsAborted)
{
	sim_faults f;
	f.write_after_last = true;
	sim_reset(f);
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, fresh()), 0xFF);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_read: state = 2\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: kcs_read: exit 0.\n"), 1);
	EXPECT_EQ(sim_rec().aborts, 1);
	EXPECT_EQ(sim_state(), 0);
}

TEST(KcsBounds, LengthsThatCouldOverrunTheBuffersAreRefused)
{
	sim_reset();
	kcs_data &d = fresh();
	EXPECT_EQ(run(CLEAR_FLAGS, std::vector<uint8_t>(1023, 0x11), 1, d), 0xC8);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: ERROR code=0xc8, Request data field length limit exceeded.\n"), 1);

	d = fresh();
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1022, d), 0xCA);
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 0xFFFF, d), 0xCA);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
	EXPECT_EQ(d.resp_len, 0xFFFF);
	EXPECT_EQ(d.resp_data[0], 0x5A);
	EXPECT_EQ(sim_rec().deadlocks, 0) << "refusal does not keep the lock";
}

TEST(KcsBounds, LargestAcceptedLengthsStayInside)
{
	// A 1022-byte request makes a 1024-byte frame.
	sim_reset();
	debug = 0;
	std::vector<uint8_t> big(1022);
	for (size_t i = 0; i < big.size(); i++)
		big[i] = (uint8_t)i;
	big[0] = 0xEB;
	ASSERT_EQ(run(CLEAR_FLAGS, big, 1, fresh()), 0);
	ASSERT_EQ(sim_rec().requests.size(), 1u);
	EXPECT_EQ(sim_rec().requests[0].frame.size(), 1024u);
	EXPECT_EQ(sim_rec().requests[0].frame[1023], (uint8_t)1021);

	// Expecting 1021 bytes against an endless answer stores 1024 and stops.
	sim_reset();
	debug = 0;
	sim_fault().extra = 1500;
	kcs_data &d = fresh();
	ASSERT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1021, d), 0);
	EXPECT_EQ(d.resp_len, 1022);
	EXPECT_EQ(d.resp_data[0], 0x00);
	EXPECT_EQ(d.resp_data[1021], (uint8_t)(0xA0 + 1020));
	EXPECT_EQ(d.resp_data[1022], 0x5A);
}

TEST(KcsBounds, NoInterfaceMeansNoPortAccess)
{
	sim_reset();
	KCSBASEADDR = ~(u64)0;
	EXPECT_EQ(run(CLEAR_FLAGS, { 0xEB }, 1, fresh()), 0xFF);
	EXPECT_EQ(sim_rec().port_accesses, 0u);
}

TEST(KcsLog, LevelPrefixIsRecognisedForTheKernelLog)
{
	EXPECT_EQ(panicforkiv_log_level("<6>%s: %s: start ...\n"), 6);
	EXPECT_EQ(panicforkiv_log_level("<3>%s: ERROR code=0x%02x, %s\n"), 3);
	EXPECT_EQ(panicforkiv_log_level("<8>x"), -1);
	EXPECT_EQ(panicforkiv_log_level("<6"), -1);
}

} // namespace
