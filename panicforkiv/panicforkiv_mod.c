/*
 * panicforkiv: at panic or kexec, calls the tarnex driver's hook once and
 * tells the BMC over IPMI KCS that the machine halted (or, in the
 * crash-dump kernel, that it is dumping).
 *
 * This file is the module's face to the kernel: description fields, the
 * debug parameter, the kernel objects (probes, notifier block, /proc
 * entries) and the kernel services of platform.h and services.h that
 * load.c, firmware.c, panic.c and proc.c use.  The decisions themselves
 * live in those files, which also build in user space for the tests; the
 * handlers the kernel calls are handed over by them at registration, so
 * this file only calls their load and unload.  Interfaces that differ
 * between 2.6.18 and current kernels are switched in compat.h.
 */
#include "panicforkiv.h"
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/init.h>
#include <linux/kernel.h>
#include <linux/kallsyms.h>
#include <linux/kprobes.h>
#include <linux/notifier.h>
#include <linux/proc_fs.h>
#include <linux/sched.h>
#include <linux/mm.h>
#include <linux/gfp.h>
#include <linux/acpi.h>
#include <linux/dmi.h>
#include <linux/kexec.h>
#include <linux/smp.h>
#include <linux/cpumask.h>
#include <linux/hardirq.h>
#include <linux/irqflags.h>
#include <linux/stringify.h>
#include "compat.h"
#if PFK_PANIC_NOTIFIER_H
#include <linux/panic_notifier.h>
#endif
#if PFK_KV_GE(2, 6, 26)
#include <linux/uaccess.h>
#else
#include <asm/uaccess.h>
#endif
#include "ipmi_status.h"

MODULE_VERSION(PANICFORKIV_VERSION);
MODULE_DESCRIPTION("tarnex stub driver");
MODULE_LICENSE("GPL v2");
/* For whoever checks how long a silent BMC may hold a panic: modinfo shows it. */
MODULE_INFO(status_deadline_ms, __stringify(STATUS_DEADLINE_MS));

module_param(debug, long, 0644);
MODULE_PARM_DESC(debug, "debug flags");

#define HOOK_SYMBOL     "tarnex_hook"

typedef unsigned long (*kallsyms_lookup_name_t)(const char *name);

static kallsyms_lookup_name_t my_kallsyms_lookup_name;
static void (*my_bust_spinlocks)(int yes);
unsigned long panicforkiv_timer_irq_flags;	/* see panicforkiv_irq_mask() */
#if PFK_OLD_RUNTIME_SYMBOLS
static ssize_t (*my_kexec_crash_loaded_show)(void *subsys, char *page);
static int (*my_cmdline_read_proc)(char *page, char **start, off_t off, int count,
				   int *eof, void *data);
#else
static char **my_saved_command_line;
#endif

void panicforkiv_bust_spinlocks(int on)
{
	if (my_bust_spinlocks)
		my_bust_spinlocks(on);
}

/* --- finding the kernel functions that are not exported --- */

#if PFK_KPROBE_SYMBOL_NAME
static int panicforkiv_dummy_handler_pre(struct kprobe *p, struct pt_regs *regs)
{
	dbg_safe(KERN_INFO, "%s: p->addr=0x%p, eip=%lx, eflags=0x%lx\n",
		 "panicforkiv_dummy_handler_pre", p->addr, (unsigned long)PFK_REG_IP(regs),
		 (unsigned long)PFK_REG_FLAGS(regs));
	dump_stack();
	return 0;
}

static void panicforkiv_dummy_handler_post(struct kprobe *p, struct pt_regs *regs,
					   unsigned long flags)
{
	dbg_safe(KERN_INFO, "%s: p->addr=0x%p, eflags=0x%lx\n", "panicforkiv_dummy_handler_post",
		 p->addr, (unsigned long)PFK_REG_FLAGS(regs));
}

#if PFK_KPROBE_FAULT
static int panicforkiv_dummy_handler_fault(struct kprobe *p, struct pt_regs *regs, int trapnr)
{
	dbg_safe(KERN_INFO, "%s: p->addr=0x%p, trap #%dn", "panicforkiv_dummy_handler_fault",
		 p->addr, trapnr);
	return 0;
}
#endif

/* Armed for a moment at load: registering it tells where the lookup is. */
static struct kprobe panicforkiv_dummy_handler_kprobe = {
	.pre_handler = panicforkiv_dummy_handler_pre,
	.post_handler = panicforkiv_dummy_handler_post,
#if PFK_KPROBE_FAULT
	.fault_handler = panicforkiv_dummy_handler_fault,
#endif
};

