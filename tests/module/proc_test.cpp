// /proc/panicforkiv/debug and /proc/panicforkiv/message: one table of
// writes, each followed by the check that every page taken was freed.
#include <gtest/gtest.h>

#include "sim.h"

namespace {

const int DEBUG = 0, MESSAGE = 1;
const char IMPI_FAILED[] = "<3>panicforkiv: Sending impi message failed.\n";

struct write_case {
	int file;
	std::string text;
	int result;
	long value;                        // debug or message afterwards, from 0
	sim_faults f;
	const char *statuses = "";         // machine statuses sent
	int tries = 0;                     // tries of the status lock
	bool impi_failed = false;          // "Sending impi message failed." logged
};

const std::string LONG_1 = "1" + std::string(4999, ' ');

const write_case rows[] = {
	{ DEBUG, "1\n", 2, 1, {} }, { DEBUG, "1", 1, 1, {} }, { DEBUG, "0", 1, 0, {} },
	{ DEBUG, "-0", 2, 0, {} }, { DEBUG, "1abc", 4, 1, {} }, { DEBUG, "01", 2, 1, {} },
	{ DEBUG, "2", -EINVAL, 0, {} }, { DEBUG, "-1", -EINVAL, 0, {} }, { DEBUG, "", -EINVAL, 0, {} },
	{ DEBUG, "-", -EINVAL, 0, {} }, { DEBUG, " 1", -EINVAL, 0, {} }, { DEBUG, "+1", -EINVAL, 0, {} },
	// Too large for a long: refused, not wrapped around to 1.
	{ DEBUG, "4294967297", -EINVAL, 0, {} }, { DEBUG, "18446744073709551617", -EINVAL, 0, {} },
	{ DEBUG, "-4294967295", -EINVAL, 0, {} },
	// At most 4095 bytes are taken; the byte after the cut is never read.
	{ DEBUG, LONG_1, 4095, 1, {} }, { DEBUG, std::string(4095, '0') + "1", 4095, 0, {} },
	{ MESSAGE, "1", 1, 1, {}, "0a ", 1 }, { MESSAGE, "2\n", 2, 2, {}, "0b ", 1 },
	{ MESSAGE, LONG_1, 4095, 1, {}, "0a ", 1 },
	{ MESSAGE, "3", -EINVAL, 0, {}, "", 0, true }, { MESSAGE, "0", -EINVAL, 0, {}, "", 0, true },
	{ MESSAGE, "-1", -EINVAL, 0, {}, "", 0, true }, { MESSAGE, "x", -EINVAL, 0, {}, "", 0, true },
	{ MESSAGE, "4294967297", -EINVAL, 0, {}, "", 0, true },
	// A busy setter gets five calls; the value is kept whatever the outcome.
	{ MESSAGE, "1", -EBUSY, 1, { .status_busy_tries = -1 }, "", 5, true },
	{ MESSAGE, "2", 1, 2, { .status_busy_tries = 4 }, "0b ", 5 },
	{ MESSAGE, "2", -EINVAL, 2, { .fault_cmd = 0x34, .cc = 0x83, .cc_only = true }, "0b ", 1, true },
};

class ProcWrite : public testing::TestWithParam<write_case> {};

TEST_P(ProcWrite, Row)
{
	const write_case &c = GetParam();
	fake_reset();
	sim_fault() = c.f;
	debug = c.file == MESSAGE;
	auto handler = c.file == MESSAGE ? write_proc_file_message : write_proc_file_debug;
	EXPECT_EQ(handler(nullptr, c.text.data(), c.text.size(), nullptr), c.result) << c.text;
	EXPECT_EQ(c.file == MESSAGE ? message : debug, c.value);
	EXPECT_EQ(fake_rec().pages_taken, 1);
	EXPECT_EQ(fake_rec().pages_freed, 1);
	EXPECT_EQ(fake_rec().copied, c.text.size() < 4095 ? c.text.size() : 4095u);
	EXPECT_EQ(sim_statuses(), c.statuses);
	EXPECT_EQ(sim_rec().status_tries, c.tries);
	if (c.f.status_busy_tries < 0) {
		EXPECT_EQ(sim_now_us(), 4000u) << "five calls 1 ms apart";
	}
	EXPECT_EQ(sim_log_count(IMPI_FAILED), c.impi_failed);
	if (c.file == MESSAGE && c.tries) {
		EXPECT_EQ(sim_log_count("<6>panicforkiv: write /proc/panicforkiv/message " +
					std::to_string(c.value) + " len = " + std::to_string(c.result) +
					"\n"), 1) << sim_rec().log;
	}
}

INSTANTIATE_TEST_SUITE_P(Table, ProcWrite, testing::ValuesIn(rows));

// Refused before a page is taken, no page, or an unreadable user buffer:
// nothing changes, every page taken is freed; reads give the value in
// decimal, no newline, and end of file past it.
TEST(ProcFiles, RefusalsFaultsAndReads)
{
	for (auto handler : { write_proc_file_debug, write_proc_file_message }) {
		int data = 0;
		fake_reset();
		EXPECT_EQ(handler(nullptr, "1", 1, &data), -EINVAL);
		fake_k().out_of_pages = true;
		EXPECT_EQ(handler(nullptr, "1", 1, nullptr), -ENOMEM);
		EXPECT_EQ(fake_rec().pages_taken, 0);
		fake_k().out_of_pages = false;
		fake_k().user_fault = true;
		EXPECT_EQ(handler(nullptr, "1", 1, nullptr), -EFAULT);
		EXPECT_EQ(fake_rec().pages_taken + fake_rec().pages_freed, 2);
		EXPECT_EQ(message + sim_rec().requests.size(), 0u);
		EXPECT_EQ(sim_log_count(IMPI_FAILED), handler == write_proc_file_message);
	}
	message = 2;
	sim_rec().log.clear();
	char page[PANICFORKIV_PAGE_SIZE] = "";
	int eof = 0;
	EXPECT_EQ(read_proc_file_debug(page, nullptr, 0, 4096, &eof, nullptr), 1);
	EXPECT_EQ(std::string(page) + std::to_string(eof), "11");
	EXPECT_EQ(read_proc_file_message(page, nullptr, 0, 4096, &eof, nullptr), 1);
	EXPECT_EQ(page[0], '2');
	eof = 0;
	EXPECT_EQ(read_proc_file_message(page, nullptr, 1, 4096, &eof, nullptr) * 10 + eof, 1);
	EXPECT_EQ(sim_rec().log, "<6>panicforkiv: read /proc/panicforkiv/debug 1 len = 1\n"
				 "<6>panicforkiv: read /proc/panicforkiv/message 2 len = 1\n");
}

} // namespace
