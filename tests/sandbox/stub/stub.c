/*
 * LD_PRELOAD stand-in for the kernel pieces the command talks to, for runs
 * in the sandbox: open() and ioctl() are offered to the handlers of the
 * other files first (see stub.h).
 *
 * Environment:
 *   TARNEX_STUB_DUMP    file to which the handlers append what they saw
 */
#define _GNU_SOURCE
#include "stub.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

extern stub_open_hook __start_stub_open_hooks[] __attribute__((weak));
extern stub_open_hook __stop_stub_open_hooks[] __attribute__((weak));
extern stub_ioctl_hook __start_stub_ioctl_hooks[] __attribute__((weak));
extern stub_ioctl_hook __stop_stub_ioctl_hooks[] __attribute__((weak));

int stub_real_open(const char *path, int flags, mode_t mode)
{
	static int (*real)(const char *, int, ...);
	if (!real)
		real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open64");
	return real(path, flags, mode);
}

int stub_real_ioctl(int fd, unsigned long request, void *arg)
{
	static int (*real)(int, unsigned long, ...);
	if (!real)
		real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
	return real(fd, request, arg);
}

int stub_fd_path(int fd, char *buf, size_t size)
{
	char link[64];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, buf, size - 1);
	if (n < 0)
		return -1;
	buf[n] = '\0';
	return 0;
}

void stub_dump(const char *fmt, ...)
{
	const char *path = getenv("TARNEX_STUB_DUMP");
	if (!path)
		return;
	FILE *f = fopen(path, "a");
	if (!f)
		return;
	va_list ap;
	va_start(ap, fmt);
	vfprintf(f, fmt, ap);
	va_end(ap);
	fclose(f);
}

static int intercepted_open(const char *path, int flags, mode_t mode)
{
	for (stub_open_hook *h = __start_stub_open_hooks; h && h < __stop_stub_open_hooks; h++) {
		int fd;
		if ((*h)(path, flags, &fd))
			return fd;
	}
	return stub_real_open(path, flags, mode);
}

static mode_t open_mode(int flags, va_list ap)
{
	if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
		return va_arg(ap, mode_t);
	return 0;
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = open_mode(flags, ap);
	va_end(ap);
	return intercepted_open(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = open_mode(flags, ap);
	va_end(ap);
	return intercepted_open(path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	for (stub_ioctl_hook *h = __start_stub_ioctl_hooks; h && h < __stop_stub_ioctl_hooks; h++) {
		int result;
		if ((*h)(fd, request, arg, &result))
			return result;
	}
	return stub_real_ioctl(fd, request, arg);
}
