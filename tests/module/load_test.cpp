// Module load and unload against the fake kernel: which kernel we are in,
// where the KCS interface is, and what a load arms, creates and undoes.
#include <gtest/gtest.h>

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
	EXPECT_FALSE(fake_rec().probe_registered);
	EXPECT_FALSE(fake_rec().notifier_registered);
	EXPECT_EQ(fake_rec().hook_refs, 0);
	EXPECT_TRUE(fake_rec().proc.empty());
	EXPECT_EQ(fake_rec().bad_unregisters, 0);
	EXPECT_EQ(fake_rec().rmdir_nonempty, 0);
	EXPECT_EQ(fake_rec().pages_taken, fake_rec().pages_freed);
}

TEST(KernelMode, ElfcorehdrStartingAWordMeansTheCrashKernel)
{
	struct { std::string cmdline; int mode; } cases[] = {
		{ "elfcorehdr=0x7f000000 ro\n", 0 }, { "ro elfcorehdr=892M\n", 0 }, { "ro\telfcorehdr=\n", 0 },
		{ "ro xelfcorehdr=892M\n", 1 }, { "ro,elfcorehdr=892M\n", 1 }, { "ro\nelfcorehdr=1\n", 1 },
		{ "ro elfcorehdr 892M\n", 1 }, { "ro ELFCOREHDR=892M\n", 1 },
		{ std::string("ro\0 elfcorehdr=892M\n", 20), 1 },
		// The last position is not searched, eleven characters or fewer not at all.
		{ "elfcorehdr=\n", 0 }, { "a elfcorehdr=", 1 }, { "elfcorehdr=", 1 }, { "", 1 },
	};
	for (const auto &c : cases) {
		fake_reset({ .cmdline_fails = c.cmdline.empty() });   // nothing to search
		fake_k().cmdline = c.cmdline;
		EXPECT_EQ(get_kernel_mode(), 0);
		EXPECT_EQ(kernel_load_mode, c.mode) << c.cmdline;
		EXPECT_EQ(fake_rec().pages_taken + fake_rec().pages_freed, 2);
	}
	EXPECT_EQ(sim_log_count("kernel mode ="), 0) << "the last row: nothing searched, nothing said";
}

std::vector<uint8_t> spmi(uint64_t addr, int at, uint8_t value, size_t size = 65)
{
	std::vector<uint8_t> t = spmi_table(addr);
	t[at] = value;
	t.resize(size);
	return t;
}

std::vector<uint8_t> dmi(uint32_t base, uint8_t modifier, uint8_t irq, int at = 0, uint8_t value = 38)
{
	std::vector<uint8_t> r = dmi_record(base, modifier, irq);
	r[at] = value;
	if (at == 1) r.resize(value);
	return r;
}

