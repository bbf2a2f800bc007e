// /proc/panicforkiv/debug and /proc/panicforkiv/message: the handlers'
// parse rules and results, with the status setters on the simulated BMC.
#include <gtest/gtest.h>

#include "kcs_sim.h"
#include "kernel_fake.h"

extern "C" {
#include "panicforkiv.h"
}

namespace {

const uint8_t SEND_MSG = 0x34;
const char IMPI_FAILED[] = "<3>panicforkiv: Sending impi message failed.\n";

int write_debug(const std::string &text)
{
	return write_proc_file_debug(nullptr, text.data(), text.size(), nullptr);
}

int write_message(const std::string &text)
{
	return write_proc_file_message(nullptr, text.data(), text.size(), nullptr);
}

// What a read of "message" at offset off gives: the text, or "EOF".
std::string read_message(long off = 0)
{
	char page[PANICFORKIV_PAGE_SIZE] = "";
	int eof = 0;
	int n = read_proc_file_message(page, nullptr, off, 4096, &eof, nullptr);
	EXPECT_EQ(eof, 1);
	return n == 0 ? "EOF" : std::string(page, n);
}

TEST(ProcDebug, TakesZeroOrOneOnly)
{
	struct {
		std::string text;
		int result;
		long value;                // debug afterwards, from 0
	} cases[] = {
		{ "1\n", 2, 1 },
		{ "1", 1, 1 },
		{ "0", 1, 0 },
		{ "-0", 2, 0 },
		{ "1abc", 4, 1 },
		{ "01", 2, 1 },
		{ "2", -EINVAL, 0 },
		{ "-1", -EINVAL, 0 },
		{ "", -EINVAL, 0 },
		{ "-", -EINVAL, 0 },
		{ " 1", -EINVAL, 0 },
		{ "+1", -EINVAL, 0 },
		// Numbers too large for a long are refused, not wrapped around to 1.
		{ "4294967297", -EINVAL, 0 },
		{ "18446744073709551617", -EINVAL, 0 },
		{ "-4294967295", -EINVAL, 0 },
	};
	for (const auto &c : cases) {
		fake_reset();
		debug = 0;
		EXPECT_EQ(write_debug(c.text), c.result) << c.text;
		EXPECT_EQ(debug, c.value) << c.text;
		EXPECT_EQ(fake_rec().pages_taken, 1);
		EXPECT_EQ(fake_rec().pages_freed, 1);
	}
}

// A write is cut at 4095 bytes: no more is taken from the user, and the
// byte after the cut is never read.
TEST(ProcWrite, UsesAtMost4095Bytes)
{
	fake_reset();
	debug = 0;
	EXPECT_EQ(write_debug("1" + std::string(4999, ' ')), 4095);
	EXPECT_EQ(fake_rec().copied, 4095u);
	EXPECT_EQ(debug, 1);
	EXPECT_EQ(write_debug(std::string(4095, '0') + "1"), 4095);
	EXPECT_EQ(debug, 0);

	fake_reset();
	EXPECT_EQ(write_message("1" + std::string(4999, '\n')), 4095);
	EXPECT_EQ(fake_rec().copied, 4095u);
	EXPECT_EQ(sim_statuses(), "0a ");
}

TEST(ProcWrite, RefusalsAndFailures)
{
	for (auto writer : { write_proc_file_debug, write_proc_file_message }) {
		fake_reset();
		debug = 0;
		int data = 0;
		EXPECT_EQ(writer(nullptr, "1", 1, &data), -EINVAL);
		EXPECT_EQ(fake_rec().pages_taken, 0);   // refused before anything else

		fake_k().out_of_pages = true;
		EXPECT_EQ(writer(nullptr, "1", 1, nullptr), -ENOMEM);

		fake_reset();
		debug = 1;
		fake_k().user_fault = true;
		EXPECT_EQ(writer(nullptr, "1", 1, nullptr), -EFAULT);
		EXPECT_EQ(fake_rec().pages_taken, 1);
		EXPECT_EQ(fake_rec().pages_freed, 1);
		EXPECT_EQ(message, 0);
		EXPECT_TRUE(sim_rec().requests.empty());
		// Only "message" reports the fault.
		EXPECT_EQ(sim_log_count(IMPI_FAILED), writer == write_proc_file_message ? 1 : 0);
	}
}

TEST(ProcMessage, OneSendsDumpingOtherValuesChangeNothing)
{
	fake_reset();
	EXPECT_EQ(read_message(), "0");
	EXPECT_EQ(write_message("1"), 1);
	EXPECT_EQ(sim_statuses(), "0a ");
	EXPECT_EQ(read_message(), "1");
	EXPECT_EQ(read_message(1), "EOF");
	for (const char *text : { "3", "0", "-1", "", "x", "4294967297" }) {
		EXPECT_EQ(write_message(text), -EINVAL) << text;
		EXPECT_EQ(read_message(), "1");
	}
	EXPECT_EQ(sim_statuses(), "0a ");
	EXPECT_EQ(sim_log_count(IMPI_FAILED), 6);
}

TEST(ProcMessage, BusyAndFailingSetters)
{
	fake_reset();
	sim_fault().status_busy_tries = -1;
	EXPECT_EQ(write_message("1"), -EBUSY);
	EXPECT_EQ(sim_rec().status_tries, 5);
	EXPECT_EQ(sim_now_us(), 4000u);
	EXPECT_EQ(message, 1);              // kept although nothing was sent
	EXPECT_EQ(sim_log_count(IMPI_FAILED), 1);

	fake_reset();
	sim_fault().status_busy_tries = 4;
	EXPECT_EQ(write_message("2"), 1);
	EXPECT_EQ(sim_rec().status_tries, 5);
	EXPECT_EQ(sim_statuses(), "0b ");

	fake_reset();
	sim_fault().fault_cmd = SEND_MSG;
	sim_fault().cc = 0x83;
	sim_fault().cc_only = true;
	EXPECT_EQ(write_message("2"), -EINVAL);
	EXPECT_EQ(sim_rec().status_tries, 1);
	EXPECT_EQ(message, 2);
}

} // namespace
