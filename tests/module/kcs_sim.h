// BMC simulator behind the module's platform layer.
//
// Models the BMC side of an IPMI KCS system interface at the I/O ports
// 0xCA2/0xCA3: status register (state, IBF, OBF, SMS_ATN), the write, read
// and error-exit transfers, the receive message queue and message flags,
// and a management controller at IPMB address 0x24 that answers the OEM
// request NetFn 0x30 command 0x4B.  The module's busy-waits advance a
// virtual clock, so worst-case durations are measured without waiting.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the simulated hardware does wrong.
struct sim_faults {
	bool ibf_stuck = false;            // IBF reads 1 forever, nothing is taken
	bool error_stuck = false;          // in ERROR_STATE, no abort clears it
	int error_aborts = -1;             // >= 0: starts in ERROR_STATE, the
					   // (n+1)th GET_STATUS/ABORT clears it
	bool idle_after_write_end = false; // goes IDLE on WRITE_END
	bool write_after_last = false;     // stays in WRITE_STATE after the last byte

	// Faults of the BMC's answers, for one App command or all (-1).
	int fault_cmd = -1;
	int cc = -1;                       // completion code answered instead of 0
	bool cc_only = false;              // ... as a bare NetFn/cmd/code answer
	int trim = 0;                      // bytes cut off the end of the answer
	int extra = 0;                     // bytes added to the end of the answer
	int fault_count = -1;              // faulty answers before good ones (-1: all)

	// The management controller at 0x24.
	int oem_cc = 0x00;                 // its completion code for 0x4B
	bool wrong_cmd = false;            // answers with another command byte
	bool bad_hdr_sum = false;          // header checksum of its answer off
	bool bad_body_sum = false;         // body checksum of its answer off
	bool mc_silent = false;            // never answers: receive flag never set
	bool sms_atn_dead = false;         // SMS_ATN never raised
	bool sms_atn_stuck = false;        // SMS_ATN always raised

	// Timing, in microseconds of the virtual clock.
	uint64_t ibf_latency_us = 20;      // BMC takes a byte this long after a write
	uint64_t ipmb_delay_us = 3000;     // controller's answer reaches the queue
	uint64_t io_cost_us = 1;           // one port access

	// Another status setter holds the machine-status lock for this many
	// tries (-1: for ever).
	int status_busy_tries = 0;
};

// One complete request the BMC received.
struct sim_request {
	std::vector<uint8_t> frame;        // NetFn/LUN, cmd, data
	uint64_t at_us;
};

// Everything the tests look at after a run.
struct sim_record {
	std::vector<sim_request> requests;
	int mc_requests = 0;
	int write_starts = 0;
	int write_ends = 0;
	int aborts = 0;                    // GET_STATUS/ABORT commands taken
	int frame_bytes = 0;               // data bytes of the last write phase
	int overruns = 0;                  // a byte written while IBF was set
	int stray_ports = 0;               // access to a port that is not KCS
	uint64_t port_accesses = 0;
	uint64_t port_writes = 0;
	uint64_t port_access_unmasked = 0; // while interrupt line 0 was not masked
	uint64_t max_watchdog_gap_us = 0;
	int deadlocks = 0;                 // spin lock taken while held
	std::string irq;                   // lines masked and unmasked: "-0 -5 +5 +0 "
	std::string log;                   // everything printed
	int prints = 0;
	int unbracketed_prints = 0;        // printed outside bust_spinlocks(1)/(0)
	int bust_on = 0, bust_off = 0;
	int status_tries = 0;              // tries of the machine-status lock
};

// Resets the BMC, the clock, the records and the module's state
// (KCSBASEADDR 0xCA2, KCSIRQ 0, debug 1).
void sim_reset(const sim_faults &f = sim_faults());
sim_faults &sim_fault();
sim_record &sim_rec();
uint64_t sim_now_us();
// Called after every busy-wait, with the clock.
void sim_on_delay(std::function<void(uint64_t)> hook);
// Current interface state (0 IDLE .. 3 ERROR) without a port access.
int sim_state();
// Spin locks held, and whether local interrupts are off, right now.
int sim_locks_held();
bool sim_irqs_off();
// Requests received for an App command.
std::vector<sim_request> sim_requests_for(uint8_t cmd);
// The machine statuses sent to the controller at 0x24, as "0a 0b ".
std::string sim_statuses();
// Number of non-overlapping occurrences of text in the log.
int sim_log_count(const std::string &text);
// Bytes as "00 24 c0" for messages.
std::string sim_hex(const std::vector<uint8_t> &bytes);