// SPMI instances in order, then SMBIOS records: the first KCS interface in
// I/O space gives port and interrupt.
TEST(IpmiInterface, FirstKcsInIoSpaceWins)
{
	struct {
		const char *what;
		bool acpi_off;
		std::vector<std::vector<uint8_t>> spmi, dmi;
		uint64_t base;
		uint32_t irq;
	} cases[] = {
		{ "SPMI with a GSI", false, { spmi(0xCA8, 40, 2) }, { dmi_record() }, 0xCA8, 24 },
		{ "SPMI, SCI only", false, { spmi(0xCA8, 40, 1) }, {}, 0xCA8, 0 },
		{ "SPMI exactly as long as read", false, { spmi(0xCA6, 0, 'S', 60) }, {}, 0xCA6, 0 },
		{ "not KCS, legacy 0, memory, too short: skipped", false,
		  { spmi(0xE4, 36, 4), spmi(0xCA2, 37, 0), spmi(0xCA2, 48, 0), spmi(0xCA2, 0, 'S', 59),
		    spmi_table(0xCA4) }, {}, 0xCA4, 0 },
		{ "SPMI without address: SMBIOS", false, { spmi_table(~0ULL), spmi_table(0xCA4) },
		  { dmi(0xE5, 0, 9) }, 0xE4, 9 },
		{ "ACPI off: SPMI not read", true, { spmi_table(0xCA8) }, { dmi(0xCA3, 0, 5) }, 0xCA2, 5 },
		{ "address LSB from the modifier", true, {}, { dmi(0xCA3, 0x10, 7) }, 0xCA3, 7 },
		{ "spacing 2 is fine", true, {}, { dmi(0xCA3, 0x80, 5) }, 0xCA2, 5 },
		{ "16 bits of an I/O base", true, {}, { dmi(0x12340CA3, 0, 5) }, 0xCA2, 5 },
		{ "16 bytes: I/O whatever bit 0 says, no interrupt", true, {}, { dmi(0xCA2, 0, 5, 1, 16) },
		  0xCA2, 0 },
		{ "17 bytes: modifier, no interrupt", true, {}, { dmi(0xCA3, 0x10, 5, 1, 17) }, 0xCA3, 0 },
		{ "SMIC, memory space and reserved spacing skipped", true, {},
		  { dmi(0xCA3, 0, 5, 4, 2), dmi(0xFED40000, 0, 5), dmi(0xCA3, 0xC0, 5), dmi(0xCA5, 0, 11) },
		  0xCA4, 11 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		fake_reset();
		fake_k().acpi_disabled = c.acpi_off;
		fake_k().spmi = c.spmi;
		fake_k().dmi = c.dmi;
		if (!c.spmi.empty()) fake_k().spmi[0][44] = 20;
		EXPECT_EQ(get_ipmi_interface(), 0);
		EXPECT_EQ(KCSBASEADDR, c.base);
		EXPECT_EQ(KCSIRQ, c.irq);
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
		{ { .acpi_disabled = true, .dmi = { dmi_record() } }, 0, ACPI_OFF },
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
		fake_k().spmi = { spmi_table() };
		debug = 0;
		EXPECT_EQ(panicforkiv_load(), c.code);
		EXPECT_EQ(sim_rec().log, START + c.note + (c.code ? FAILED : DONE));
		EXPECT_TRUE(sim_rec().requests.empty());
		if (c.code) {
			expect_clean();
			continue;
		}
		EXPECT_EQ(kernel_load_mode, 1);
		EXPECT_EQ(KCSIRQ, c.k.acpi_disabled ? 5u : 0u);
		EXPECT_TRUE(fake_rec().probe_registered && fake_rec().notifier_registered);
		EXPECT_EQ(fake_rec().kexec_probe, panicforkiv_machine_kexec_handler);
		EXPECT_EQ(fake_rec().panic_notifier, panicforkiv_panic_handler);
		EXPECT_EQ(fake_rec().hook_refs, c.k.hook_present);
		EXPECT_EQ(get_tarnex_hook_failed, !c.k.hook_present);
		EXPECT_EQ(fake_rec().proc, (std::set<std::string>{ "panicforkiv", "panicforkiv/debug" }));
		sim_rec().log.clear();
		debug = c.k.hook_present;          // the notifier gone before unload: said, and no harm
		fake_rec().notifier_registered = !debug;
		panicforkiv_unload();
		EXPECT_EQ(sim_log_count("<3>panicforkiv: panicforkiv_panic_handler is not registered.\n"), debug);
		EXPECT_EQ(sim_log_count("<6>panicforkiv: ver.1.0.0 removed.\n"), 1);
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
		fake_reset({ .cmdline = CRASH_CMDLINE, .spmi = { spmi_table() } });
		sim_fault() = c.f;
		debug = c.failures > 0;
		ASSERT_EQ(panicforkiv_load(), 0);
		EXPECT_EQ(kernel_load_mode, 0);
		EXPECT_EQ(sim_log_count("<6>panicforkiv: Please wait for a few seconds.\n"
					"<6>panicforkiv: Setting system status to dumping.\n"), 1);
		EXPECT_EQ(fake_rec().slept_ticks, 5 * 250);
		EXPECT_EQ(fake_rec().proc.size(), 3u);
		EXPECT_FALSE(fake_rec().probe_registered || fake_rec().notifier_registered);
		EXPECT_EQ(fake_rec().hook_refs, 0);
		EXPECT_EQ(sim_rec().status_tries, c.tries);
		EXPECT_EQ(sim_statuses(), c.statuses);
		EXPECT_GE(sim_now_us(), c.took);
		EXPECT_LE(sim_now_us(), c.took + 100000);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: Sending ipmi message failed.\n"), c.failures);
		EXPECT_EQ(sim_log_count(DONE), 1);
		sim_reset();
		EXPECT_EQ(fake_rec().proc_write[PANICFORKIV_PROC_MESSAGE](nullptr, "2", 1, nullptr), 1);
		EXPECT_EQ(sim_statuses(), "0b ");
		panicforkiv_unload();
		expect_clean();
	}
}

} // namespace
