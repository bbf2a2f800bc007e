/*
 * The tarnex driver's node /dev/tarnex: opening it gives a descriptor the
 * stand-in recognises; its two requests are logged and accepted, or refused
 * when TARNEX_STUB_REFUSE names the request.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include "stub.h"

#define DRIVER_NODE "/dev/tarnex"

static int driver_fd = -1;

static int driver_open(const char *path, int flags, int *fd)
{
	(void)flags;
	if (strcmp(path, DRIVER_NODE) != 0)
		return 0;
	driver_fd = stub_real_open("/dev/null", O_RDWR, 0);
	*fd = driver_fd;
	return 1;
}
STUB_OPEN_HOOK(driver_open);

static int driver_ioctl(int fd, unsigned long request, void *arg, int *result)
{
	(void)arg;
	if (fd < 0 || fd != driver_fd)
		return 0;
	const char *refuse = getenv("TARNEX_STUB_REFUSE");
	stub_dump("request 0x%lx\n", request);
	if (refuse && strtoul(refuse, NULL, 0) == request) {
		errno = EINVAL;
		*result = -1;
	} else {
		*result = 0;
	}
	return 1;
}
STUB_IOCTL_HOOK(driver_ioctl);
