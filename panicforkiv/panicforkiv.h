/*
 * Module-wide state and the log helpers shared by every part of the module.
 * Every source file of the module includes this header first, so that the
 * message prefix below is the one the kernel's pr_* macros use.
 */
#ifndef PANICFORKIV_H
#define PANICFORKIV_H

#define PANICFORKIV_NAME        "panicforkiv"
#define PANICFORKIV_VERSION     "1.0.0"

/* Every message but the CPU-stop ones and the warning starts with our name. */
#define pr_fmt(fmt)             PANICFORKIV_NAME ": " fmt

#include "platform.h"
#include "services.h"

/* KCSBASEADDR when no KCS interface is known. */
#define KCS_NO_INTERFACE        (~(u64)0)

#ifdef __cplusplus
extern "C" {
#endif

/* Module parameter "debug flags": only ever tested for nonzero. */
extern long debug;
/* KCS data port (low 16 bits used); KCS_NO_INTERFACE when none was found. */
extern u64 KCSBASEADDR;
/* KCS interrupt line, 0 when none. */
extern u32 KCSIRQ;

/* kernel_load_mode: which kernel the module was loaded into. */
#define KERNEL_MODE_UNKNOWN     (-1)
#define KERNEL_MODE_SECOND      0       /* crash-dump kernel */
#define KERNEL_MODE_FIRST       1

extern int kernel_load_mode;
/* The driver's tarnex_hook while we hold a reference; NULL once called. */
extern int (*panicforkiv_func)(void);
/* 1 when tarnex_hook could not be obtained at load. */
extern int get_tarnex_hook_failed;
/* 1 once the panic notifier has sent (or tried to send) the halt status. */
extern int panic_called;
/* In-interrupt warnings of the kexec probe; only the first one prints. */
extern int warned;
/* Other CPUs that have not yet stopped on the kexec path. */
extern panicforkiv_atomic_t waiting_for_crash_ipi;
/* Last value accepted by a write to /proc/panicforkiv/message. */
extern long message;

/* Module load and unload (load.c), called by the kernel glue. */
int panicforkiv_load(void);
void panicforkiv_unload(void);
int get_kernel_mode(void);
void panicforkiv_unregister_hooks(void);
void put_tarnex_hook(void);

/* Where the KCS interface is (firmware.c): 0, or -ENODEV. */
int get_ipmi_interface(void);

/* The panic path (panic.c), handed to the kernel at load. */
int panicforkiv_panic_handler(struct notifier_block *nb, unsigned long event, void *data);
int panicforkiv_machine_kexec_handler(struct kprobe *p, struct pt_regs *regs);
void kiv_xen_smp_stop_cpu(void);

/* The /proc files (proc.c), in the kernel's read_proc/write_proc forms. */
int read_proc_file_debug(char *page, char **start, long off, int count, int *eof, void *data);
int write_proc_file_debug(struct file *file, const char __user *buffer,
			  unsigned long count, void *data);
int read_proc_file_message(char *page, char **start, long off, int count, int *eof, void *data);
int write_proc_file_message(struct file *file, const char __user *buffer,
			    unsigned long count, void *data);
/*
 * The text parse of a /proc write: a decimal number with an optional
 * minus sign, at the start of text.  The number of digits read, 0 when
 * there is none or the number does not fit in a long; *value is the
 * number (0 when none).
 */
int panicforkiv_parse_long(const char *text, long *value);

/*
 * The two debug prints, both silent while debug is 0.  The ordinary one is
 * a plain printk for process context; the panic-safe one brackets the
 * printk with bust_spinlocks(1) and bust_spinlocks(0), so that the console
 * is usable whatever lock a stopped CPU holds.  fmt starts with its KERN_*
 * level; dbg() and dbg_safe() add the module's prefix after it.
 */
void panicforkiv_debug_print(const char *fmt, ...) PANICFORKIV_PRINTF(1, 2);
void panicforkiv_debug_print_safe(const char *fmt, ...) PANICFORKIV_PRINTF(1, 2);

#define dbg(level, fmt, ...)      panicforkiv_debug_print(level pr_fmt(fmt), ##__VA_ARGS__)
#define dbg_safe(level, fmt, ...) panicforkiv_debug_print_safe(level pr_fmt(fmt), ##__VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_H */
