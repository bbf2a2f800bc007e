// The panic notifier and the machine_kexec probe, armed by a real load on
// the fake kernel, against the simulated BMC.
#include <gtest/gtest.h>

#include "kcs_sim.h"
#include "kernel_fake.h"

extern "C" {
#include "panicforkiv.h"
}

namespace {

const uint8_t SEND_MSG = 0x34;
const char SEND_FAILED[] = "<3>panicforkiv: Sending ipmi message failed.\n";

// Load a first kernel on this machine, then start a fresh log and clock.
void armed(fake_kernel k = fake_kernel())
{
	k.spmi = { spmi_table() };
	fake_reset(k);
	ASSERT_EQ(panicforkiv_load(), 0);
	sim_rec() = sim_record();
}

int panic()
{
	return panicforkiv_panic_handler(nullptr, 0, nullptr);
}

int kexec()
{
	return panicforkiv_machine_kexec_handler(nullptr, nullptr);
}

// Only a crash_loaded answer of exactly 1 leaves everything to the crash
// kernel; any other answer, or none, calls the hook and sends halt.
TEST(PanicNotifier, CrashKernelLoadedOrNot)
{
	struct {
		const char *flag;
		bool reader, ready;
	} cases[] = { { "1\n", true, true }, { "0\n", true, false }, { "", true, false },
		      { "x1\n", true, false }, { "2\n", true, false }, { "11\n", true, false },
		      { "1\n", false, false } };
	for (const auto &c : cases) {
		SCOPED_TRACE(c.flag);
		SCOPED_TRACE(c.reader);
		fake_kernel k;
		k.crash_loaded = c.flag;
		k.crash_reader = c.reader;
		armed(k);
		EXPECT_EQ(panic(), 0);
		EXPECT_EQ(fake_rec().hook_calls, c.ready ? 0 : 1);
		EXPECT_EQ(fake_rec().hook_calls_unsafe, 0);
		EXPECT_EQ(panicforkiv_func != nullptr, c.ready);
		EXPECT_EQ(sim_statuses(), c.ready ? "" : "0b ");
		EXPECT_EQ(panic_called, c.ready ? 0 : 1);
		EXPECT_EQ(sim_log_count(c.ready ? "kdump is ready.\n" : "kdump is not ready.\n"), 1);
		EXPECT_EQ(sim_locks_held(), 0);
		EXPECT_FALSE(sim_irqs_off());      // the state before is restored
		EXPECT_EQ(sim_rec().deadlocks, 0);
		panicforkiv_unload();
		EXPECT_EQ(fake_rec().hook_refs, c.ready ? 0 : 1);  // called, so forgotten, never put
	}
}

// After the first notifier run neither a second run nor the probe calls
// the hook or sends anything again.
TEST(PanicNotifier, SecondRunSendsNothing)
{
	armed();
	panic();
	sim_rec() = sim_record();
	EXPECT_EQ(panic(), 0);
	EXPECT_TRUE(sim_rec().requests.empty());
	EXPECT_EQ(sim_log_count("<6>panicforkiv: tarnex_hook() has already been executed.\n"), 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: panicforkiv_set_status_halt() has already been executed.\n"), 1);
	kexec();
	EXPECT_EQ(fake_rec().hook_calls, 1);
	EXPECT_EQ(fake_rec().stop_requests, 1);
	EXPECT_EQ(sim_log_count("<6>panicforkiv: tarnex_hook() has already been executed.\n"), 2);
	panicforkiv_unload();
}

TEST(PanicNotifier, HookMissingOrFailingStillSendsHalt)
{
	fake_kernel k;
	k.hook_present = false;
	armed(k);
	panic();
	panic();
	EXPECT_EQ(sim_log_count("<3>panicforkiv: symbol_get(tarnex_hook) failed in panic_process.\n"), 2);
	EXPECT_EQ(sim_statuses(), "0b ");
	panicforkiv_unload();

	k = fake_kernel();
	k.hook_result = -5;
	armed(k);
	panic();
	EXPECT_EQ(fake_rec().hook_calls, 1);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: tarnex_hook() failed.\n"), 1);
	EXPECT_EQ(sim_statuses(), "0b ");
	EXPECT_EQ(panicforkiv_func, nullptr);
	panicforkiv_unload();
}

// A busy setter gets five calls 1 ms apart, a message for each and one for
// the outcome; a setter that fails otherwise gets one call.
TEST(PanicNotifier, SetterCalledAgainOnlyWhileBusy)
{
	armed();
	sim_fault().status_busy_tries = -1;
	EXPECT_EQ(panic(), 0);
	EXPECT_EQ(sim_rec().status_tries, 5);
	EXPECT_EQ(sim_log_count(SEND_FAILED), 6);
	EXPECT_EQ(sim_now_us(), 4000u);
	EXPECT_TRUE(sim_rec().requests.empty());
	EXPECT_EQ(panic_called, 1);
	panicforkiv_unload();

	armed();
	sim_fault().fault_cmd = SEND_MSG;
	sim_fault().cc = 0x83;
	sim_fault().cc_only = true;
	EXPECT_EQ(panic(), 0);
	EXPECT_EQ(sim_rec().status_tries, 1);
	EXPECT_EQ(sim_log_count(SEND_FAILED), 1);
	panicforkiv_unload();
}

// The probe asks the other CPUs to stop and gives them up to 1000 ms,
// counting those that did; then the hook, with the lock held and
// interrupts off.
TEST(KexecProbe, WaitsUpToASecondForTheOtherCpus)
{
	struct {
		int cpus;
		std::vector<uint64_t> stop_us;
		const char *outcome;
		uint64_t waited;
	} cases[] = {
		{ 1, {}, "msecs=1000 allbutme=0", 0 },
		{ 4, { 0, 2500, 2500 }, "msecs=997 allbutme=0", 3000 },
		{ 3, { 1000, NEVER }, "timeout allbutme=1", 1000000 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.cpus);
		fake_kernel k;
		k.cpus = c.cpus;
		k.cpu_stop_us = c.stop_us;
		armed(k);
		EXPECT_EQ(kexec(), 0);
		EXPECT_EQ(sim_log_count("<6>xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=" +
					std::to_string(c.cpus - 1) + "\n"), 1);
		EXPECT_EQ(sim_log_count(std::string("<6>xen_smp_send_stop: smp_send_stop ") + c.outcome +
					"\n"), 1) << sim_rec().log;
		EXPECT_EQ(sim_now_us(), c.waited);
		EXPECT_EQ(fake_rec().stop_requests, 1);
		EXPECT_EQ(fake_rec().hook_calls, 1);
		EXPECT_EQ(fake_rec().hook_calls_unsafe, 0);
		EXPECT_EQ(sim_locks_held(), 0);
		EXPECT_TRUE(sim_rec().requests.empty());   // the crash kernel announces itself
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
	EXPECT_EQ(sim_log_count("<4>WARNING: at panic.c:"), 1) << sim_rec().log;
	EXPECT_EQ(sim_log_count(" xen_smp_send_stop()\n"), 1);
	EXPECT_EQ(sim_rec().log.find("<4>WARNING"), 0u);
	EXPECT_EQ(sim_rec().prints, 1);
	EXPECT_EQ(fake_rec().dump_stacks, 1);
	EXPECT_EQ(warned, 2000);
	panicforkiv_unload();
}

// A hook that fails in the probe is not called again by the notifier,
// which still sends halt.
TEST(KexecProbe, FailingHookIsNotCalledAgain)
{
	fake_kernel k;
	k.hook_result = 1;
	armed(k);
	kexec();
	panic();
	EXPECT_EQ(fake_rec().hook_calls, 1);
	EXPECT_EQ(sim_log_count("<3>panicforkiv: tarnex_hook failed.\n"), 1);
	EXPECT_EQ(sim_statuses(), "0b ");       // the notifier still sends halt
	panicforkiv_unload();
}

} // namespace
