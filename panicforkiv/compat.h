/*
 * Kernel interfaces that changed between the kernels the module builds for:
 * the 2.6.18 forms (i686, Xen) and the current ones (Debian 12's 6.1).
 * Only the kernel-side glue includes this.
 */
#ifndef PANICFORKIV_COMPAT_H
#define PANICFORKIV_COMPAT_H

#include <linux/version.h>

#define PFK_KV_GE(a, b, c)      (LINUX_VERSION_CODE >= KERNEL_VERSION(a, b, c))

/*
 * Before 2.6.25 the command line is read through the static read_proc
 * handler cmdline_read_proc and the crash-kernel flag through the static
 * sysfs show function kexec_crash_loaded_show, both found with kallsyms.
 * Later kernels have neither in that form: the command line is the string
 * saved_command_line points to (found with kallsyms), and the flag comes
 * from the exported kexec_crash_loaded().
 */
#define PFK_OLD_RUNTIME_SYMBOLS (!PFK_KV_GE(2, 6, 25))

/* kprobes by symbol name arrived in 2.6.19; before, kallsyms is exported. */
#define PFK_KPROBE_SYMBOL_NAME  PFK_KV_GE(2, 6, 19)
/* The kprobe fault handler went away in 5.14. */
#define PFK_KPROBE_FAULT        (!PFK_KV_GE(5, 14, 0))

/* saved registers: eip/eflags on i386 before the x86 merge of the names */
#if PFK_KV_GE(2, 6, 25)
#define PFK_REG_IP(regs)        ((regs)->ip)
#define PFK_REG_FLAGS(regs)     ((regs)->flags)
#else
#define PFK_REG_IP(regs)        ((regs)->eip)
#define PFK_REG_FLAGS(regs)     ((regs)->eflags)
#endif

/* /proc: read_proc/write_proc entries, then file_operations, then proc_ops. */
#define PFK_PROC_READ_PROC      (!PFK_KV_GE(3, 10, 0))
#define PFK_PROC_OPS            PFK_KV_GE(5, 6, 0)
#if PFK_KV_GE(5, 17, 0)
#define PFK_PDE_DATA(inode)     pde_data(inode)
#else
#define PFK_PDE_DATA(inode)     PDE_DATA(inode)
#endif
/* proc entries had an owner module until 2.6.30 */
#define PFK_PROC_OWNER          (!PFK_KV_GE(2, 6, 30))

/* ACPI tables: acpi_get_firmware_table before 2.6.21, acpi_put_table from 4.10. */
#define PFK_ACPI_GET_TABLE      PFK_KV_GE(2, 6, 21)
#define PFK_ACPI_PUT_TABLE      PFK_KV_GE(4, 10, 0)

/* dmi_find_device works on const devices since 2.6.24. */
#if PFK_KV_GE(2, 6, 24)
typedef const struct dmi_device pfk_dmi_device;
#else
typedef struct dmi_device pfk_dmi_device;
#endif

/* The panic notifier list has its own header since 5.14. */
#define PFK_PANIC_NOTIFIER_H    PFK_KV_GE(5, 14, 0)

#ifndef in_hardirq
#define in_hardirq()            in_irq()
#endif

#endif /* PANICFORKIV_COMPAT_H */
