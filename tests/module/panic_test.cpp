// The panic notifier and the machine_kexec probe that a real load handed
// to the fake kernel, against the simulated BMC.
#include <gtest/gtest.h>

#include "sim.h"

extern "C" {
#include "ipmi_status.h"
}

namespace {

const char CALLED[] = "<6>panicforkiv: tarnex_hook() has already been executed.\n";
const uint64_t FAST = 200000, DEADLINE = STATUS_DEADLINE_MS * 1000;

// Load a first kernel on this machine, then start a fresh log and clock.
void armed(const fake_kernel &k)
{
	fake_reset(k);
	fake_k().spmi = { spmi_table() };
	ASSERT_EQ(panicforkiv_load(), 0);
	sim_rec() = sim_record();
}

int panic() { return fake_rec().panic_notifier(nullptr, 0, nullptr); }
int kexec() { return fake_rec().kexec_probe(nullptr, nullptr); }

// Unless the kernel says exactly 1 for a loaded crash kernel, the hook and
// the halt status, once, with the lock held and interrupts off; the status
// whatever the hook did, a busy setter called again for five calls 1 ms
// apart, a wedged BMC given the deadline.  Then neither a second run nor
// the probe calls the hook or sends again.
TEST(PanicNotifier, HookAndHaltOnce)
{
	struct {
		const char *crash;
		bool hook;
		int hook_result;
		sim_faults f;
		const char *statuses, *log;
		int tries, failures;
		uint64_t low, high;
	} cases[] = {
		{ "1\n", true, 0, {}, "", "kdump is ready.\n", 0, 0, 0, 0 },
		{ "0\n", true, 0, {}, "0b ", "kdump is not ready.\n", 1, 0, 0, FAST },
		{ "x1\n", true, 0, {}, "0b ", "kdump is not ready.\n", 1, 0, 0, FAST },
		{ "11\n", true, 0, {}, "0b ", "kdump is not ready.\n", 1, 0, 0, FAST },
		{ nullptr, true, 0, {}, "0b ", "kdump is not ready.\n", 1, 0, 0, FAST },
		{ "0\n", false, 0, {}, "0b ", "symbol_get(tarnex_hook) failed in panic_process.\n", 1, 0, 0,
		  FAST },
		{ "0\n", true, -5, {}, "0b ", "<3>panicforkiv: tarnex_hook() failed.\n", 1, 0, 0, FAST },
		{ "0\n", true, 0, { .status_busy_tries = -1 }, "", "", 5, 6, 4000, 4000 },
		{ "0\n", true, 0, { .fault_cmd = 0x34, .cc = 0x83 }, "0b ", "", 1, 1, 0, FAST },
		{ "0\n", true, 0, { .ibf_stuck = true }, "", "", 1, 1, DEADLINE, DEADLINE + 100000 },
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.log);
		fake_kernel k;
		k.crash_reader = c.crash != nullptr;
		k.crash_loaded = c.crash ? c.crash : "1\n";
		k.hook_present = c.hook;
		k.hook_result = c.hook_result;
		armed(k);
		sim_fault() = c.f;
		EXPECT_EQ(panic(), 0);
		EXPECT_EQ(sim_statuses(), c.statuses);
		EXPECT_EQ(*c.log ? sim_log_count(c.log) : 1, 1);
		EXPECT_EQ(sim_rec().status_tries, c.tries);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: Sending ipmi message failed.\n"), c.failures);
		EXPECT_GE(sim_now_us(), c.low);
		EXPECT_LE(sim_now_us(), c.high);
		EXPECT_EQ(sim_locks_held() + sim_rec().unbracketed_prints, 0);
		EXPECT_FALSE(sim_irqs_off());      // the state before is restored
		bool ready = c.tries == 0;
		EXPECT_EQ(panic_called, !ready);
		sim_rec() = sim_record();
		sim_fault() = sim_faults();
		EXPECT_EQ(panic(), 0);
		EXPECT_EQ(kexec(), 0);
		EXPECT_TRUE(sim_rec().requests.empty());
		EXPECT_EQ(sim_log_count(CALLED), c.hook ? 2 - ready * 2 : 0);
		EXPECT_EQ(sim_log_count("set_status_halt() has already been executed.\n"), !ready);
		EXPECT_EQ(fake_rec().hook_calls, c.hook);
		EXPECT_EQ(fake_rec().hook_calls_unsafe, 0);
		panicforkiv_unload();
		EXPECT_EQ(fake_rec().hook_refs, c.hook);   // called, so forgotten, never put
	}
}

// The probe asks the other CPUs to stop and gives them up to 1000 ms, then
// calls the hook; a failing hook is not called again by the notifier,
// which still sends halt.
TEST(KexecProbe, WaitsUpToASecondForTheOtherCpus)
{
	struct { int cpus; std::vector<uint64_t> stop_us; const char *outcome; uint64_t waited; } cases[] = {
		{ 1, {}, "msecs=1000 allbutme=0", 0 },
		{ 4, { 0, 2500, 2500 }, "msecs=997 allbutme=0", 3000 },
		{ 3, { 1000, NEVER }, "timeout allbutme=1", 1000000 },
	};
	for (const auto &c : cases) {
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
		EXPECT_EQ(fake_rec().hook_calls - fake_rec().hook_calls_unsafe, 1);
		EXPECT_EQ(sim_log_count("<3>panicforkiv: tarnex_hook failed.\n"), 1);
		EXPECT_EQ(sim_locks_held(), 0);
		EXPECT_TRUE(sim_rec().requests.empty());   // the crash kernel announces itself
		panic();
		EXPECT_EQ(fake_rec().hook_calls, 1);
		EXPECT_EQ(sim_statuses(), "0b ");
		panicforkiv_unload();
	}
	// In a hard interrupt, one warning and stack whatever debug says.
	fake_kernel k;
	k.cpus = 2;
	k.cpu_stop_us = { NEVER };
	k.in_hardirq = true;
	armed(k);
	debug = 0;
	kexec();
	kexec();
	EXPECT_EQ(sim_rec().log.find("<4>WARNING: at panic.c:"), 0u) << sim_rec().log;
	EXPECT_EQ(sim_log_count(" xen_smp_send_stop()\n") + sim_rec().prints + fake_rec().dump_stacks, 3);
	EXPECT_EQ(warned, 2000);
	panicforkiv_unload();
}

} // namespace
