// Load, unload, the panic path and the /proc files on the fake kernel and the BMC.
#include <gtest/gtest.h>

#include <tuple>

#include "sim.h"

extern "C" {
#include "ipmi_status.h"
}

namespace {

const std::string START = "<6>panicforkiv: ver.1.0.0 initialize start.\n";
const std::string DONE = "<6>panicforkiv: ver.1.0.0 initialized.\n";
const std::string FAILED = "<3>panicforkiv: ver.1.0.0 initialize failed.\n";
const char CRASH_CMDLINE[] = "BOOT_IMAGE=/boot/vmlinuz-6.1 irqpoll nr_cpus=1 elfcorehdr=892M\n";

// Nothing armed, held, created or leaked.
void expect_clean()
{
	const fake_record &r = kernel_rec;
	EXPECT_EQ(std::tuple(r.probe_registered, r.notifier_registered, r.hook_refs, r.proc.size(),
			     r.bad_unregisters, r.rmdir_nonempty, r.pages_taken - r.pages_freed),
		  std::tuple(false, false, 0, 0u, 0, 0, 0));
}

TEST(KernelMode, ElfcorehdrStartingAWordMeansTheCrashKernel)
{
	struct { std::string cmdline; int mode; } cases[] = {
		{ "elfcorehdr=0x7f000000 ro\n", 0 }, { "ro elfcorehdr=892M\n", 0 }, { "ro\telfcorehdr=\n", 0 },
		{ "ro xelfcorehdr=892M\n", 1 }, { "ro\nelfcorehdr=1\n", 1 }, { "ro ELFCOREHDR=892M\n", 1 },
		{ std::string("ro\0 elfcorehdr=892M\n", 20), 1 },
		// The last position is not searched, eleven characters or fewer not at all.
		{ "elfcorehdr=\n", 0 }, { "a elfcorehdr=", 1 }, { "elfcorehdr=", 1 }, { "", 1 },
	};
	for (const auto &c : cases) {
		fake_reset({ .cmdline_fails = c.cmdline.empty() });   // nothing to search
		kernel.cmdline = c.cmdline;
		EXPECT_EQ(get_kernel_mode(), 0);
		EXPECT_EQ(kernel_load_mode, c.mode) << c.cmdline;
		EXPECT_EQ(kernel_rec.pages_taken + kernel_rec.pages_freed, 2);
	}
	EXPECT_EQ(sim_log_count("kernel mode ="), 0) << "the last row: nothing searched, nothing said";
}

// SPMI instances in order, then SMBIOS records: the first KCS interface in
// I/O space gives port and interrupt.
TEST(IpmiInterface, FirstKcsInIoSpaceWins)
{
	struct { const char *what; fake_kernel k; uint64_t base; uint32_t irq; } cases[] = {
		{ "SPMI with GSI 20", { .spmi = { spmi(0xCA8, 40, 2) }, .dmi = { dmi() } }, 0xCA8, 24 },
		{ "SPMI exactly as long as read", { .spmi = { spmi(0xCA6, 0, 'S', 60) } }, 0xCA6, 0 },
		{ "not KCS, legacy 0, memory, too short: skipped", { .spmi = { spmi(0xE4, 36, 4),
		  spmi(0xCA2, 37, 0), spmi(0xCA2, 48, 0), spmi(0xCA2, 0, 'S', 59), spmi(0xCA4) } },
		  0xCA4, 0 },
		{ "SPMI without address: SMBIOS", { .spmi = { spmi(~0ULL), spmi(0xCA4) },
		  .dmi = { dmi(0xE5, 0, 9) } }, 0xE4, 9 },
		{ "ACPI off: SPMI not read", { .acpi_disabled = true, .dmi = { dmi(0xCA3, 0, 5) } }, 0xCA2, 5 },
		{ "16 bits of an I/O base", { .acpi_disabled = true, .dmi = { dmi(0x12340CA3, 0x80, 5) } },
		  0xCA2, 5 },
		{ "16 bytes: I/O whatever bit 0 says, no interrupt",
		  { .acpi_disabled = true, .dmi = { dmi(0xCA2, 0, 5, 1, 16) } }, 0xCA2, 0 },
		{ "17 bytes: modifier, no interrupt",
		  { .acpi_disabled = true, .dmi = { dmi(0xCA3, 0x10, 5, 1, 17) } }, 0xCA3, 0 },
		{ "SMIC, memory space and reserved spacing skipped", { .acpi_disabled = true, .dmi = {
		  dmi(0xCA3, 0, 5, 4, 2), dmi(0xFED40000, 0, 5), dmi(0xCA3, 0xC0, 5), dmi(0xCA5, 0, 11) } },
		  0xCA4, 11 },
	};
	for (const auto &c : cases) {
		fake_reset(c.k);
		EXPECT_EQ(get_ipmi_interface(), 0) << c.what;
		EXPECT_EQ(KCSBASEADDR, c.base) << c.what;
		EXPECT_EQ(KCSIRQ, c.irq) << c.what;
	}
	EXPECT_EQ(sim_log_count("<6>panicforkiv: DMI("), 2) << "reserved spacing says nothing";
}

// A first kernel with debug 0: the version lines and what went wrong on the
// way; a load that fails leaves nothing behind, one that succeeds arms the
// right handlers, and unload undoes it all.
TEST(Load, FirstKernelArmsOrLeavesNothing)
{
	const char ACPI_OFF[] = "<3>panicforkiv: SPMI: ACPI is disabled.\n";
	struct { fake_kernel k; int code; std::string note; } cases[] = {
		{ {}, 0, "" },
		{ { .hook_present = false }, 0, "<3>panicforkiv: cannot get tarnex_hook symbol.\n" },
		{ { .acpi_disabled = true, .dmi = { dmi() } }, 0, ACPI_OFF },
		{ { .symbols = -ENODEV }, -ENODEV, "" },
		{ { .cmdline_reader = false }, -ENODEV, "" },
		{ { .out_of_pages = true }, -ENODEV, "" },
		{ { .acpi_disabled = true }, -ENODEV, ACPI_OFF +
		  std::string("<3>panicforkiv: IPMI: Could not get IPMI interface.\n") },
		{ { .probe_result = -EINVAL }, -ENODEV,
		  "<3>panicforkiv: registering panicforkiv_handler_kprobe failed.\n" },
		{ { .notifier_result = -EEXIST }, -ENODEV,
		  "<3>panicforkiv: registering panicforkiv_handler_panic_notifier failed.\n" },
		{ { .proc_fails = "dir" }, -EBUSY, "<3>panicforkiv: create /proc/panicforkiv failed\n" },
		{ { .proc_fails = "debug" }, -EBUSY, "<3>panicforkiv: create /proc/panicforkiv/debug failed\n" },
		{ { .cmdline = CRASH_CMDLINE, .proc_fails = "message" }, -EBUSY,
		  "<3>panicforkiv: create /proc/panicforkiv/message failed\n" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.note);
		fake_reset(c.k);
		debug = 0;
		EXPECT_EQ(panicforkiv_load(), c.code);
		EXPECT_EQ(sim.rec.log, START + c.note + (c.code ? FAILED : DONE));
		EXPECT_TRUE(sim.rec.requests.empty());
		if (c.code) {
			expect_clean();
			continue;
		}
		const fake_record &r = kernel_rec;
		EXPECT_EQ(std::tuple(kernel_load_mode, KCSIRQ, r.probe_registered, r.notifier_registered,
				     r.hook_refs, get_tarnex_hook_failed),
			  std::tuple(1, c.k.acpi_disabled ? 5u : 0u, true, true, (int)c.k.hook_present,
				     (int)!c.k.hook_present));
		EXPECT_TRUE(r.kexec_probe == panicforkiv_machine_kexec_handler &&
			    r.panic_notifier == panicforkiv_panic_handler);
		EXPECT_EQ(r.proc, (std::set<std::string>{ "panicforkiv", "panicforkiv/debug" }));
		sim.rec.log.clear();
		panicforkiv_unload();
		EXPECT_EQ(sim.rec.log, "<6>panicforkiv: ver.1.0.0 removed.\n");
		expect_clean();                    // no symbol_put without a get
	}
}

// The crash kernel: both files (the message file the one load handed
// over), nothing of the first kernel's panic path, and after five naps the
// dumping status; a busy setter is called again (five calls, 1 ms apart, a
// message for each and one more), all of it within the deadline.
TEST(Load, CrashKernelCreatesBothFilesAndAnnouncesDumping)
{
	struct { sim_faults f; int tries; const char *statuses; uint64_t took; int failures; } cases[] = {
		{ { .status_busy_tries = 2 }, 3, "0a ", 0, 0 },
		{ { .status_busy_tries = -1 }, 5, "", 4000, 6 },
		{ { .fault_cmd = 0x34, .cc = 0x83 }, 1, "0a ", 0, 1 },
		{ { .ibf_stuck = true, .status_busy_tries = 2 }, 3, "", STATUS_DEADLINE_MS * 1000, 3 },
	};
	for (const auto &c : cases) {
		fake_reset({ .cmdline = CRASH_CMDLINE });
		sim.f = c.f;
		debug = c.failures > 0;
		ASSERT_EQ(panicforkiv_load(), 0);
		const fake_record &r = kernel_rec;
		EXPECT_EQ(std::tuple(kernel_load_mode, r.slept_ticks, r.proc.size(), r.probe_registered,
				     r.notifier_registered, r.hook_refs, sim.rec.status_tries, sim_statuses()),
			  std::tuple(0, 5 * 250L, 3u, false, false, 0, c.tries, std::string(c.statuses)));
		EXPECT_EQ(sim_log_count("<6>panicforkiv: Please wait for a few seconds.\n"
					"<6>panicforkiv: Setting system status to dumping.\n") +
			  sim_log_count(DONE), 2);
		EXPECT_TRUE(sim.now >= c.took && sim.now <= c.took + 100000) << sim.now;
		EXPECT_EQ(sim_log_count("<3>panicforkiv: Sending ipmi message failed.\n"), c.failures);
		sim_reset();
		EXPECT_EQ(kernel_rec.proc_write[PANICFORKIV_PROC_MESSAGE](nullptr, "2", 1, nullptr), 1);
		EXPECT_EQ(sim_statuses(), "0b ");
		char page[PANICFORKIV_PAGE_SIZE];  // read back: the value, no newline, then end of file
		int eof = 0, n = read_proc_file_message(page, nullptr, 0, 4096, &eof, nullptr);
		EXPECT_EQ(std::string(page, n) + "," + std::to_string(eof) + "," +
			  std::to_string(read_proc_file_debug(page, nullptr, 1, 4096, &eof, nullptr)), "2,1,0");
		panicforkiv_unload();
		expect_clean();
	}
}


const char CALLED[] = "<6>panicforkiv: tarnex_hook() has already been executed.\n";
const uint64_t FAST = 200000, DEADLINE = STATUS_DEADLINE_MS * 1000;

void armed(const fake_kernel &k)       // a first kernel loaded, then a fresh log and clock
{
	fake_reset(k);
	ASSERT_EQ(panicforkiv_load(), 0);
	sim.rec = sim_record();
}

int panic() { return kernel_rec.panic_notifier(nullptr, 0, nullptr); }
int kexec() { return kernel_rec.kexec_probe(nullptr, nullptr); }

// Unless the kernel says exactly 1 for a loaded crash kernel, the hook and
// the halt status, once, with the lock held and interrupts off; the status
// whatever the hook did, a busy setter called again for five calls 1 ms
// apart, a wedged BMC given the deadline.  Then neither a second run nor
// the probe calls the hook or sends again.
TEST(PanicNotifier, HookAndHaltOnce)
{
	struct {
		fake_kernel k;
		sim_faults f;
		const char *statuses, *log;
		int tries, failures;
		uint64_t low, high;
	} cases[] = {
		{ { .crash_loaded = "1\n" }, {}, "", "kdump is ready.\n", 0, 0, 0, 0 },
		{ {}, {}, "0b ", "kdump is not ready.\n", 1, 0, 0, FAST },
		{ { .crash_loaded = "11\n" }, {}, "0b ", "kdump is not ready.\n", 1, 0, 0, FAST },
		{ { .crash_reader = false, .crash_loaded = "1\n" }, {}, "0b ", "kdump is not ready.\n", 1, 0,
		  0, FAST },
		{ { .hook_present = false }, {}, "0b ", "symbol_get(tarnex_hook) failed in panic_process.\n",
		  1, 0, 0, FAST },
		{ { .hook_result = -5 }, {}, "0b ", "<3>panicforkiv: tarnex_hook() failed.\n", 1, 0, 0, FAST },
		{ {}, { .status_busy_tries = -1 }, "", "", 5, 6, 4000, 4000 },
		{ {}, { .fault_cmd = 0x34, .cc = 0x83 }, "0b ", "", 1, 1, 0, FAST },
		{ {}, { .ibf_stuck = true }, "", "", 1, 1, DEADLINE, DEADLINE + 100000 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.log);
		armed(c.k);
		sim.f = c.f;
		EXPECT_EQ(panic(), 0);
		bool ready = c.tries == 0, hook = c.k.hook_present;
		EXPECT_EQ(std::tuple(sim_statuses(), *c.log ? sim_log_count(c.log) : 1, sim.rec.status_tries,
				     sim_log_count("<3>panicforkiv: Sending ipmi message failed.\n"), panic_called),
			  std::tuple(std::string(c.statuses), 1, c.tries, c.failures, (int)!ready));
		EXPECT_TRUE(sim.now >= c.low && sim.now <= c.high) << sim.now;
		// Lock released, the interrupt state before restored, every print panic-safe.
		EXPECT_EQ(std::tuple(sim.locks, sim.irqs_off, sim.rec.unbracketed_prints),
			  std::tuple(0, false, 0));
		sim.rec = sim_record();
		sim.f = sim_faults();
		EXPECT_EQ(panic() + kexec(), 0);
		EXPECT_TRUE(sim.rec.requests.empty());
		EXPECT_EQ(sim_log_count(CALLED), hook && !ready ? 2 : 0);
		EXPECT_EQ(sim_log_count("set_status_halt() has already been executed.\n"), !ready);
		EXPECT_EQ(kernel_rec.hook_calls - kernel_rec.hook_calls_unsafe, hook);
		panicforkiv_unload();
		EXPECT_EQ(kernel_rec.hook_refs, hook);    // called, so forgotten, never put
	}
}

// The probe asks the other CPUs to stop and gives them up to 1000 ms, then
// calls the hook; a failing hook is not called again by the notifier,
// which still sends halt.  In a hard interrupt, one warning and stack
// whatever debug says.
TEST(KexecProbe, WaitsUpToASecondForTheOtherCpus)
{
	struct { fake_kernel k; const char *outcome; uint64_t waited; } cases[] = {
		{ { .hook_result = 1 }, "msecs=1000 allbutme=0", 0 },
		{ { .hook_result = 1, .cpus = 4, .cpu_stop_us = { 0, 2500, 2500 } }, "msecs=997 allbutme=0",
		  3000 },
		{ { .hook_result = 1, .cpus = 3, .cpu_stop_us = { 1000, NEVER } }, "timeout allbutme=1",
		  1000000 },
	};
	for (const auto &c : cases) {
		armed(c.k);
		EXPECT_EQ(kexec(), 0);
		EXPECT_EQ(sim_log_count("<6>xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=" +
					std::to_string(c.k.cpus - 1) + "\n"), 1);
		EXPECT_EQ(sim_log_count(std::string("<6>xen_smp_send_stop: smp_send_stop ") + c.outcome +
					"\n"), 1) << sim.rec.log;
		EXPECT_EQ(sim.now, c.waited);
		EXPECT_EQ(kernel_rec.hook_calls - kernel_rec.hook_calls_unsafe, 1);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: tarnex_hook failed.\n"), 1);
		EXPECT_TRUE(sim.rec.requests.empty());   // the crash kernel announces itself
		panic();
		EXPECT_EQ(kernel_rec.hook_calls, 1);
		EXPECT_EQ(sim_statuses(), "0b ");
		panicforkiv_unload();
	}
	armed({ .in_hardirq = true, .cpus = 2, .cpu_stop_us = { NEVER } });
	debug = 0;
	kexec(), kexec();
	EXPECT_EQ(sim.rec.log.find("<4>WARNING: at panic.c:"), 0u) << sim.rec.log;
	EXPECT_EQ(sim_log_count(" xen_smp_send_stop()\n") + sim.rec.prints + kernel_rec.dump_stacks, 3);
	EXPECT_EQ(warned, 2000);
	panicforkiv_unload();
}

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
	fake_kernel k = {};
	int pages = 1;                     // taken, and freed
	bool data = false;                 // the entry has private data
};