static kallsyms_lookup_name_t find_kallsyms_lookup_name(void)
{
	kallsyms_lookup_name_t lookup;
	int r;

	panicforkiv_dummy_handler_kprobe.symbol_name = "kallsyms_lookup_name";
	panicforkiv_dummy_handler_kprobe.addr = NULL;
	r = register_kprobe(&panicforkiv_dummy_handler_kprobe);
	lookup = (kallsyms_lookup_name_t)panicforkiv_dummy_handler_kprobe.addr;
	if (r == 0)
		unregister_kprobe(&panicforkiv_dummy_handler_kprobe);
	/* Ask the lookup itself, so that we hold the function's own address. */
	if (lookup)
		lookup = (kallsyms_lookup_name_t)lookup("kallsyms_lookup_name");
	return lookup;
}
#else
static kallsyms_lookup_name_t find_kallsyms_lookup_name(void)
{
	return kallsyms_lookup_name;
}
#endif

/* One symbol through the lookup, with its messages; 0 when missing. */
static unsigned long lookup_symbol(const char *step, const char *name)
{
	unsigned long addr;

	dbg(KERN_INFO, "%s: get %s.\n", step, name);
	addr = my_kallsyms_lookup_name(name);
	dbg(KERN_INFO, "%s: %s (%p)\n", step, name, (void *)addr);
	if (!addr)
		pr_err("%s: kallsyms_lookup_name(%s) failed.\n", step, name);
	return addr;
}

int get_symbols(void)
{
	static const char step[] = "get_symbols";
	unsigned long addr;

	dbg(KERN_INFO, "%s: start.\n", step);
	dbg(KERN_INFO, "%s: get kallsyms_lookup_name.\n", step);
	my_kallsyms_lookup_name = find_kallsyms_lookup_name();
	dbg(KERN_INFO, "%s: kallsyms_lookup_name (%p)\n", step, (void *)my_kallsyms_lookup_name);
	if (!my_kallsyms_lookup_name) {
		pr_err("%s: kallsyms_lookup_name(kallsyms_lookup_name) failed.\n", step);
		return -ENODEV;
	}

	addr = lookup_symbol(step, "bust_spinlocks");
	if (!addr)
		return -ENODEV;
	my_bust_spinlocks = (void (*)(int))addr;
#if PFK_OLD_RUNTIME_SYMBOLS
	addr = lookup_symbol(step, "kexec_crash_loaded_show");
	if (!addr)
		return -ENODEV;
	my_kexec_crash_loaded_show = (ssize_t (*)(void *, char *))addr;
	addr = lookup_symbol(step, "cmdline_read_proc");
	if (!addr)
		return -ENODEV;
	my_cmdline_read_proc = (int (*)(char *, char **, off_t, int, int *, void *))addr;
#else
	addr = lookup_symbol(step, "saved_command_line");
	if (!addr)
		return -ENODEV;
	my_saved_command_line = (char **)addr;
#endif
	dbg(KERN_INFO, "%s: end.\n", step);
	return 0;
}

/* --- the kernel command line and the crash-kernel flag --- */

int panicforkiv_cmdline_reader_found(void)
{
#if PFK_OLD_RUNTIME_SYMBOLS
	return my_cmdline_read_proc != NULL;
#else
	return my_saved_command_line != NULL;
#endif
}

int panicforkiv_read_cmdline(char *page, int count)
{
#if PFK_OLD_RUNTIME_SYMBOLS
	char *start = NULL;
	int eof = 0;

	return my_cmdline_read_proc(page, &start, 0, count, &eof, NULL);
#else
	const char *cmdline = *my_saved_command_line;
	int len;

	if (!cmdline || count <= 0)
		return -1;
	len = strnlen(cmdline, count);
	memcpy(page, cmdline, len);
	if (len < count)
		page[len++] = '\n';
	return len;
#endif
}

int panicforkiv_read_kexec_crash_loaded(char *buf)
{
#if PFK_OLD_RUNTIME_SYMBOLS
	if (!my_kexec_crash_loaded_show)
		return -1;
	return my_kexec_crash_loaded_show(NULL, buf);
#else
	return sprintf(buf, "%d\n", kexec_crash_loaded());
#endif
}

void *panicforkiv_get_page(void)
{
	return (void *)get_zeroed_page(GFP_USER);
}

void panicforkiv_free_page(void *page)
{
	free_page((unsigned long)page);
}

/* --- firmware tables --- */

int panicforkiv_acpi_disabled(void)
{
	return acpi_disabled;
}

