// The kernel services of panicforkiv/services.h, faked in user space.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "sim.h"

fake_kernel kernel;
fake_record kernel_rec;

namespace {

fake_kernel &k = kernel;
fake_record &rec = kernel_rec;

uint64_t stop_requested_at;
std::vector<bool> stopped;
void (*stop_cpu)(void);

int fake_tarnex_hook(void)
{
	rec.hook_calls++;
	rec.hook_calls_unsafe += sim.locks == 0 || !sim.irqs_off;
	return k.hook_result;
}

// Other CPUs take the stop request when their time has come.
void other_cpus(uint64_t now)
{
	for (size_t i = 0; i < stopped.size(); i++)
		if (!stopped[i] && k.cpu_stop_us[i] != NEVER && now - stop_requested_at >= k.cpu_stop_us[i])
			stopped[i] = true, stop_cpu();
}

std::string proc_name(int file) { return file == PANICFORKIV_PROC_MESSAGE ? "message" : "debug"; }

} // namespace

void fake_reset(const fake_kernel &kk)
{
	sim_reset();
	k = kk;
	if (k.spmi.empty()) k.spmi = { spmi() };
	rec = fake_record();
	stopped.clear();
	kernel_load_mode = KERNEL_MODE_UNKNOWN, panicforkiv_func = nullptr, message = 0;
	get_tarnex_hook_failed = panic_called = warned = 0;
	panicforkiv_atomic_set(&waiting_for_crash_ipi, 0);
}


std::vector<uint8_t> spmi(uint64_t addr, int at, uint8_t value, size_t size)
{
	std::vector<uint8_t> t = { 'S', 'P', 'M', 'I', 65 };
	t.resize(65);
	t[36] = t[37] = t[48] = 1;         // KCS, legacy 1, system I/O
	t[44] = 20;                        // GSI, when byte 40 says so
	for (int i = 0; i < 8; i++) t[52 + i] = (uint8_t)(addr >> (8 * i));
	t[at] = value;
	t.resize(size);
	return t;
}

std::vector<uint8_t> dmi(uint32_t base, uint8_t modifier, uint8_t irq, int at, uint8_t value)
{
	std::vector<uint8_t> r = { 38, 18, 0, 0, 1 };   // type 38, 18 bytes, KCS
	r.resize(18);
	for (int i = 0; i < 4; i++) r[8 + i] = (uint8_t)(base >> (8 * i));
	r[16] = modifier;
	r[17] = irq;
	r[at] = value;
	r.resize(r[1]);
	return r;
}

extern "C" int get_symbols(void) { return k.symbols; }
extern "C" int panicforkiv_cmdline_reader_found(void) { return k.cmdline_reader; }

extern "C" int panicforkiv_read_cmdline(char *page, int count)
{
	int n = std::min((int)k.cmdline.size(), count);
	return memcpy(page, k.cmdline.data(), n), k.cmdline_fails ? -1 : n;
}

extern "C" void *panicforkiv_get_page(void)
{
	return k.out_of_pages ? nullptr : (rec.pages_taken++, calloc(1, 4096));
}

extern "C" void panicforkiv_free_page(void *page) { rec.pages_freed++; free(page); }

extern "C" int panicforkiv_acpi_disabled(void) { return k.acpi_disabled; }

extern "C" int panicforkiv_get_spmi(u32 instance, u8 *copy, unsigned int size, const void **where)
{
	if (instance == 0 || instance > k.spmi.size()) return -1;
	const std::vector<uint8_t> &t = k.spmi[instance - 1];
	memcpy(copy, t.data(), std::min((unsigned int)t.size(), size));
	return *where = t.data(), (int)t.size();
}

extern "C" const void *panicforkiv_next_ipmi_device(const void *from, u8 *copy, unsigned int size)
{
	size_t i = from ? (const std::vector<uint8_t> *)from - k.dmi.data() + 1 : 0;
	if (i >= k.dmi.size()) return nullptr;
	size_t len = k.dmi[i][1] < k.dmi[i].size() ? k.dmi[i][1] : k.dmi[i].size();
	memcpy(copy, k.dmi[i].data(), len < size ? len : size);
	return &k.dmi[i];
}

extern "C" u32 panicforkiv_gsi_to_irq(u32 gsi) { return gsi + k.gsi_irq_offset; }

extern "C" int (*panicforkiv_symbol_get_hook(void))(void)
{
	return (rec.hook_refs += k.hook_present), k.hook_present ? fake_tarnex_hook : nullptr;
}

extern "C" void panicforkiv_symbol_put_hook(void) { rec.hook_refs--; }

extern "C" int panicforkiv_register_kexec_probe(int (*pre)(struct kprobe *, struct pt_regs *))
{
	rec.kexec_probe = pre;
	return (rec.probe_registered = k.probe_result >= 0), k.probe_result;
}

extern "C" int panicforkiv_register_panic_notifier(int (*call)(struct notifier_block *,
							       unsigned long, void *))
{
	rec.panic_notifier = call;
	return (rec.notifier_registered = k.notifier_result >= 0), k.notifier_result;
}

extern "C" void panicforkiv_unregister_kexec_probe(void)
{
	rec.bad_unregisters += !std::exchange(rec.probe_registered, false);
}

extern "C" int panicforkiv_unregister_panic_notifier(void)
{
	return std::exchange(rec.notifier_registered, false) ? 0 : -ENOENT;
}

extern "C" void *panicforkiv_proc_mkdir(void)
{
	return k.proc_fails == "dir" ? nullptr : (rec.proc.insert("panicforkiv"), &rec.proc);
}

extern "C" void *panicforkiv_proc_create(void *dir, int file, panicforkiv_read_proc_t,
					 panicforkiv_write_proc_t write)
{
	if (dir != &rec.proc || k.proc_fails == proc_name(file)) return nullptr;
	rec.proc_write[file] = write;
	rec.proc.insert("panicforkiv/" + proc_name(file));
	return &rec.proc;
}

extern "C" void panicforkiv_proc_remove(void *dir, int file)
{
	rec.bad_unregisters += dir != &rec.proc || !rec.proc.erase("panicforkiv/" + proc_name(file));
}

extern "C" void panicforkiv_proc_rmdir(void)
{
	rec.rmdir_nonempty += rec.proc.size() > 1;
	rec.bad_unregisters += !rec.proc.erase("panicforkiv");
}

extern "C" void panicforkiv_sleep_ticks(long ticks) { rec.slept_ticks += ticks; }

extern "C" unsigned long panicforkiv_copy_from_user(void *to, const void *from, unsigned long n)
{
	return k.user_fault ? n : (memcpy(to, from, n), rec.copied += n, 0);
}

extern "C" int panicforkiv_read_kexec_crash_loaded(char *buf)
{
	memcpy(buf, k.crash_loaded.data(), k.crash_loaded.size());
	return k.crash_reader ? (int)k.crash_loaded.size() : -1;
}

extern "C" int panicforkiv_num_online_cpus(void) { return k.cpus; }

extern "C" void kiv_xen_smp_send_stop(void (*stop)(void))
{
	stop_cpu = stop;
	stop_requested_at = sim.now;
	stopped.assign(k.cpu_stop_us.size(), false);
	other_cpus(stop_requested_at);
	sim.delay_hook = other_cpus;
}

extern "C" int panicforkiv_in_hardirq(void) { return k.in_hardirq; }
extern "C" void panicforkiv_dump_stack(void) { rec.dump_stacks++; }
