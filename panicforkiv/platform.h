/*
 * The few services the module's logic takes from its surroundings.
 *
 * The KCS transport, the machine-status commands (and whatever else runs at
 * panic time) reach the kernel only through the names below.  In the module
 * they map onto the running kernel (2.6.18 and current forms alike); the
 * user-space tests link the same C files against a BMC simulator that
 * provides these functions itself, with a virtual clock.
 *
 * Services are grouped below (port I/O, time, locks, interrupt lines,
 * atomic counter, log).  The larger kernel services that load, unload, the
 * panic path and the /proc files need are declared in services.h.
 * A service that later code needs from the kernel is added the same way:
 * a static inline here or a function in the glue (panicforkiv_mod.c) for
 * the module, and its counterpart in the test platform, so the logic using
 * it stays plain C that runs in both.
 *
 * The log is the kernel's own: printk with a KERN_* level at the start of
 * the format, pr_info and pr_err with the module's pr_fmt prefix.  The
 * test platform spells the levels "<N>" and records what is printed.
 *
 * Rules every implementation keeps:
 *  - nothing here sleeps or allocates; everything may run with interrupts
 *    off, on the panicking CPU, with the other CPUs stopped;
 *  - panicforkiv_udelay() busy-waits; panicforkiv_try_lock() never waits.
 */
#ifndef PANICFORKIV_PLATFORM_H
#define PANICFORKIV_PLATFORM_H

#ifdef __KERNEL__

#include <linux/version.h>
#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/spinlock.h>
#include <linux/delay.h>
#include <linux/nmi.h>
#include <linux/interrupt.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 25)
#include <linux/io.h>
#else
#include <asm/io.h>
#endif
#include <linux/string.h>
#include <linux/errno.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 15, 0)
#include <linux/stdarg.h>
#else
#include <stdarg.h>
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(3, 1, 0)
#include <linux/atomic.h>
#else
#include <asm/atomic.h>
#endif

#define PANICFORKIV_PRINTF(f, a) __attribute__((format(printf, f, a)))

/* --- port I/O: one byte, x86 I/O space --- */
static inline u8 panicforkiv_inb(u16 port)
{
	return inb(port);
}

static inline void panicforkiv_outb(u8 value, u16 port)
{
	outb(value, port);
}

/* --- time --- */
static inline void panicforkiv_udelay(unsigned int usecs)
{
	udelay(usecs);
}

static inline void panicforkiv_touch_nmi_watchdog(void)
{
	touch_nmi_watchdog();
}

/* --- locks --- */
/* A plain spin lock: waits, does not touch the interrupt flag. */
typedef spinlock_t panicforkiv_spinlock_t;
#define PANICFORKIV_DEFINE_SPINLOCK(name) DEFINE_SPINLOCK(name)

static inline void panicforkiv_spin_lock(panicforkiv_spinlock_t *lock)
{
	spin_lock(lock);
}

static inline void panicforkiv_spin_unlock(panicforkiv_spinlock_t *lock)
{
	spin_unlock(lock);
}

/* The same lock, taken with local interrupts saved and disabled. */
static inline void panicforkiv_spin_lock_irqsave(panicforkiv_spinlock_t *lock,
						 unsigned long *flags)
{
	unsigned long f;

	spin_lock_irqsave(lock, f);
	*flags = f;
}

static inline void panicforkiv_spin_unlock_irqrestore(panicforkiv_spinlock_t *lock,
						      unsigned long flags)
{
	spin_unlock_irqrestore(lock, flags);
}

static inline void panicforkiv_local_irq_disable(void)
{
	raw_local_irq_disable();
}

/* --- a counter shared between CPUs --- */
typedef atomic_t panicforkiv_atomic_t;

static inline void panicforkiv_atomic_set(panicforkiv_atomic_t *v, int i)
{
	atomic_set(v, i);
}

static inline int panicforkiv_atomic_read(panicforkiv_atomic_t *v)
{
	return atomic_read(v);
}

static inline void panicforkiv_atomic_dec(panicforkiv_atomic_t *v)
{
	atomic_dec(v);
}

/*
 * A lock that is only ever tried.  It is taken on the panic path with
 * interrupts off and from process context alike, so it is a bare atomic
 * flag: a mutex may not be tried from atomic context, and a spin lock
 * would keep preemption off across a sequence that can last minutes.
 */
typedef atomic_t panicforkiv_trylock_t;
#define PANICFORKIV_DEFINE_TRYLOCK(name) atomic_t name = ATOMIC_INIT(0)

/* 1 when the lock was free and is now ours, 0 when somebody holds it. */
static inline int panicforkiv_try_lock(panicforkiv_trylock_t *lock)
{
	return atomic_cmpxchg(lock, 0, 1) == 0;
}

