// A scriptable kernel behind the module's load, panic and /proc logic.
//
// Implements the services of panicforkiv/services.h in user space: symbol
// lookup, command line, pages, ACPI SPMI instances, SMBIOS type-38
// records, the driver's hook, the probe and notifier registrations, /proc
// entries, sleeping, user copies, the crash-kernel flag and other CPUs that
// stop after a set time on the simulator's clock.  Port I/O, delays, locks
// and the log are the BMC simulator's (kcs_sim.h).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

// What the kernel has and does.
struct fake_kernel {
	int symbols = 0;                         // result of get_symbols
	bool cmdline_reader = true;
	std::string cmdline = "BOOT_IMAGE=/boot/vmlinuz-6.1 root=/dev/sda1 ro quiet\n";
	bool cmdline_fails = false;              // the reader answers -1
	bool out_of_pages = false;               // no page can be taken
	bool acpi_disabled = false;
	std::vector<std::vector<uint8_t>> spmi;  // instances 1, 2, ...
	std::vector<std::vector<uint8_t>> dmi;   // type-38 records, in order
	uint32_t gsi_irq_offset = 0;             // irq = gsi + offset
	bool hook_present = true;
	int hook_result = 0;
	int probe_result = 0;
	int notifier_result = 0;
	std::string proc_fails;                  // "dir", "debug" or "message"
	bool crash_reader = true;
	std::string crash_loaded = "0\n";
	int cpus = 1;
	// For each other CPU, microseconds after the stop request until it
	// stops; NEVER keeps it running.
	std::vector<uint64_t> cpu_stop_us;
	bool in_hardirq = false;
	bool user_fault = false;                 // copy_from_user fails
};

const uint64_t NEVER = UINT64_MAX;

// What the module did to it.
struct fake_record {
	int pages_taken = 0, pages_freed = 0;
	int hook_calls = 0;
	int hook_calls_unsafe = 0;               // without the lock or with interrupts on
	int hook_refs = 0;                       // symbol_get minus symbol_put
	bool probe_registered = false, notifier_registered = false;
	int bad_unregisters = 0;
	std::set<std::string> proc;              // "panicforkiv", "panicforkiv/debug", ...
	int rmdir_nonempty = 0;
	long slept_ticks = 0;
	int stop_requests = 0;
	int dump_stacks = 0;
	unsigned long copied = 0;                // bytes taken from the user
};

// Resets the simulator (debug 1) and the kernel, and puts the module's
// state back to what a fresh load finds.
void fake_reset(const fake_kernel &k = fake_kernel());
fake_kernel &fake_k();
fake_record &fake_rec();

// A complete SPMI table: KCS, legacy 1, I/O space, address, no interrupt.
std::vector<uint8_t> spmi_table(uint64_t addr = 0xCA2);
// An 18-byte SMBIOS type-38 KCS record for an I/O base (bit 0 set) and IRQ.
std::vector<uint8_t> dmi_record(uint32_t base = 0xCA3, uint8_t modifier = 0x00, uint8_t irq = 5);