int panicforkiv_get_spmi(u32 instance, u8 *copy, unsigned int size, const void **where)
{
#ifdef CONFIG_ACPI
	struct acpi_table_header *hdr = NULL;
	unsigned int len;
	acpi_status st;

#if PFK_ACPI_GET_TABLE
	st = acpi_get_table(ACPI_SIG_SPMI, instance, &hdr);
#else
	st = acpi_get_firmware_table("SPMI", instance, ACPI_LOGICAL_ADDRESSING, &hdr);
#endif
	if (ACPI_FAILURE(st) || !hdr)
		return -1;
	len = hdr->length;
	memcpy(copy, hdr, len < size ? len : size);
	*where = hdr;
#if PFK_ACPI_PUT_TABLE
	acpi_put_table(hdr);
#endif
	return len > 0x7fffffff ? 0x7fffffff : (int)len;
#else
	return -1;
#endif
}

const void *panicforkiv_next_ipmi_device(const void *from, u8 *copy, unsigned int size)
{
	pfk_dmi_device *dev;
	const u8 *rec;
	unsigned int len;

	dev = dmi_find_device(DMI_DEV_TYPE_IPMI, NULL, (pfk_dmi_device *)from);
	if (!dev)
		return NULL;
	rec = dev->device_data;
	if (rec) {
		len = rec[1];
		memcpy(copy, rec, len < size ? len : size);
	}
	return dev;
}

u32 panicforkiv_gsi_to_irq(u32 gsi)
{
#if defined(CONFIG_ACPI) && PFK_KV_GE(2, 6, 25)
	unsigned int irq;

	if (acpi_gsi_to_irq(gsi, &irq) < 0)
		return 0;
	return irq;
#else
	return gsi;
#endif
}

/* --- the driver's hook --- */

int (*panicforkiv_symbol_get_hook(void))(void)
{
	return (int (*)(void))__symbol_get(HOOK_SYMBOL);
}

void panicforkiv_symbol_put_hook(void)
{
	__symbol_put(HOOK_SYMBOL);
}

/* --- the machine_kexec probe and the panic notifier --- */

static struct kprobe panicforkiv_handler_kprobe = {
#if PFK_KPROBE_SYMBOL_NAME
	.symbol_name = "machine_kexec",
#endif
};

static struct notifier_block panicforkiv_handler_panic_notifier = {
	.priority = 9,
};

int panicforkiv_register_kexec_probe(int (*pre)(struct kprobe *p, struct pt_regs *regs))
{
	panicforkiv_handler_kprobe.pre_handler = pre;
#if !PFK_KPROBE_SYMBOL_NAME
	panicforkiv_handler_kprobe.addr =
		(kprobe_opcode_t *)my_kallsyms_lookup_name("machine_kexec");
#endif
	return register_kprobe(&panicforkiv_handler_kprobe);
}

void panicforkiv_unregister_kexec_probe(void)
{
	unregister_kprobe(&panicforkiv_handler_kprobe);
}

int panicforkiv_register_panic_notifier(int (*call)(struct notifier_block *nb,
						    unsigned long event, void *data))
{
	panicforkiv_handler_panic_notifier.notifier_call = call;
	return atomic_notifier_chain_register(&panic_notifier_list,
					      &panicforkiv_handler_panic_notifier);
}

int panicforkiv_unregister_panic_notifier(void)
{
	return atomic_notifier_chain_unregister(&panic_notifier_list,
						&panicforkiv_handler_panic_notifier);
}

/* --- /proc/panicforkiv --- */

static const char *const proc_file_names[] = {
	[PANICFORKIV_PROC_DEBUG] = "debug",
	[PANICFORKIV_PROC_MESSAGE] = "message",
};

#if PFK_PROC_READ_PROC

void *panicforkiv_proc_mkdir(void)
{
	struct proc_dir_entry *dir = proc_mkdir(PANICFORKIV_NAME, NULL);

#if PFK_PROC_OWNER
	if (dir)
		dir->owner = THIS_MODULE;
#endif
	return dir;
}

void *panicforkiv_proc_create(void *dir, int file, panicforkiv_read_proc_t read,
			      panicforkiv_write_proc_t write)
{
	struct proc_dir_entry *e = create_proc_entry(proc_file_names[file], 0644, dir);

	if (!e)
		return NULL;
	e->read_proc = read;
	e->write_proc = write;
#if PFK_PROC_OWNER
	e->owner = THIS_MODULE;
#endif
	return e;
}

#else /* the same files, texts and results through file operations */

/* The handlers of each file, as load handed them over. */
static struct {
	panicforkiv_read_proc_t read;
	panicforkiv_write_proc_t write;
} proc_handlers[ARRAY_SIZE(proc_file_names)];

/*
 * A read: the handler fills a page as read_proc did (the whole value at
 * offset 0, end of file after), and the part the reader asks for is
 * handed over.
 */
