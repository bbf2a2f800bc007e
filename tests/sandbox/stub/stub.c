/*
 * LD_PRELOAD stand-in for the kernel pieces the command talks to, for runs
 * in the sandbox. It catches open() of the driver node /dev/tarnex and the
 * ioctls on that descriptor; everything else goes to the C library.
 *
 * Environment:
 *   TARNEX_STUB_DUMP    file to which each driver request is appended
 *   TARNEX_STUB_REFUSE  request number (e.g. 0xc004fe01) the driver refuses
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define DRIVER_NODE "/dev/tarnex"

static int driver_fd = -1;

static int open_driver(void)
{
	int (*real_open)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, "open");
	driver_fd = real_open("/dev/null", O_RDWR);
	return driver_fd;
}

static int wants_mode(int flags)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

#define OPEN_WRAPPER(name)                                                        \
	int name(const char *path, int flags, ...)                                \
	{                                                                         \
		static int (*real)(const char *, int, ...);                       \
		mode_t mode = 0;                                                  \
		if (wants_mode(flags)) {                                          \
			va_list ap;                                               \
			va_start(ap, flags);                                      \
			mode = va_arg(ap, mode_t);                                \
			va_end(ap);                                               \
		}                                                                 \
		if (strcmp(path, DRIVER_NODE) == 0)                                 \
			return open_driver();                                     \
		if (!real)                                                        \
			real = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, #name); \
		return real(path, flags, mode);                                   \
	}

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

static void dump_request(unsigned long request)
{
	const char *path = getenv("TARNEX_STUB_DUMP");
	if (!path)
		return;
	FILE *f = fopen(path, "a");
	if (!f)
		return;
	fprintf(f, "request 0x%lx\n", request);
	fclose(f);
}

int ioctl(int fd, unsigned long request, ...)
{
	static int (*real)(int, unsigned long, ...);
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);

	if (fd >= 0 && fd == driver_fd) {
		const char *refuse = getenv("TARNEX_STUB_REFUSE");
		dump_request(request);
		if (refuse && strtoul(refuse, NULL, 0) == request) {
			errno = EINVAL;
			return -1;
		}
		return 0;
	}
	if (!real)
		real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
	return real(fd, request, arg);
}
