// Module load and unload against the fake kernel: which kernel we are in,
// where the KCS interface is, and what a load arms, creates and undoes.
#include <gtest/gtest.h>

#include "kcs_sim.h"
#include "kernel_fake.h"

extern "C" {
#include "panicforkiv.h"
}

namespace {

const char START[] = "<6>panicforkiv: ver.1.0.0 initialize start.\n";
const char DONE[] = "<6>panicforkiv: ver.1.0.0 initialized.\n";
const char FAILED[] = "<3>panicforkiv: ver.1.0.0 initialize failed.\n";
const char REMOVED[] = "<6>panicforkiv: ver.1.0.0 removed.\n";
const char CRASH_CMDLINE[] = "BOOT_IMAGE=/boot/vmlinuz-6.1 irqpoll nr_cpus=1 elfcorehdr=892M\n";

// A first kernel with the driver loaded and an SPMI table for port 0xCA2.
fake_kernel good_machine()
{
	fake_kernel k;
	k.spmi = { spmi_table() };
	return k;
}

// Nothing armed, held or created.
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

int mode_of(const std::string &cmdline)
{
	fake_kernel k = good_machine();
	k.cmdline = cmdline;
	fake_reset(k);
	EXPECT_EQ(get_kernel_mode(), 0);
	EXPECT_EQ(fake_rec().pages_taken, 1);
	EXPECT_EQ(fake_rec().pages_freed, 1);
	return kernel_load_mode;
}

TEST(KernelMode, ElfcorehdrStartingAWordMeansTheCrashKernel)
{
	struct {
		std::string cmdline;
		int mode;
	} cases[] = {
		{ "elfcorehdr=0x7f000000 console=ttyS0\n", 0 },
		{ "root=/dev/sda1 elfcorehdr=892M\n", 0 },
		{ "root=/dev/sda1\telfcorehdr=892M\n", 0 },
		{ "root=/dev/sda1 elfcorehdr=\n", 0 },
		{ "root=/dev/sda1 xelfcorehdr=892M\n", 1 },
		{ "root=/dev/sda1,elfcorehdr=892M\n", 1 },
		{ "root=/dev/sda1\nelfcorehdr=892M\n", 1 },
		{ "root=/dev/sda1 elfcorehdr 892M\n", 1 },
		{ "root=/dev/sda1 elfcorehdr:892M\n", 1 },
		{ "root=/dev/sda1 ELFCOREHDR=892M\n", 1 },
		{ std::string("root=/dev/sda1\0 elfcorehdr=892M\n", 32), 1 },
		{ "\n", 1 },
		// The kernel's reader ends the line with a newline, so a key at the
		// very end is found; without it the last position is not searched,
		// and eleven characters or fewer are not searched at all.
		{ "elfcorehdr=\n", 0 },
		{ "a elfcorehdr=", 1 },
		{ "elfcorehdr=", 1 },
	};
	for (const auto &c : cases)
		EXPECT_EQ(mode_of(c.cmdline), c.mode) << c.cmdline;
	EXPECT_EQ(sim_log_count("kernel mode ="), 0) << "the last row: nothing searched, nothing said";

	// A reader that fails leaves nothing to search: first kernel.
	fake_kernel k = good_machine();
	k.cmdline_fails = true;
	fake_reset(k);
	EXPECT_EQ(get_kernel_mode(), 0);
	EXPECT_EQ(kernel_load_mode, 1);
}

// get_ipmi_interface on a machine; the result, with KCSBASEADDR and KCSIRQ.
int interface_of(const fake_kernel &k)
{
	fake_reset(k);
	return get_ipmi_interface();
}

TEST(IpmiInterface, SpmiKcsInstanceGivesPortAndInterrupt)
{
	fake_kernel k;
	k.spmi = { spmi_table(0xCA8) };
	k.spmi[0][40] = 0x02;              // GSI interrupt
	k.spmi[0][44] = 20;
	k.gsi_irq_offset = 4;              // the kernel's line for GSI 20 is 24
	k.dmi = { dmi_record(0xE5, 0, 9) };
	EXPECT_EQ(interface_of(k), 0);
	EXPECT_EQ(KCSBASEADDR, 0xCA8u);
	EXPECT_EQ(KCSIRQ, 24u);

	k.spmi[0][40] = 0x01;              // SCI only: no interrupt line
	EXPECT_EQ(interface_of(k), 0);
	EXPECT_EQ(KCSIRQ, 0u);

	// Instances that are not KCS, have the reserved byte 0, are in memory
	// space or too short are skipped for the next.
	std::vector<uint8_t> bt = spmi_table(0xE4), legacy0 = spmi_table(), memory = spmi_table(),
			     short_table = spmi_table();
	bt[36] = 4;
	legacy0[37] = 0;
	memory[48] = 0;
	short_table.resize(56);
	k.spmi = { bt, legacy0, memory, short_table, spmi_table(0xCA4) };
	EXPECT_EQ(interface_of(k), 0);
	EXPECT_EQ(KCSBASEADDR, 0xCA4u);

	// An instance without an address ends the SPMI search: SMBIOS instead.
	k.spmi = { spmi_table(~0ULL), spmi_table(0xCA4) };
	EXPECT_EQ(interface_of(k), 0);
	EXPECT_EQ(KCSBASEADDR, 0xE4u);
	EXPECT_EQ(KCSIRQ, 9u);
}

TEST(IpmiInterface, SmbiosRecordsAreReadByTheirLengthAndModifier)
{
	std::vector<uint8_t> short16 = dmi_record(0xCA2, 0, 5), odd17 = dmi_record(0xCA3, 0x10, 5),
			     smic = dmi_record(0xCA3);
	short16.resize(16);
	short16[1] = 16;
	odd17.resize(17);
	odd17[1] = 17;
	smic[4] = 2;
	struct {
		const char *what;
		std::vector<std::vector<uint8_t>> recs;
		uint64_t base;
		uint32_t irq;
	} cases[] = {
		{ "I/O bit", { dmi_record(0xCA3, 0x00, 5) }, 0xCA2, 5 },
		{ "address LSB from the modifier", { dmi_record(0xCA3, 0x10, 7) }, 0xCA3, 7 },
		{ "spacing 1 and 2 are fine", { dmi_record(0xCA3, 0x80, 5) }, 0xCA2, 5 },
		{ "only 16 bits of an I/O base", { dmi_record(0x12340CA3, 0, 5) }, 0xCA2, 5 },
		{ "short record: I/O whatever bit 0 says, no interrupt", { short16 }, 0xCA2, 0 },
		{ "17 bytes: modifier, no interrupt byte", { odd17 }, 0xCA3, 0 },
		{ "SMIC, memory space and reserved spacing skipped",
		  { smic, dmi_record(0xFED40000, 0, 5), dmi_record(0xCA3, 0xC0, 5),
		    dmi_record(0xCA5, 0, 11) }, 0xCA4, 11 },
	};
	for (const auto &c : cases) {
		fake_kernel k;
		k.acpi_disabled = true;
		k.dmi = c.recs;
		EXPECT_EQ(interface_of(k), 0) << c.what;
		EXPECT_EQ(KCSBASEADDR, c.base) << c.what;
		EXPECT_EQ(KCSIRQ, c.irq) << c.what;
		if (c.recs.size() > 1) {           // reserved spacing says nothing
			EXPECT_EQ(sim_log_count("): IPMI interface is not KCS type\n"), 1);
			EXPECT_EQ(sim_log_count("): IPMI interface do not use I/O ports\n"), 1);
			EXPECT_EQ(sim_log_count("<6>panicforkiv: DMI("), 2);
		}
	}
}

TEST(IpmiInterface, NoKcsAnywhereFailsTheLoad)
{
	fake_kernel k;
	std::vector<uint8_t> smic = dmi_record(0xCA3);
	smic[4] = 2;
	k.dmi = { smic };
	fake_reset(k);
	EXPECT_EQ(panicforkiv_load(), -ENODEV);
	EXPECT_EQ(KCSBASEADDR, ~0ULL);
	const std::string &log = sim_rec().log;
	size_t dmi = log.find("<4>panicforkiv: DMI: Could not get DMI table with SMBIOS\n");
	size_t none = log.find("<3>panicforkiv: IPMI: Could not get IPMI interface.\n");
	size_t failed = log.find(FAILED);
	ASSERT_NE(none, std::string::npos) << log;
	EXPECT_LT(dmi, none);
	EXPECT_LT(none, failed);
	expect_clean();
}

// A first kernel with debug 0: the two version lines and what went wrong
// on the way, everything armed; unload undoes it all.
TEST(Load, FirstKernelArmsAndUnloadUndoesIt)
{
	struct {
		const char *what;
		void (*set)(fake_kernel &);
		const char *note;
		uint32_t irq;
	} cases[] = {
		{ "good", [](fake_kernel &) {}, "", 0 },
		{ "without the driver", [](fake_kernel &k) { k.hook_present = false; },
		  "<3>panicforkiv: cannot get tarnex_hook symbol.\n", 0 },
		{ "ACPI disabled", [](fake_kernel &k) {
			  k.acpi_disabled = true;
			  k.spmi = { spmi_table(0xCA8) };   // not looked at
			  k.dmi = { dmi_record(0xCA3, 0, 5) };
		  }, "<3>panicforkiv: SPMI: ACPI is disabled.\n", 5 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		fake_kernel k = good_machine();
		c.set(k);
		fake_reset(k);
		debug = 0;
		ASSERT_EQ(panicforkiv_load(), 0);
		EXPECT_EQ(sim_rec().log, START + std::string(c.note) + DONE);
		EXPECT_EQ(kernel_load_mode, 1);
		EXPECT_EQ(KCSBASEADDR, 0xCA2u);
		EXPECT_EQ(KCSIRQ, c.irq);
		EXPECT_TRUE(fake_rec().probe_registered);
		EXPECT_TRUE(fake_rec().notifier_registered);
		EXPECT_EQ(fake_rec().hook_refs, k.hook_present ? 1 : 0);
		EXPECT_EQ(panicforkiv_func != nullptr, k.hook_present);
		EXPECT_EQ(get_tarnex_hook_failed, k.hook_present ? 0 : 1);
		EXPECT_EQ(fake_rec().proc, (std::set<std::string>{ "panicforkiv", "panicforkiv/debug" }));
		EXPECT_TRUE(sim_rec().requests.empty());

		sim_rec().log.clear();
		panicforkiv_unload();
		EXPECT_EQ(sim_rec().log, REMOVED);
		EXPECT_EQ(panicforkiv_func, nullptr);
		expect_clean();                    // no symbol_put without a get
	}
}

TEST(Load, EveryFailureUndoesWhatWasDone)
{
	struct {
		const char *what;
		void (*set)(fake_kernel &);
		int code;
		const char *message;
	} cases[] = {
		{ "symbols", [](fake_kernel &k) { k.symbols = -ENODEV; }, -ENODEV, nullptr },
		{ "cmdline", [](fake_kernel &k) { k.cmdline_reader = false; }, -ENODEV, nullptr },
		{ "page", [](fake_kernel &k) { k.out_of_pages = true; }, -ENODEV, nullptr },
		{ "probe", [](fake_kernel &k) { k.probe_result = -EINVAL; }, -ENODEV,
		  "<3>panicforkiv: registering panicforkiv_handler_kprobe failed.\n" },
		{ "notifier", [](fake_kernel &k) { k.notifier_result = -EEXIST; }, -ENODEV,
		  "<3>panicforkiv: registering panicforkiv_handler_panic_notifier failed.\n" },
		{ "proc dir", [](fake_kernel &k) { k.proc_fails = "dir"; }, -EBUSY,
		  "<3>panicforkiv: create /proc/panicforkiv failed\n" },
		{ "debug file", [](fake_kernel &k) { k.proc_fails = "debug"; }, -EBUSY,
		  "<3>panicforkiv: create /proc/panicforkiv/debug failed\n" },
		{ "message file", [](fake_kernel &k) { k.proc_fails = "message"; k.cmdline = CRASH_CMDLINE; },
		  -EBUSY, "<3>panicforkiv: create /proc/panicforkiv/message failed\n" },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		fake_kernel k = good_machine();
		c.set(k);
		fake_reset(k);
		debug = 0;
		EXPECT_EQ(panicforkiv_load(), c.code);
		std::string expected = START;
		if (c.message)
			expected += c.message;
		EXPECT_EQ(sim_rec().log, expected + FAILED);
		expect_clean();
		EXPECT_TRUE(sim_rec().requests.empty());
	}
}

// The crash kernel: both files, nothing of the first kernel's panic path,
// and after five naps the dumping status, the setter called again while
// it is busy.
TEST(Load, CrashKernelCreatesBothFilesAndAnnouncesDumping)
{
	fake_kernel k = good_machine();
	k.cmdline = CRASH_CMDLINE;
	fake_reset(k);
	sim_fault().status_busy_tries = 2;
	debug = 0;
	ASSERT_EQ(panicforkiv_load(), 0);
	EXPECT_EQ(kernel_load_mode, 0);
	EXPECT_EQ(sim_rec().log, std::string(START) +
		  "<6>panicforkiv: Please wait for a few seconds.\n"
		  "<6>panicforkiv: Setting system status to dumping.\n" + DONE);
	EXPECT_EQ(fake_rec().slept_ticks, 5 * 250);
	EXPECT_EQ(fake_rec().proc, (std::set<std::string>{ "panicforkiv", "panicforkiv/debug",
							     "panicforkiv/message" }));
	EXPECT_FALSE(fake_rec().probe_registered);
	EXPECT_FALSE(fake_rec().notifier_registered);
	EXPECT_EQ(fake_rec().hook_refs, 0);
	EXPECT_EQ(sim_rec().status_tries, 3);
	EXPECT_EQ(sim_statuses(), "0a ");
	panicforkiv_unload();
	expect_clean();

	// Busy for ever: five calls 1 ms apart, a message for each and one more.
	fake_reset(k);
	sim_fault().status_busy_tries = -1;
	ASSERT_EQ(panicforkiv_load(), 0);
	EXPECT_EQ(sim_rec().status_tries, 5);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: Sending ipmi message failed.\n"), 6);
	EXPECT_EQ(sim_now_us(), 4000u);
	EXPECT_TRUE(sim_rec().requests.empty());
	panicforkiv_unload();

	// Failing otherwise: one call.
	fake_reset(k);
	sim_fault().fault_cmd = 0x34;
	sim_fault().cc = 0x83;
	ASSERT_EQ(panicforkiv_load(), 0);
	EXPECT_EQ(sim_rec().status_tries, 1);
	panicforkiv_unload();
}

TEST(Unload, GoesOnWhenTheNotifierWasNotOnTheChain)
{
	fake_reset(good_machine());
	ASSERT_EQ(panicforkiv_load(), 0);
	fake_rec().notifier_registered = false;
	panicforkiv_unload();
	EXPECT_EQ(sim_log_count("<3>panicforkiv: panicforkiv_panic_handler is not registered.\n"), 1);
	EXPECT_EQ(sim_log_count(REMOVED), 1);
	expect_clean();
}

} // namespace