static ssize_t proc_read(int file, struct file *f, char __user *ubuf, size_t count,
			 loff_t *ppos)
{
	char *page = (char *)get_zeroed_page(GFP_KERNEL);
	int eof = 0, len;
	ssize_t r;

	if (!page)
		return -ENOMEM;
	len = proc_handlers[file].read(page, NULL, (long)*ppos, PAGE_SIZE, &eof,
				       PFK_PDE_DATA(file_inode(f)));
	r = len < 0 ? len : simple_read_from_buffer(ubuf, count, ppos, page, len);
	free_page((unsigned long)page);
	return r;
}

static ssize_t proc_write(int file, struct file *f, const char __user *ubuf, size_t count)
{
	return proc_handlers[file].write(f, ubuf, count, PFK_PDE_DATA(file_inode(f)));
}

static ssize_t proc_read_debug(struct file *f, char __user *ubuf, size_t count, loff_t *ppos)
{
	return proc_read(PANICFORKIV_PROC_DEBUG, f, ubuf, count, ppos);
}

static ssize_t proc_write_debug(struct file *f, const char __user *ubuf, size_t count,
				loff_t *ppos)
{
	return proc_write(PANICFORKIV_PROC_DEBUG, f, ubuf, count);
}

static ssize_t proc_read_message(struct file *f, char __user *ubuf, size_t count, loff_t *ppos)
{
	return proc_read(PANICFORKIV_PROC_MESSAGE, f, ubuf, count, ppos);
}

static ssize_t proc_write_message(struct file *f, const char __user *ubuf, size_t count,
				  loff_t *ppos)
{
	return proc_write(PANICFORKIV_PROC_MESSAGE, f, ubuf, count);
}

#if PFK_PROC_OPS
static const struct proc_ops proc_file_ops[] = {
	[PANICFORKIV_PROC_DEBUG] = {
		.proc_read = proc_read_debug,
		.proc_write = proc_write_debug,
	},
	[PANICFORKIV_PROC_MESSAGE] = {
		.proc_read = proc_read_message,
		.proc_write = proc_write_message,
	},
};
#else
static const struct file_operations proc_file_ops[] = {
	[PANICFORKIV_PROC_DEBUG] = {
		.owner = THIS_MODULE,
		.read = proc_read_debug,
		.write = proc_write_debug,
	},
	[PANICFORKIV_PROC_MESSAGE] = {
		.owner = THIS_MODULE,
		.read = proc_read_message,
		.write = proc_write_message,
	},
};
#endif

void *panicforkiv_proc_mkdir(void)
{
	return proc_mkdir(PANICFORKIV_NAME, NULL);
}

void *panicforkiv_proc_create(void *dir, int file, panicforkiv_read_proc_t read,
			      panicforkiv_write_proc_t write)
{
	proc_handlers[file].read = read;
	proc_handlers[file].write = write;
	return proc_create(proc_file_names[file], 0644, dir, &proc_file_ops[file]);
}

#endif

void panicforkiv_proc_remove(void *dir, int file)
{
	remove_proc_entry(proc_file_names[file], dir);
}

void panicforkiv_proc_rmdir(void)
{
	remove_proc_entry(PANICFORKIV_NAME, NULL);
}

unsigned long panicforkiv_copy_from_user(void *to, const void __user *from, unsigned long n)
{
	return copy_from_user(to, from, n);
}

void panicforkiv_sleep_ticks(long ticks)
{
	schedule_timeout_interruptible(ticks);
}

/* --- the other CPUs and the interrupt context, at panic time --- */

int panicforkiv_num_online_cpus(void)
{
	return num_online_cpus();
}

/* What each stopping CPU runs first: the panic path's count of the stopped. */
static void (*kiv_stop_cpu)(void);

/* Runs on every other CPU: count ourselves stopped, then halt for ever. */
static void kiv_xen_smp_really_stop_cpu(void *data)
{
	kiv_stop_cpu();
	for (;;)
		halt();
}

void kiv_xen_smp_send_stop(void (*stop_cpu)(void))
{
	kiv_stop_cpu = stop_cpu;
#if PFK_KV_GE(2, 6, 27)
	smp_call_function(kiv_xen_smp_really_stop_cpu, NULL, 0);
#else
	smp_call_function(kiv_xen_smp_really_stop_cpu, NULL, 0, 0);
#endif
}

int panicforkiv_in_hardirq(void)
{
	return in_hardirq() ? 1 : 0;
}

void panicforkiv_dump_stack(void)
{
	dump_stack();
}

/* --- load and unload --- */

static int __init panicforkiv_mod_init(void)
{
	return panicforkiv_load();
}

static void __exit panicforkiv_mod_exit(void)
{
	panicforkiv_unload();
}

module_init(panicforkiv_mod_init);
module_exit(panicforkiv_mod_exit);
