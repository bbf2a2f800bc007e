// SPDX-License-Identifier: GPL-2.0
/*
 * panic_exit: the last panic notifier of the lab's emulated server. It tells
 * QEMU's ISA pvpanic device that the guest panicked, so that QEMU, started
 * with "-device pvpanic -action panic=exit-failure", exits with status 1.
 *
 * The kernel's own pvpanic driver registers its notifier with a priority
 * above the panic-time modules the lab tries out and would end the machine before
 * they run; this one has the lowest priority there is, so every other
 * notifier has run (and printed) before QEMU stops.
 */
#include <linux/io.h>
#include <linux/kernel.h>
#include <linux/limits.h>
#include <linux/module.h>
#include <linux/notifier.h>
#include <linux/panic_notifier.h>

#define PVPANIC_PANICKED        0x01    /* event bit: the guest panicked */

static ushort port = 0x505;             /* QEMU's default pvpanic I/O port */
module_param(port, ushort, 0444);
MODULE_PARM_DESC(port, "I/O port of the ISA pvpanic device");

static int panic_exit_notify(struct notifier_block *nb, unsigned long event, void *data)
{
	pr_emerg("panic_exit: last panic notifier, telling QEMU\n");
	outb(PVPANIC_PANICKED, port);
	return NOTIFY_DONE;
}

static struct notifier_block panic_exit_nb = {
	.notifier_call = panic_exit_notify,
	.priority = INT_MIN,
};

static int __init panic_exit_init(void)
{
	return atomic_notifier_chain_register(&panic_notifier_list, &panic_exit_nb);
}

static void __exit panic_exit_exit(void)
{
	atomic_notifier_chain_unregister(&panic_notifier_list, &panic_exit_nb);
}

module_init(panic_exit_init);
module_exit(panic_exit_exit);
MODULE_DESCRIPTION("ends QEMU through pvpanic after every other panic notifier");
MODULE_LICENSE("GPL");
