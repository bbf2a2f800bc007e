// How long a halt-status call can take, per fault of the BMC, on the
// simulator's clock.  Each row runs panicforkiv_set_status_halt() once
// against the fault, with debug 0, and checks the result code, the time
// against the term that dominates it, and that nothing was printed; the
// table is printed for the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "kcs_sim.h"

extern "C" {
#include "panicforkiv.h"
#include "ipmi_status.h"
}

namespace {

const uint64_t MS = 1000, S = 1000 * MS;
const uint64_t POLL = MS + 1;             // one delay and one status read
const uint64_t WAIT = 3001 * POLL;        // one polling wait that runs out
const uint64_t ABORT = 2 * POLL;          // one abort the BMC takes but ignores

struct row {
	const char *fault;
	std::function<void(sim_faults &)> set;
	int code;                          // expected result
	uint64_t low, high;                // expected time window, microseconds
};

// A healthy exchange costs a few ms on this clock: each byte written waits
// one 1 ms poll for the BMC to take it.
const uint64_t SLACK = 200 * MS;

// A window around the dominating term x.
#define ABOUT(x) (x), (x) + (x) / 100 + SLACK

std::vector<row> rows()
{
	return {
		{ "none (healthy BMC and controller)", [](sim_faults &) {}, 0, 0, SLACK },
		{ "IBF never clears", [](sim_faults &f) { f.ibf_stuck = true; }, 0xFF,
		  ABOUT(501 * WAIT) },
		{ "ERROR_STATE that recovery cannot clear", [](sim_faults &f) { f.error_stuck = true; },
		  0xFF, ABOUT(501 * 500 * ABORT) },
		{ "ERROR_STATE cleared after 1 abort", [](sim_faults &f) { f.error_aborts = 1; },
		  0, 0, SLACK },
		{ "ERROR_STATE cleared after 600 aborts", [](sim_faults &f) { f.error_aborts = 600; },
		  0, ABOUT(600 * ABORT) },
		{ "ERROR_STATE cleared after 250499 aborts (last chance)",
		  [](sim_faults &f) { f.error_aborts = 501 * 500 - 1; }, 0, ABOUT(501 * 500 * ABORT) },
		{ "IDLE right after WRITE_END", [](sim_faults &f) { f.idle_after_write_end = true; },
		  0xFF, 0, SLACK },
		{ "short answer, 2 bytes (Clear Message Flags)",
		  [](sim_faults &f) { f.fault_cmd = 0x30; f.trim = 1; }, 0xFF, 0, SLACK },
		{ "short answer, 1 byte short (Get Message)",
		  [](sim_faults &f) { f.fault_cmd = 0x33; f.trim = 1; }, 0xC6, 0, SLACK },
		{ "over-long answers (every answer +8 bytes)", [](sim_faults &f) { f.extra = 8; },
		  0, 0, SLACK },
		{ "completion code 0xC0 (Clear Message Flags)",
		  [](sim_faults &f) { f.fault_cmd = 0x30; f.cc = 0xC0; f.cc_only = true; }, 0xC0, 0, SLACK },
		{ "completion code 0x83 (Send Message)",
		  [](sim_faults &f) { f.fault_cmd = 0x34; f.cc = 0x83; f.cc_only = true; }, 0x83, 0, SLACK },
		{ "completion code 0xC0 on every Get Message Flags",
		  [](sim_faults &f) { f.fault_cmd = 0x31; f.cc = 0xC0; }, 0xFF, 0, 10 * S },
		{ "completion code 0xC0 on every Get Message Flags, SMS_ATN never raised",
		  [](sim_faults &f) { f.fault_cmd = 0x31; f.cc = 0xC0; f.sms_atn_dead = true; }, 0xFF,
		  ABOUT(500 * WAIT) },
		{ "completion code 0xC0 (Get Message, full length)",
		  [](sim_faults &f) { f.fault_cmd = 0x33; f.cc = 0xC0; }, 0xC0, 0, SLACK },
		{ "nonzero OEM code 0xC1 from the controller", [](sim_faults &f) { f.oem_cc = 0xC1; },
		  0, 0, SLACK },
		{ "wrong command byte in the answer", [](sim_faults &f) { f.wrong_cmd = true; },
		  0xFF, 0, SLACK },
		{ "bad header checksum in the answer", [](sim_faults &f) { f.bad_hdr_sum = true; },
		  0xFF, 0, SLACK },
		{ "bad body checksum in the answer", [](sim_faults &f) { f.bad_body_sum = true; },
		  0xFF, 0, SLACK },
		{ "receive flag never set (SMS_ATN never raised either)",
		  [](sim_faults &f) { f.mc_silent = true; }, 0xFF,
		  ABOUT(500 * (WAIT + MS)) },
		{ "receive flag never set, SMS_ATN stuck on",
		  [](sim_faults &f) { f.mc_silent = true; f.sms_atn_stuck = true; }, 0xFF,
		  500 * MS, 10 * S },
		{ "SMS_ATN never raised", [](sim_faults &f) { f.sms_atn_dead = true; }, 0,
		  ABOUT(WAIT) },
	};
}

std::string seconds(uint64_t us)
{
	char b[64];
	snprintf(b, sizeof(b), "%.3f s", (double)us / S);
	return b;
}

uint64_t time_halt(const std::function<void(sim_faults &)> &set, int *code)
{
	sim_faults f;
	set(f);
	sim_reset(f);
	debug = 0;
	*code = panicforkiv_set_status_halt();
	return sim_now_us();
}

TEST(FaultTimes, HaltCallPerFault)
{
	std::string table = "| fault | result | worst-case time |\n|---|---|---|\n";
	for (const row &r : rows()) {
		int code;
		uint64_t t = time_halt(r.set, &code);
		EXPECT_EQ(code, r.code) << r.fault;
		EXPECT_GE(t, r.low) << r.fault;
		EXPECT_LE(t, r.high) << r.fault;
		EXPECT_LE(sim_rec().max_watchdog_gap_us, MS + 50) << r.fault;
		EXPECT_EQ(sim_rec().deadlocks, 0) << r.fault;
		EXPECT_EQ(sim_rec().overruns, 0) << r.fault;
		EXPECT_EQ(sim_rec().prints + sim_rec().bust_on + sim_rec().bust_off, 0) << r.fault;
		char c[16];
		snprintf(c, sizeof(c), code < 0 ? "%d" : "0x%02X", code);
		table += "| " + std::string(r.fault) + " | " + c + " | " + seconds(t) + " |\n";
	}
	printf("%s", table.c_str());
}

// 501 write runs, each with 500 recovery attempts that each wait 3 s for IBF:
// about 8.7 days of panic time.  Some 750 million polling steps to simulate,
// so it runs only when asked for.
TEST(FaultTimes, IbfStuckWhileShowingErrorState)
{
	if (!getenv("PANICFORKIV_LONG_FAULTS"))
		GTEST_SKIP() << "set PANICFORKIV_LONG_FAULTS=1 to run";
	int code;
	uint64_t t = time_halt([](sim_faults &f) { f.ibf_stuck = true; f.error_stuck = true; }, &code);
	EXPECT_EQ(code, 0xFF);
	EXPECT_GE(t, 501ull * 500 * WAIT);
	EXPECT_LE(t, 501ull * 500 * WAIT * 101 / 100);
	EXPECT_LE(sim_rec().max_watchdog_gap_us, MS + 50);
	printf("| IBF never clears, ERROR_STATE shown | 0x%02X | %s |\n", code, seconds(t).c_str());
}

} // namespace
