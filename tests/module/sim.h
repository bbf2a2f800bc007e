// The module's surroundings in user space: a BMC on the KCS ports 0xCA2/3 with a
// controller at IPMB address 0x24 behind it (bmc_sim.cpp) and a scriptable kernel
// (kernel_fake.cpp).  Busy-waits advance a virtual clock (a port access costs 1 us).
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include "panicforkiv.h"
}

struct sim_faults {
	bool ibf_stuck = false;            // IBF reads 1 forever, nothing is taken
	int error_aborts = -1;             // >= 0: in ERROR_STATE until the (n+1)th abort
	bool idle_after_write_end = false, write_after_last = false;   // no WRITE_STATE
	int fault_cmd = -1, fault_count = -1;   // answers to this command (-1: all), this often:
	int cc = -1;                       // ... carry this code instead of 0,
	bool cc_only = false;              // ... as NetFn, command and code only,
	int trim = 0, extra = 0;           // ... lose bytes at the end or gain some
	int oem_cc = 0;                    // the controller's completion code
	bool wrong_cmd = false, bad_hdr_sum = false, bad_body_sum = false;
	bool mc_silent = false;            // the controller never answers
	bool sms_atn_dead = false, sms_atn_stuck = false;
	int status_busy_tries = 0;         // another setter holds the lock (-1: for ever)
};
const int NEVER_CLEARED = 1 << 30;

struct sim_record {
	std::vector<std::vector<uint8_t>> requests;   // frames the BMC received
	int write_starts = 0, aborts = 0, overruns = 0, deadlocks = 0;
	uint64_t port_accesses = 0, port_access_unmasked = 0, max_watchdog_gap_us = 0;
	std::string irq;                   // lines masked and unmasked: "-0 -5 +5 +0 "
	std::string log;
	int prints = 0, unbracketed_prints = 0, status_tries = 0;
};

enum sim_phase { P_NONE, P_WRITE, P_READ, P_ABORT0, P_ABORT_READ };

// The simulated BMC and CPU: faults, records, clock, state.
struct bmc_sim {
	sim_faults f;
	sim_record rec;
	uint64_t now = 0, ibf_ready = 0, last_touch = 0, pending_at = 0;
	int state = 0, aborts_failing = 0, faulty = 0, locks = 0, line0_masked = 0, bust = 0;
	bool obf = false, ibf = false, in_cmd = false, end_seen = false, irqs_off = false;
	uint8_t out = 0, in = 0;
	sim_phase ph = P_NONE;
	std::vector<uint8_t> rx, tx, queued, pending;   // the controller's answer: received, on its way
	size_t tx_pos = 0;
	std::function<void(uint64_t)> delay_hook;       // after every busy-wait
};
extern bmc_sim sim;

// Resets BMC, clock and records (KCSBASEADDR 0xCA2, KCSIRQ 0, debug 1).
void sim_reset(const sim_faults &f = sim_faults());
std::string sim_statuses();                // machine statuses sent: "0a 0b "
int sim_log_count(const std::string &text);
std::string sim_hex(const std::vector<uint8_t> &bytes);

struct fake_kernel {
	int symbols = 0;                   // result of get_symbols
	bool cmdline_reader = true, cmdline_fails = false, out_of_pages = false;
	std::string cmdline = "BOOT_IMAGE=/boot/vmlinuz-6.1 root=/dev/sda1 ro quiet\n";
	bool acpi_disabled = false;
	std::vector<std::vector<uint8_t>> spmi, dmi;   // SPMI instances, type-38 records
	uint32_t gsi_irq_offset = 4;       // irq = gsi + offset
	bool hook_present = true, crash_reader = true, in_hardirq = false, user_fault = false;
	int hook_result = 0, probe_result = 0, notifier_result = 0, cpus = 1;
	std::string proc_fails, crash_loaded = "0\n";  // proc_fails: "dir", "debug" or "message"
	std::vector<uint64_t> cpu_stop_us; // per other CPU: stops this long after the request
};
const uint64_t NEVER = UINT64_MAX;

struct fake_record {
	int pages_taken = 0, pages_freed = 0;
	int hook_calls = 0, hook_calls_unsafe = 0, hook_refs = 0;
	bool probe_registered = false, notifier_registered = false;
	int bad_unregisters = 0, rmdir_nonempty = 0, dump_stacks = 0;
	std::set<std::string> proc;        // "panicforkiv", "panicforkiv/debug", ...
	// The handlers load handed over.
	int (*kexec_probe)(struct kprobe *, struct pt_regs *) = nullptr;
	int (*panic_notifier)(struct notifier_block *, unsigned long, void *) = nullptr;
	panicforkiv_write_proc_t proc_write[2] = {};
	long slept_ticks = 0;
	unsigned long copied = 0;
};

// Resets the simulator (debug 1), the kernel and the module's state.
void fake_reset(const fake_kernel &k = fake_kernel());
extern fake_kernel kernel;
extern fake_record kernel_rec;
// A 65-byte SPMI table (KCS, legacy 1, I/O at addr) and an 18-byte SMBIOS type-38 KCS
// record, each with byte at set to value (the record's length byte: that many bytes).
std::vector<uint8_t> spmi(uint64_t addr = 0xCA2, int at = 0, uint8_t value = 'S', size_t size = 65);
std::vector<uint8_t> dmi(uint32_t base = 0xCA3, uint8_t modifier = 0, uint8_t irq = 5, int at = 0,
			 uint8_t value = 38);
