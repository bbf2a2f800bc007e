/*
 * Kernel side of the platform layer: the log.
 *
 * Messages carry a "<N>" level prefix.  Kernels before 3.6 parse it
 * themselves; later ones only know the SOH form and would print "<6>" as
 * text, so the prefix is turned into the matching KERN_* level here.
 */
#include <linux/kernel.h>
#include "panicforkiv.h"

#ifndef KERN_CONT
#define KERN_CONT ""
#endif

/* Filled in at load when the kernel's bust_spinlocks is found. */
void (*my_bust_spinlocks)(int yes);
unsigned long panicforkiv_timer_irq_flags;

void panicforkiv_bust_spinlocks(int on)
{
	if (my_bust_spinlocks)
		my_bust_spinlocks(on);
}

#if LINUX_VERSION_CODE >= KERNEL_VERSION(3, 6, 0)

void panicforkiv_vprint(const char *fmt, va_list ap)
{
	struct va_format vaf;
	va_list aq;
	int level = panicforkiv_log_level(fmt);

	va_copy(aq, ap);
	vaf.fmt = level < 0 ? fmt : fmt + 3;
	vaf.va = &aq;
	switch (level) {
	case 0: printk(KERN_EMERG "%pV", &vaf); break;
	case 1: printk(KERN_ALERT "%pV", &vaf); break;
	case 2: printk(KERN_CRIT "%pV", &vaf); break;
	case 3: printk(KERN_ERR "%pV", &vaf); break;
	case 4: printk(KERN_WARNING "%pV", &vaf); break;
	case 5: printk(KERN_NOTICE "%pV", &vaf); break;
	case 6: printk(KERN_INFO "%pV", &vaf); break;
	case 7: printk(KERN_DEBUG "%pV", &vaf); break;
	default: printk(KERN_CONT "%pV", &vaf); break;
	}
	va_end(aq);
}

#else

void panicforkiv_vprint(const char *fmt, va_list ap)
{
	vprintk(fmt, ap);
}

#endif