const std::string LONG_1 = "1" + std::string(4999, ' ');

const write_case rows[] = {
	{ DEBUG, "1\n", 2, 1, {} }, { DEBUG, "0", 1, 0, {} }, { DEBUG, "-0", 2, 0, {} },
	{ DEBUG, "1abc", 4, 1, {} }, { DEBUG, "2", -EINVAL, 0, {} }, { DEBUG, "-1", -EINVAL, 0, {} },
	{ DEBUG, "", -EINVAL, 0, {} }, { DEBUG, " 1", -EINVAL, 0, {} }, { DEBUG, "+1", -EINVAL, 0, {} },
	// Too large for a long: refused, not wrapped around to 1.
	{ DEBUG, "4294967297", -EINVAL, 0, {} }, { DEBUG, "18446744073709551617", -EINVAL, 0, {} },
	{ DEBUG, "-4294967295", -EINVAL, 0, {} },
	// At most 4095 bytes are taken; the byte after the cut is never read.
	{ DEBUG, LONG_1, 4095, 1, {} }, { DEBUG, std::string(4095, '0') + "1", 4095, 0, {} },
	{ MESSAGE, "1", 1, 1, {}, "0a ", 1 }, { MESSAGE, "2\n", 2, 2, {}, "0b ", 1 },
	{ MESSAGE, LONG_1, 4095, 1, {}, "0a ", 1 },
	{ MESSAGE, "3", -EINVAL, 0, {}, "", 0, true }, { MESSAGE, "x", -EINVAL, 0, {}, "", 0, true },
	// A busy setter gets five calls; the value is kept whatever the outcome.
	{ MESSAGE, "1", -EBUSY, 1, { .status_busy_tries = -1 }, "", 5, true },
	{ MESSAGE, "2", 1, 2, { .status_busy_tries = 4 }, "0b ", 5 },
	{ MESSAGE, "2", -EINVAL, 2, { .fault_cmd = 0x34, .cc = 0x83, .cc_only = true }, "0b ", 1, true },
	// Private data refused before a page is taken; no page; an unreadable
	// buffer (only "message" says so).
	{ DEBUG, "1", -EINVAL, 0, {}, "", 0, false, {}, 0, true },
	{ MESSAGE, "1", -EINVAL, 0, {}, "", 0, false, {}, 0, true },
	{ DEBUG, "1", -ENOMEM, 0, {}, "", 0, false, { .out_of_pages = true }, 0 },
	{ MESSAGE, "1", -ENOMEM, 0, {}, "", 0, false, { .out_of_pages = true }, 0 },
	{ DEBUG, "1", -EFAULT, 0, {}, "", 0, false, { .user_fault = true } },
	{ MESSAGE, "1", -EFAULT, 0, {}, "", 0, true, { .user_fault = true } },
};

