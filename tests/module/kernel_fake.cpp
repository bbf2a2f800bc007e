// The kernel services of the module, faked in user space (see kernel_fake.h).
#include "kernel_fake.h"

#include <cstdlib>
#include <cstring>

#include "kcs_sim.h"

extern "C" {
#include "panicforkiv.h"
}

namespace {

fake_kernel k;
fake_record rec;
uint64_t stop_requested_at;
std::vector<bool> stopped;

int fake_tarnex_hook(void)
{
	rec.hook_calls++;
	if (sim_locks_held() == 0 || !sim_irqs_off())
		rec.hook_calls_unsafe++;
	return k.hook_result;
}

// Other CPUs take the stop request when their time has come.
void other_cpus(uint64_t now)
{
	for (size_t i = 0; i < k.cpu_stop_us.size() && i < stopped.size(); i++) {
		if (!stopped[i] && k.cpu_stop_us[i] != NEVER &&
		    now - stop_requested_at >= k.cpu_stop_us[i]) {
			stopped[i] = true;
			kiv_xen_smp_stop_cpu();
		}
	}
}

} // namespace

void fake_reset(const fake_kernel &kk)
{
	sim_reset();
	k = kk;
	rec = fake_record();
	stopped.clear();
	kernel_load_mode = KERNEL_MODE_UNKNOWN;
	panicforkiv_func = nullptr;
	get_tarnex_hook_failed = 0;
	panic_called = 0;
	warned = 0;
	message = 0;
	waiting_for_crash_ipi.counter = 0;
}

fake_kernel &fake_k() { return k; }
fake_record &fake_rec() { return rec; }

std::vector<uint8_t> spmi_table(uint64_t addr)
{
	std::vector<uint8_t> t(65, 0);
	memcpy(t.data(), "SPMI", 4);
	t[4] = 65;
	t[36] = 1;                         // KCS
	t[37] = 1;                         // legacy
	t[48] = 1;                         // system I/O
	t[49] = 8;
	for (int i = 0; i < 8; i++)
		t[52 + i] = (uint8_t)(addr >> (8 * i));
	return t;
}

std::vector<uint8_t> dmi_record(uint32_t base, uint8_t modifier, uint8_t irq)
{
	std::vector<uint8_t> r(18, 0);
	r[0] = 38;
	r[1] = 18;
	r[3] = 0x30;
	r[4] = 1;                          // KCS
	r[5] = 0x20;
	r[6] = 0x20;
	for (int i = 0; i < 4; i++)
		r[8 + i] = (uint8_t)(base >> (8 * i));
	r[16] = modifier;
	r[17] = irq;
	return r;
}

// ---- services.h, user-space side ----

extern "C" int get_symbols(void)
{
	return k.symbols;
}

extern "C" int panicforkiv_cmdline_reader_found(void)
{
	return k.cmdline_reader;
}

extern "C" int panicforkiv_read_cmdline(char *page, int count)
{
	if (k.cmdline_fails)
		return -1;
	int n = (int)k.cmdline.size() < count ? (int)k.cmdline.size() : count;
	memcpy(page, k.cmdline.data(), n);
	return n;
}

extern "C" void *panicforkiv_get_page(void)
{
	if (k.out_of_pages)
		return nullptr;
	rec.pages_taken++;
	return calloc(1, PANICFORKIV_PAGE_SIZE);
}

extern "C" void panicforkiv_free_page(void *page)
{
	rec.pages_freed++;
	free(page);
}

extern "C" int panicforkiv_acpi_disabled(void)
{
	return k.acpi_disabled;
}

extern "C" int panicforkiv_get_spmi(u32 instance, u8 *copy, unsigned int size, const void **where)
{
	if (instance == 0 || instance > k.spmi.size())
		return -1;
	const std::vector<uint8_t> &t = k.spmi[instance - 1];
	memcpy(copy, t.data(), t.size() < size ? t.size() : size);
	*where = t.data();
	return (int)t.size();
}

