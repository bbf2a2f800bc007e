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
#include "kcs_regs.h"
#include "ipmi_status.h"

#define STATUS_CALLS            5       /* calls of a busy status setter */
#define CPU_STOP_WAIT_MS        1000

#define dbg(...) panicforkiv_debug_print_safe(__VA_ARGS__)

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
				dbg("<3>%s: tarnex_hook failed.\n", PANICFORKIV_NAME);
			else
				dbg("<3>%s: tarnex_hook() failed.\n", PANICFORKIV_NAME);
		}
		panicforkiv_func = NULL;
	} else if (get_tarnex_hook_failed) {
		dbg("<3>%s: symbol_get(tarnex_hook) failed in panic_process.\n", PANICFORKIV_NAME);
	} else {
		dbg("<6>%s: tarnex_hook() has already been executed.\n", PANICFORKIV_NAME);
	}
}

/* The halt status, sent by the first notifier run only. */
static void set_halt_once(void)
{
	int i, r = 0;

	if (panic_called) {
		dbg("<6>%s: panicforkiv_set_status_halt() has already been executed.\n",
		    PANICFORKIV_NAME);
		return;
	}
	panic_called = 1;
	for (i = 0; i < STATUS_CALLS; i++) {
		r = panicforkiv_set_status_halt();
		if (r != -EBUSY)
			break;
		dbg("<3>%s: Sending ipmi message failed.\n", PANICFORKIV_NAME);
		panicforkiv_udelay(KCS_POLL_DELAY_US);
		panicforkiv_touch_nmi_watchdog();
	}
	if (r == 0)
		dbg("<6>%s: Sending ipmi message succeeded.\n", PANICFORKIV_NAME);
	else
		dbg("<3>%s: Sending ipmi message failed.\n", PANICFORKIV_NAME);
}

int panicforkiv_panic_handler(struct notifier_block *nb, unsigned long event, void *data)
{
	static const char self[] = "panicforkiv_panic_handler";
	unsigned long flags;

	(void)nb;
	(void)event;
	(void)data;
	dbg("<6>%s: %s: panic process for kiv start.\n", PANICFORKIV_NAME, self);
	if (kdump_ready()) {
		dbg("<6>%s: %s: kdump is ready.\n", PANICFORKIV_NAME, self);
		dbg("<6>%s: %s: panic process for kiv completed.\n", PANICFORKIV_NAME, self);
		return 0;
	}

	panicforkiv_spin_lock_irqsave(&panicforkiv_handler_lock, &flags);
	dbg("<6>%s: %s: kdump is not ready.\n", PANICFORKIV_NAME, self);
	call_hook(0);
	set_halt_once();
	panicforkiv_spin_unlock_irqrestore(&panicforkiv_handler_lock, flags);

	dbg("<6>%s: %s: panic process for kiv completed.\n", PANICFORKIV_NAME, self);
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

/* Ask the other CPUs to stop and give them up to a second. */
static void xen_smp_send_stop(void)
{
	static const char self[] = "xen_smp_send_stop";
	unsigned long msecs = CPU_STOP_WAIT_MS;
	int others = panicforkiv_num_online_cpus() - 1;

	panicforkiv_atomic_set(&waiting_for_crash_ipi, others);
	dbg("<6>%s: call kiv_xen_send_cpu_stop allbutme=%d\n", self, others);
	kiv_xen_smp_send_stop();

	while (panicforkiv_atomic_read(&waiting_for_crash_ipi) > 0 && msecs != 0) {
		if (panicforkiv_in_hardirq() && warned++ == 0) {
			panicforkiv_print("<4>WARNING: at %s:%d %s()\n", source_name(__FILE__),
					  __LINE__, self);
			panicforkiv_dump_stack();
		}
		panicforkiv_udelay(1000);
		msecs--;
	}
	if (msecs == 0)
		dbg("<6>%s: smp_send_stop timeout allbutme=%d\n", self,
		    panicforkiv_atomic_read(&waiting_for_crash_ipi));
	else
		dbg("<6>%s: smp_send_stop msecs=%lu allbutme=%d\n", self, msecs,
		    panicforkiv_atomic_read(&waiting_for_crash_ipi));
}

int panicforkiv_machine_kexec_handler(struct kprobe *p, struct pt_regs *regs)
{
	unsigned long flags;

	(void)p;
	(void)regs;
	panicforkiv_spin_lock_irqsave(&panicforkiv_handler_lock, &flags);
	dbg("<6>%s: panic process for kiv start.\n", PANICFORKIV_NAME);
	xen_smp_send_stop();
	panicforkiv_local_irq_disable();
	dbg("<6>%s: tarnex_hook start.\n", PANICFORKIV_NAME);
	call_hook(1);
	dbg("<6>%s: panic process for kiv completed.\n", PANICFORKIV_NAME);
	panicforkiv_spin_unlock_irqrestore(&panicforkiv_handler_lock, flags);
	return 0;
}