class ProcWrite : public testing::TestWithParam<write_case> {};

TEST_P(ProcWrite, Row)
{
	const write_case &c = GetParam();
	fake_reset(c.k);
	sim.f = c.f;
	debug = c.file == MESSAGE;
	int data = 0;
	auto handler = c.file == MESSAGE ? write_proc_file_message : write_proc_file_debug;
	EXPECT_EQ(handler(nullptr, c.text.data(), c.text.size(), c.data ? &data : nullptr), c.result);
	const fake_record &r = kernel_rec;
	EXPECT_EQ(std::tuple(c.file == MESSAGE ? message : debug, r.pages_taken, r.pages_freed, r.copied,
			     sim_statuses(), sim.rec.status_tries),
		  std::tuple(c.value, c.pages, c.pages,
			     c.pages && !c.k.user_fault ? std::min(c.text.size(), 4095u) : 0,
			     std::string(c.statuses), c.tries));
	EXPECT_EQ(c.f.status_busy_tries < 0 ? sim.now : 4000u, 4000u) << "five calls 1 ms apart";
	EXPECT_EQ(sim_log_count(IMPI_FAILED), c.impi_failed);
	if (c.file == MESSAGE && c.tries) {
		EXPECT_EQ(sim_log_count("<6>panicforkiv: write /proc/panicforkiv/message " +
					std::to_string(c.value) + " len = " + std::to_string(c.result) +
					"\n"), 1) << sim.rec.log;
	}
}

INSTANTIATE_TEST_SUITE_P(Table, ProcWrite, testing::ValuesIn(rows));

} // namespace
