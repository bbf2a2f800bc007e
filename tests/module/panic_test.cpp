// The panic notifier and the machine_kexec probe that a real load handed
// to the fake kernel, against the simulated BMC.
#include <gtest/gtest.h>

#include "sim.h"

extern "C" {
#include "ipmi_status.h"
}

namespace {

const char SEND_FAILED[] = "<3>panicforkiv: Sending ipmi message failed.\n";
const char CALLED[] = "<6>panicforkiv: tarnex_hook() has already been executed.\n";

// Load a first kernel on this machine, then start a fresh log and clock.
void armed(fake_kernel k = fake_kernel())
{
	k.spmi = { spmi_table() };
	fake_reset(k);
	ASSERT_EQ(panicforkiv_load(), 0);
	sim_rec() = sim_record();
}

int panic() { return fake_rec().panic_notifier(nullptr, 0, nullptr); }
int kexec() { return fake_rec().kexec_probe(nullptr, nullptr); }

// Only a crash_loaded answer of exactly 1 leaves everything to the crash
// kernel; any other answer, or none, calls the hook and sends halt.
TEST(PanicNotifier, CrashKernelLoadedOrNot)
{
	struct { const char *flag; bool reader, ready; } cases[] = {
		{ "1\n", true, true }, { "0\n", true, false }, { "", true, false },
		{ "x1\n", true, false }, { "11\n", true, false }, { "1\n", false, false },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.flag);
		fake_kernel k;
		k.crash_loaded = c.flag;
		k.crash_reader = c.reader;
		armed(k);
		EXPECT_EQ(panic(), 0);
		EXPECT_EQ(fake_rec().hook_calls, !c.ready);
		EXPECT_EQ(fake_rec().hook_calls_unsafe, 0);
		EXPECT_EQ(sim_statuses(), c.ready ? "" : "0b ");
		EXPECT_EQ(panic_called, !c.ready);
		EXPECT_EQ(sim_log_count(c.ready ? "kdump is ready.\n" : "kdump is not ready.\n"), 1);
		EXPECT_EQ(sim_locks_held(), 0);
		EXPECT_FALSE(sim_irqs_off());      // the state before is restored
		EXPECT_EQ(sim_rec().unbracketed_prints, 0);
		panicforkiv_unload();
		EXPECT_EQ(fake_rec().hook_refs, !c.ready);  // called, so forgotten, never put
	}
}

// The hook and the halt status, once; the status whatever the hook did, a
// busy setter called again for five calls 1 ms apart, a wedged BMC given
// the deadline.
TEST(PanicNotifier, HookAndHaltOnce)
{
	struct {
		const char *what;
		void (*set)(fake_kernel &);
		sim_faults f;
		const char *statuses, *log;
		int tries, failures;
		uint64_t low, high;
	} cases[] = {
		{ "hook missing", [](fake_kernel &k) { k.hook_present = false; }, {}, "0b ",
		  "<3>panicforkiv: symbol_get(tarnex_hook) failed in panic_process.\n", 1, 0, 0, 200000 },
		{ "hook failing", [](fake_kernel &k) { k.hook_result = -5; }, {}, "0b ",
		  "<3>panicforkiv: tarnex_hook() failed.\n", 1, 0, 0, 200000 },
		{ "busy for ever", nullptr, { .status_busy_tries = -1 }, "", "", 5, 6, 4000, 4000 },
		{ "failing", nullptr, { .fault_cmd = 0x34, .cc = 0x83, .cc_only = true }, "0b ", "", 1, 1, 0,
		  200000 },
		{ "wedged", nullptr, { .ibf_stuck = true }, "", "", 1, 1, STATUS_DEADLINE_MS * 1000,
		  STATUS_DEADLINE_MS * 1000 + 100000 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		fake_kernel k;
		if (c.set) c.set(k);
		armed(k);
		sim_fault() = c.f;
		EXPECT_EQ(panic(), 0);
		EXPECT_EQ(sim_statuses(), c.statuses);
		EXPECT_EQ(*c.log ? sim_log_count(c.log) : 1, 1);
		EXPECT_EQ(sim_rec().status_tries, c.tries);
		EXPECT_EQ(sim_log_count(SEND_FAILED), c.failures);
		EXPECT_GE(sim_now_us(), c.low);
		EXPECT_LE(sim_now_us(), c.high);
		EXPECT_EQ(panicforkiv_func, nullptr);
		// A second run and the probe neither call the hook nor send again.
		sim_rec() = sim_record();
		sim_fault() = sim_faults();
		EXPECT_EQ(panic(), 0);
		EXPECT_EQ(kexec(), 0);
		EXPECT_TRUE(sim_rec().requests.empty());
		EXPECT_EQ(sim_log_count(CALLED), k.hook_present ? 2 : 0);
		EXPECT_EQ(sim_log_count("<6>panicforkiv: panicforkiv_set_status_halt() has already "
					"been executed.\n"), 1);
		EXPECT_EQ(fake_rec().hook_calls, k.hook_present);
		panicforkiv_unload();
	}
}

// The probe asks the other CPUs to stop and gives them up to 1000 ms, then
// calls the hook with the lock held and interrupts off; a failing hook is
// not called again by the notifier, which still sends halt.
TEST(KexecProbe, WaitsUpToASecondForTheOtherCpus)
{
	struct { int cpus; std::vector<uint64_t> stop_us; const char *outcome; uint64_t waited; } cases[] = {
		{ 1, {}, "msecs=1000 allbutme=0", 0 },
		{ 4, { 0, 2500, 2500 }, "msecs=997 allbutme=0", 3000 },
		{ 3, { 1000, NEVER }, "timeout allbutme=1", 1000000 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.cpus);
		fake_kernel k;
		k.cpus = c.cpus;
		k.cpu_stop_us = c.stop_us;
		k.hook_result = 1;
		armed(k);
		EXPECT_EQ(kexec(), 0);
		EXPECT_EQ(sim_log_count("<6>xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=" +
					std::to_string(c.cpus - 1) + "\n"), 1);
		EXPECT_EQ(sim_log_count(std::string("<6>xen_smp_send_stop: smp_send_stop ") + c.outcome +
					"\n"), 1) << sim_rec().log;
		EXPECT_EQ(sim_now_us(), c.waited);
		EXPECT_EQ(fake_rec().hook_calls, 1);
		EXPECT_EQ(fake_rec().hook_calls_unsafe, 0);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: tarnex_hook failed.\n"), 1);
		EXPECT_EQ(sim_locks_held(), 0);
		EXPECT_TRUE(sim_rec().requests.empty());   // the crash kernel announces itself
		panic();
		EXPECT_EQ(fake_rec().hook_calls, 1);
		EXPECT_EQ(sim_statuses(), "0b ");
		panicforkiv_unload();
	}
}

TEST(KexecProbe, WarnsOnceInInterruptWhateverDebugSays)
{
	fake_kernel k;
	k.cpus = 2;
	k.cpu_stop_us = { NEVER };
	k.in_hardirq = true;
	armed(k);
	debug = 0;
	kexec();
	kexec();
	EXPECT_EQ(sim_rec().log.find("<4>WARNING: at panic.c:"), 0u) << sim_rec().log;
	EXPECT_EQ(sim_log_count(" xen_smp_send_stop()\n"), 1);
	EXPECT_EQ(sim_rec().prints, 1);
	EXPECT_EQ(fake_rec().dump_stacks, 1);
	EXPECT_EQ(warned, 2000);
	panicforkiv_unload();
}

} // namespace