static inline void panicforkiv_try_unlock(panicforkiv_trylock_t *lock)
{
	smp_mb();
	atomic_set(lock, 0);
}

/* --- interrupt lines --- */
/*
 * Line 0 is the timer.  Masking it keeps the timer, and with it every
 * timer-driven user of the KCS ports such as the kernel's own IPMI driver,
 * off this CPU while a machine-status sequence runs.  Where the tick no
 * longer comes on line 0 (the local APIC timer), local interrupts go off
 * with it and come back, as they were, with its unmask.  One sequence at a
 * time holds line 0, so one saved state is enough.
 */
extern unsigned long panicforkiv_timer_irq_flags;

/* Mask a line without waiting for handlers already running. */
static inline void panicforkiv_irq_mask(unsigned int irq)
{
	disable_irq_nosync(irq);
	if (irq == 0)
		local_irq_save(panicforkiv_timer_irq_flags);
}

static inline void panicforkiv_irq_unmask(unsigned int irq)
{
	enable_irq(irq);
	if (irq == 0)
		local_irq_restore(panicforkiv_timer_irq_flags);
}

#ifndef KERN_CONT
#define KERN_CONT               ""      /* before 2.6.25 a piece without \n continues */
#endif
/* Before 2.6.35 pr_info ignores pr_fmt, and pr_err is younger still. */
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 35)
#undef pr_info
#undef pr_err
#define pr_info(fmt, ...)       printk(KERN_INFO pr_fmt(fmt), ##__VA_ARGS__)
#define pr_err(fmt, ...)        printk(KERN_ERR pr_fmt(fmt), ##__VA_ARGS__)
#endif

#else /* user space: provided by the test platform */

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdint.h>
#include <string.h>
#include <errno.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;

#define PANICFORKIV_PRINTF(f, a) __attribute__((format(printf, f, a)))

typedef struct { int held; } panicforkiv_spinlock_t;
#define PANICFORKIV_DEFINE_SPINLOCK(name) panicforkiv_spinlock_t name = { 0 }
typedef struct { int held; } panicforkiv_trylock_t;
#define PANICFORKIV_DEFINE_TRYLOCK(name) panicforkiv_trylock_t name = { 0 }
typedef struct { volatile int counter; } panicforkiv_atomic_t;

#define __user

#define KERN_ERR                "<3>"
#define KERN_WARNING            "<4>"
#define KERN_INFO               "<6>"
#define KERN_CONT               ""
#define pr_info(fmt, ...)       printk(KERN_INFO pr_fmt(fmt), ##__VA_ARGS__)
#define pr_err(fmt, ...)        printk(KERN_ERR pr_fmt(fmt), ##__VA_ARGS__)

#ifdef __cplusplus
extern "C" {
#endif
int printk(const char *fmt, ...) PANICFORKIV_PRINTF(1, 2);
int vprintk(const char *fmt, va_list ap) PANICFORKIV_PRINTF(1, 0);
u8 panicforkiv_inb(u16 port);
void panicforkiv_outb(u8 value, u16 port);
void panicforkiv_udelay(unsigned int usecs);
void panicforkiv_touch_nmi_watchdog(void);
void panicforkiv_spin_lock(panicforkiv_spinlock_t *lock);
void panicforkiv_spin_unlock(panicforkiv_spinlock_t *lock);
int panicforkiv_try_lock(panicforkiv_trylock_t *lock);
void panicforkiv_try_unlock(panicforkiv_trylock_t *lock);
void panicforkiv_irq_mask(unsigned int irq);
void panicforkiv_irq_unmask(unsigned int irq);
void panicforkiv_spin_lock_irqsave(panicforkiv_spinlock_t *lock, unsigned long *flags);
void panicforkiv_spin_unlock_irqrestore(panicforkiv_spinlock_t *lock, unsigned long flags);
void panicforkiv_local_irq_disable(void);
void panicforkiv_atomic_set(panicforkiv_atomic_t *v, int i);
int panicforkiv_atomic_read(panicforkiv_atomic_t *v);
void panicforkiv_atomic_dec(panicforkiv_atomic_t *v);
#ifdef __cplusplus
}
#endif

#endif /* __KERNEL__ */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Make the console usable whatever lock a stopped CPU holds: on(1) before
 * a print that may run at panic time, on(0) after it.  Does nothing when
 * the kernel's function is not known.
 */
void panicforkiv_bust_spinlocks(int on);

#ifdef __cplusplus
}
#endif

#endif /* PANICFORKIV_PLATFORM_H */
