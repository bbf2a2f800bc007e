/*
 * The panic path: the panic notifier and the machine_kexec probe.
 *
 * Whichever runs first calls tarnex_hook, once per boot.  The notifier
 * also tells the BMC, once, that the machine halted, unless a crash kernel
 * is loaded (that kernel announces the dump itself when it loads the
 * module).  The probe stops the other CPUs first, giving them a second.
 *
 * Both run with panicforkiv_handler_lock held and local interrupts off;
 * nothing here sleeps or allocates.  Every message is a debug message with
 * the panic-safe print, except the once-only in-interrupt warning.
 */
#include "panicforkiv.h"
#include "ipmi_status.h"

#define CPU_STOP_WAIT_MS        1000

static PANICFORKIV_DEFINE_SPINLOCK(panicforkiv_handler_lock);
/* What the kernel says about a loaded crash kernel. */
static char buf[4096];

int warned;
panicforkiv_atomic_t waiting_for_crash_ipi;

/* 1 when the kernel says a crash kernel is loaded: its answer reads 1. */
static int kdump_ready(void)
{
	long value;
	int n;

	n = panicforkiv_read_kexec_crash_loaded(buf);
	if (n <= 0)
		return 0;
	if (n > (int)sizeof(buf) - 1)
		n = sizeof(buf) - 1;
	buf[n] = '\0';
	return panicforkiv_parse_long(buf, &value) > 0 && value == 1;
}

/* Call tarnex_hook if we still hold it; it is never called twice. */
static void call_hook(int from_probe)
{
	if (panicforkiv_func) {
		if (panicforkiv_func() != 0) {
			if (from_probe)
				dbg_safe(KERN_ERR, "tarnex_hook failed.\n");
			else
				dbg_safe(KERN_ERR, "tarnex_hook() failed.\n");
		}
		panicforkiv_func = NULL;
	} else if (get_tarnex_hook_failed) {
		dbg_safe(KERN_ERR, "symbol_get(tarnex_hook) failed in panic_process.\n");
	} else {
		dbg_safe(KERN_INFO, "tarnex_hook() has already been executed.\n");
	}
}

static void log_send_failed(void)
{
	dbg_safe(KERN_ERR, "Sending ipmi message failed.\n");
}

/* The halt status, sent by the first notifier run only. */
static void set_halt_once(void)
{
	if (panic_called) {
		dbg_safe(KERN_INFO, "panicforkiv_set_status_halt() has already been executed.\n");
		return;
	}
	panic_called = 1;
	if (set_status_retrying(MACHINE_STATUS_HALT, log_send_failed) == 0)
		dbg_safe(KERN_INFO, "Sending ipmi message succeeded.\n");
	else
		log_send_failed();
}

int panicforkiv_panic_handler(struct notifier_block *nb, unsigned long event, void *data)
{
	static const char self[] = "panicforkiv_panic_handler";
	unsigned long flags;

	(void)nb;
	(void)event;
	(void)data;
	dbg_safe(KERN_INFO, "%s: panic process for kiv start.\n", self);
	if (kdump_ready()) {
		dbg_safe(KERN_INFO, "%s: kdump is ready.\n", self);
		dbg_safe(KERN_INFO, "%s: panic process for kiv completed.\n", self);
		return 0;
	}

	panicforkiv_spin_lock_irqsave(&panicforkiv_handler_lock, &flags);
	dbg_safe(KERN_INFO, "%s: kdump is not ready.\n", self);
	call_hook(0);
	set_halt_once();
	panicforkiv_spin_unlock_irqrestore(&panicforkiv_handler_lock, flags);

	dbg_safe(KERN_INFO, "%s: panic process for kiv completed.\n", self);
	return 0;
}

void kiv_xen_smp_stop_cpu(void)
{
	panicforkiv_local_irq_disable();
	panicforkiv_atomic_dec(&waiting_for_crash_ipi);
}

/* The file name in a warning, without its directories. */
static const char *source_name(const char *path)
{
	const char *name = path;

	for (; *path; path++)
		if (*path == '/')
			name = path + 1;
	return name;
}

/*
 * Ask the other CPUs to stop and give them up to a second.  The messages
 * of this step carry the step's name instead of the module's.
 */
static void xen_smp_send_stop(void)
{
	static const char self[] = "xen_smp_send_stop";
	unsigned long msecs = CPU_STOP_WAIT_MS;
	int others = panicforkiv_num_online_cpus() - 1;

	panicforkiv_atomic_set(&waiting_for_crash_ipi, others);
	panicforkiv_debug_print_safe(KERN_INFO "%s: call kiv_xen_send_cpu_stop allbutme=%d\n",
				     self, others);
	kiv_xen_smp_send_stop(kiv_xen_smp_stop_cpu);

	while (panicforkiv_atomic_read(&waiting_for_crash_ipi) > 0 && msecs != 0) {
		if (panicforkiv_in_hardirq() && warned++ == 0) {
			printk(KERN_WARNING "WARNING: at %s:%d %s()\n", source_name(__FILE__),
			       __LINE__, self);
			panicforkiv_dump_stack();
		}
		panicforkiv_udelay(1000);
		msecs--;
	}
	others = panicforkiv_atomic_read(&waiting_for_crash_ipi);
	if (msecs == 0)
		panicforkiv_debug_print_safe(KERN_INFO "%s: smp_send_stop timeout allbutme=%d\n",
					     self, others);
	else
		panicforkiv_debug_print_safe(KERN_INFO "%s: smp_send_stop msecs=%lu allbutme=%d\n",
					     self, msecs, others);
}

int panicforkiv_machine_kexec_handler(struct kprobe *p, struct pt_regs *regs)
{
	unsigned long flags;

	(void)p;
	(void)regs;
	panicforkiv_spin_lock_irqsave(&panicforkiv_handler_lock, &flags);
	dbg_safe(KERN_INFO, "panic process for kiv start.\n");
	xen_smp_send_stop();
	panicforkiv_local_irq_disable();
	dbg_safe(KERN_INFO, "tarnex_hook start.\n");
	call_hook(1);
	dbg_safe(KERN_INFO, "panic process for kiv completed.\n");
	panicforkiv_spin_unlock_irqrestore(&panicforkiv_handler_lock, flags);
	return 0;
}
