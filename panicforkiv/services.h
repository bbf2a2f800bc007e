/*
 * Kernel services behind load, unload, the panic path and the /proc files.
 *
 * The decisions (which kernel we run in, which firmware record names the
 * KCS interface, when the hook is called, what a /proc write means) are
 * plain C in load.c, firmware.c, panic.c and proc.c.  Everything they need
 * from the kernel comes through the functions below: panicforkiv_mod.c
 * implements them for the running kernel (2.6.18 and current forms), the
 * user-space tests implement them as a scriptable fake.  The handlers the
 * kernel is to call (probe, notifier, /proc files, the CPU stop) are handed
 * to these services, so that the glue never names the logic's functions.
 *
 * Results follow the module's rule: 0 or a count on success, a negative
 * error code or NULL on failure.  The services print nothing themselves
 * unless said so.
 */
#ifndef PANICFORKIV_SERVICES_H
#define PANICFORKIV_SERVICES_H

#include "platform.h"

/* Kernel objects the handlers are given; only ever passed along. */
struct notifier_block;
struct kprobe;
struct pt_regs;
struct file;

/* The pages the module takes. */
#define PANICFORKIV_PAGE_SIZE           4096

/* /proc files of the module. */
#define PANICFORKIV_PROC_DEBUG          0
#define PANICFORKIV_PROC_MESSAGE        1

#ifdef __cplusplus
extern "C" {
#endif

/* --- load time, process context --- */

/*
 * Find the kernel functions that are not exported (the symbol lookup
 * first, through a probe on it), with their debug messages and the failure
 * message.  0, or -ENODEV when one is missing.
 */
int get_symbols(void);

/* 1 when get_symbols found a way to read the kernel command line. */
int panicforkiv_cmdline_reader_found(void);
/*
 * The kernel command line followed by a newline, as /proc/cmdline gives it,
 * at most count bytes into page (not terminated).  The length, or a
 * negative value when it cannot be read.
 */
int panicforkiv_read_cmdline(char *page, int count);

/* One zeroed page (GFP_USER), NULL when none is free. */
void *panicforkiv_get_page(void);
void panicforkiv_free_page(void *page);

/* 1 when the kernel runs with ACPI disabled. */
int panicforkiv_acpi_disabled(void);
/*
 * Copy instance n (1, 2, ...) of the ACPI "SPMI" table, at most size
 * bytes, into copy; *where is the table's address in the kernel, for
 * messages only.  The table's full length, or -1 when there is no
 * instance n.
 */
int panicforkiv_get_spmi(u32 instance, u8 *copy, unsigned int size, const void **where);
/*
 * The DMI device of the IPMI type after from (NULL: the first), NULL when
 * there is no more.  Its SMBIOS type-38 record, header included, is copied
 * into copy: as many bytes as the record's length byte says, at most size.
 */
const void *panicforkiv_next_ipmi_device(const void *from, u8 *copy, unsigned int size);
/* The interrupt line of an ACPI global system interrupt, 0 when none. */
u32 panicforkiv_gsi_to_irq(u32 gsi);

/*
 * The exported tarnex_hook, with a reference on the module exporting it;
 * NULL when it is not there.  put drops that reference.
 */
int (*panicforkiv_symbol_get_hook(void))(void);
void panicforkiv_symbol_put_hook(void);

/* The machine_kexec probe with its pre-handler. */
int panicforkiv_register_kexec_probe(int (*pre)(struct kprobe *p, struct pt_regs *regs));
void panicforkiv_unregister_kexec_probe(void);
/* The panic notifier (priority 9) with its handler. */
int panicforkiv_register_panic_notifier(int (*call)(struct notifier_block *nb,
						    unsigned long event, void *data));
/* 0, or -ENOENT when the notifier is not on the chain. */
int panicforkiv_unregister_panic_notifier(void);

/* Handlers of a /proc file, in the kernel's read_proc/write_proc forms. */
typedef int (*panicforkiv_read_proc_t)(char *page, char **start, long off, int count,
				       int *eof, void *data);
typedef int (*panicforkiv_write_proc_t)(struct file *file, const char __user *buffer,
					unsigned long count, void *data);

/* /proc/panicforkiv and its files (mode 0644); NULL when they cannot be created. */
void *panicforkiv_proc_mkdir(void);
void *panicforkiv_proc_create(void *dir, int file, panicforkiv_read_proc_t read,
			      panicforkiv_write_proc_t write);
void panicforkiv_proc_remove(void *dir, int file);
void panicforkiv_proc_rmdir(void);

/* Sleep, interruptibly, for a number of clock ticks. */
void panicforkiv_sleep_ticks(long ticks);

/* --- /proc handlers, process context --- */

/* Bytes that could not be copied: 0 on success. */
unsigned long panicforkiv_copy_from_user(void *to, const void __user *from,
					 unsigned long n);

/* --- panic time: interrupts off, nothing may sleep or allocate --- */

/*
 * What the kernel says about a loaded crash kernel, as its sysfs file
 * kexec_crash_loaded does ("1\n" or "0\n"), into buf (at least 4095
 * bytes).  The length, or a negative value when it cannot be asked.
 */
int panicforkiv_read_kexec_crash_loaded(char *buf);

int panicforkiv_num_online_cpus(void);
/*
 * Ask every other online CPU to run stop_cpu and then halt for ever,
 * without waiting for them.
 */
void kiv_xen_smp_send_stop(void (*stop_cpu)(void));
/* 1 while the CPU runs a hard interrupt handler. */
int panicforkiv_in_hardirq(void);
void panicforkiv_dump_stack(void);

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_SERVICES_H */