extern "C" const void *panicforkiv_next_ipmi_device(const void *from, u8 *copy, unsigned int size)
{
	size_t i = 0;
	if (from) {
		while (i < k.dmi.size() && (const void *)&k.dmi[i] != from)
			i++;
		i++;
	}
	if (i >= k.dmi.size())
		return nullptr;
	const std::vector<uint8_t> &r = k.dmi[i];
	size_t len = r.size() > 1 ? r[1] : 0;
	if (len > r.size())
		len = r.size();
	memcpy(copy, r.data(), len < size ? len : size);
	return &k.dmi[i];
}

extern "C" u32 panicforkiv_gsi_to_irq(u32 gsi)
{
	return gsi + k.gsi_irq_offset;
}

extern "C" int (*panicforkiv_symbol_get_hook(void))(void)
{
	if (!k.hook_present)
		return nullptr;
	rec.hook_refs++;
	return fake_tarnex_hook;
}

extern "C" void panicforkiv_symbol_put_hook(void)
{
	rec.hook_refs--;
}

extern "C" int panicforkiv_register_kexec_probe(int (*)(struct kprobe *, struct pt_regs *))
{
	if (k.probe_result < 0)
		return k.probe_result;
	rec.probe_registered = true;
	return 0;
}

extern "C" void panicforkiv_unregister_kexec_probe(void)
{
	if (!rec.probe_registered)
		rec.bad_unregisters++;
	rec.probe_registered = false;
}

extern "C" int panicforkiv_register_panic_notifier(int (*)(struct notifier_block *, unsigned long, void *))
{
	if (k.notifier_result < 0)
		return k.notifier_result;
	rec.notifier_registered = true;
	return 0;
}

extern "C" int panicforkiv_unregister_panic_notifier(void)
{
	if (!rec.notifier_registered)
		return -ENOENT;
	rec.notifier_registered = false;
	return 0;
}

extern "C" void *panicforkiv_proc_mkdir(void)
{
	if (k.proc_fails == "dir")
		return nullptr;
	rec.proc.insert("panicforkiv");
	return &rec.proc;
}

extern "C" void *panicforkiv_proc_create(void *dir, int file, panicforkiv_read_proc_t, panicforkiv_write_proc_t)
{
	std::string name = file == PANICFORKIV_PROC_MESSAGE ? "message" : "debug";
	if (dir != &rec.proc || k.proc_fails == name)
		return nullptr;
	rec.proc.insert("panicforkiv/" + name);
	return &rec.proc;
}

extern "C" void panicforkiv_proc_remove(void *dir, int file)
{
	std::string name = file == PANICFORKIV_PROC_MESSAGE ? "message" : "debug";
	if (dir != &rec.proc || !rec.proc.erase("panicforkiv/" + name))
		rec.bad_unregisters++;
}

extern "C" void panicforkiv_proc_rmdir(void)
{
	if (rec.proc.size() > 1)
		rec.rmdir_nonempty++;
	if (!rec.proc.erase("panicforkiv"))
		rec.bad_unregisters++;
}

extern "C" void panicforkiv_sleep_ticks(long ticks)
{
	rec.slept_ticks += ticks;
}

extern "C" unsigned long panicforkiv_copy_from_user(void *to, const void *from, unsigned long n)
{
	if (k.user_fault)
		return n;
	memcpy(to, from, n);
	rec.copied += n;
	return 0;
}

extern "C" int panicforkiv_read_kexec_crash_loaded(char *buf)
{
	if (!k.crash_reader)
		return -1;
	memcpy(buf, k.crash_loaded.data(), k.crash_loaded.size());
	return (int)k.crash_loaded.size();
}

extern "C" int panicforkiv_num_online_cpus(void)
{
	return k.cpus;
}

extern "C" void kiv_xen_smp_send_stop(void (*)(void))
{
	rec.stop_requests++;
	stop_requested_at = sim_now_us();
	stopped.assign(k.cpu_stop_us.size(), false);
	other_cpus(stop_requested_at);
	sim_on_delay(other_cpus);
}

extern "C" int panicforkiv_in_hardirq(void)
{
	return k.in_hardirq;
}

extern "C" void panicforkiv_dump_stack(void)
{
	rec.dump_stacks++;
}
