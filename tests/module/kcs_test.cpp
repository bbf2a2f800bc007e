// kcs_execute against the simulated BMC: one table of exchanges.
#include <gtest/gtest.h>

#include <cstring>

#include "sim.h"

extern "C" {
#include "kcs.h"
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

const char NO_TEXT[] = "Ipmi Error Message is not define.", OEM[] = "Device specific (OEM) "
	"completion codes.", STD[] = "Standard command-specific codes.";
// A bare answer with this code, and the text its row gives.
#define CC(code, text) { #code, { .cc = code, .cc_only = true }, CLEAR, 1, 1, code, 1, 0, text }

const exchange rows[] = {
	// The read stops one byte past the expected length (never before 3 + 1),
	// aborts the rest of a longer answer and copies no more than it should.
	{ "three-byte answer", {}, CLEAR, 1, 1, 0, 1, 0, nullptr },
	{ "nothing expected: limit 3", {}, CLEAR, 1, 0, 0, 1, 0, nullptr },
	{ "four bytes past limit 3", {}, FLAGS, 0, 0, 0, 2, 1, nullptr },
	{ "40 bytes too many", { .fault_count = 1, .extra = 40 }, CLEAR, 1, 1, 0, 2, 1, nullptr },
	{ "largest length", { .fault_count = 1, .extra = 1500 }, CLEAR, 1, 1021, 0, 1022, 1, nullptr },
	{ "largest request", {}, CLEAR, 1022, 1, 0, 1, 0, nullptr },
	// Short answers: truncated whatever code came, two bytes or fewer unspecified.
	{ "one byte short", { .fault_cmd = FLAGS, .trim = 1 }, FLAGS, 0, 2, 0xC6, 2, 0,
	  "Request data truncated." },
	{ "short with a code", { .fault_cmd = FLAGS, .cc = 0xC1, .cc_only = true }, FLAGS, 0, 2, 0xC6,
	  2, 0, "Request data truncated." },
	{ "two bytes", { .trim = 1 }, CLEAR, 1, 1, 0xFF, 1, 0, "Unspecified error." },
	{ "no answer byte", { .trim = 3 }, CLEAR, 1, 1, 0xFF, 1, 0, "Unspecified error." },
	{ "no answer at all", { .write_after_last = true }, CLEAR, 1, 1, 0xFF, 1, 1,
	  "<6>panicforkiv: kcs_read: state = 2\n" },
	{ "IDLE after WRITE_END: one run, last byte kept", { .idle_after_write_end = true }, CLEAR, 1,
	  1, 0xFF, 1, 1, "<3>panicforkiv: kcs_write: not WRITE_STATE...\n" },
	// Each code and the row it falls in, neighbours of the rows included.
	CC(0x01, OEM), CC(0x7E, OEM), CC(0x7F, NO_TEXT), CC(0x80, STD), CC(0xBE, STD),
	CC(0xBF, NO_TEXT), CC(0xD7, NO_TEXT), CC(0xFE, NO_TEXT),
	CC(0xC0, "Node Busy. Command could not be processed because command processing resources "
	   "are temporarily unavailable."),
	CC(0xC1, "Invalid Command. This completion code is used to indicate an unrecognized or "
	   "unsupported command."),
	CC(0xD4, "Cannot execute command due to insufficient privilege level or other securitybased "
	   "restriction (e.g. disabled for 'firmware firewall')."),
	CC(0xD6, "Cannot execute command. Parameter is illegal because command sub-function has been "
	   "disabled or is unavailable (e.g. disabled for 'firmware firewall')."),
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
	SCOPED_TRACE(c.what);
	sim_reset(c.f);
	static kcs_data d;
	memset(&d, 0, sizeof(d));
	memset(d.resp_data, 0x5A, sizeof(d.resp_data));
	std::vector<uint8_t> frame = { 0x18, c.cmd };
	for (int i = 0; i < c.req_len; i++)
		frame.push_back(d.req_data[i] = (uint8_t)(i ? i : 0xEB));
	d.req_len = (u16)c.req_len;
	d.resp_len = (u16)c.resp_len;
	kcs_request r = { 0x06, 0, c.cmd, &d };

	EXPECT_EQ(kcs_execute(&r), c.code);
	EXPECT_EQ(d.resp_len, c.got);
	EXPECT_EQ(d.resp_data[0], c.code ? 0x5A : 0x00);
	EXPECT_EQ(d.resp_data[c.code ? 0 : c.got], 0x5A) << "nothing copied past the answer";
	if (c.f.extra && !c.code) {
		EXPECT_EQ(d.resp_data[c.got - 1], (uint8_t)(0xA0 + c.got - 2));
	}
	std::string line = c.text ? c.text : "";
	if (c.text && c.text[0] != '<') {
		char b[16];
		snprintf(b, sizeof(b), "0x%02x, ", c.code);
		line = "<3>panicforkiv: ERROR code=" + std::string(b) + c.text + "\n";
	}
	EXPECT_EQ(c.text ? sim_log_count(line) : 1, 1) << sim_rec().log;
	EXPECT_EQ(sim_rec().deadlocks + sim_rec().unbracketed_prints, 0);
	if (c.code == 0xC8 || c.code == 0xCA) {
		EXPECT_EQ(sim_rec().port_accesses, 0u);
		return;
	}
	if (c.aborts == WEDGED) {
		EXPECT_EQ(sim_rec().aborts, 501 * 500);
		EXPECT_EQ(sim_rec().write_starts, 0);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: recover: Retry over\n"), 501);
		return;
	}
	EXPECT_EQ(sim_rec().aborts, c.aborts);
	EXPECT_EQ(sim_rec().write_starts, 1);
	EXPECT_EQ(sim_rec().overruns, 0);
	EXPECT_EQ(sim_state(), 0) << "left idle";
	if (c.f.idle_after_write_end) {
		EXPECT_TRUE(sim_rec().requests.empty());
	} else {
		EXPECT_EQ(sim_rec().requests.at(0), frame);
	}
	sim_fault() = sim_faults();        // and the next exchange goes through
	d.req_len = d.resp_len = 1;
	r.cmd = CLEAR;
	EXPECT_EQ(kcs_execute(&r), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, KcsExchange, testing::ValuesIn(rows));

} // namespace
