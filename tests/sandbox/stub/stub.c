/*
 * LD_PRELOAD stand-in for the kernel pieces the command talks to in the
 * sandbox. It judges nothing: it answers and appends one JSON line per
 * event to $TARNEX_STUB_DUMP, and the tests decode and compare.
 *
 * /dev/tarnex: open gives a /dev/null descriptor (or fails with
 *   $TARNEX_STUB_OPEN_ERRNO). Requests 0xc004fe00 and 0xc004fe01 dump the raw
 *   records handed over, {"request", "result", "errno", "record": HEX,
 *   "hbas": [HEX|null...]}, and are accepted unless $TARNEX_STUB_REFUSE names
 *   the request: then it fails with $TARNEX_STUB_ERRNO (default EINVAL),
 *   writes $TARNEX_STUB_ERR_NUM and $TARNEX_STUB_DEVICE_ERR_NUM into the
 *   record and, with $TARNEX_STUB_SCRIBBLE, wrecks its counts and addresses.
 * Disks: a node whose MAJOR:MINOR is listed in $TARNEX_STUB_SCSI as
 *   "MAJOR:MINOR ANSWER" opens (or fails with ANSWER "open!ERRNO");
 *   SCSI_IOCTL_GET_PCI copies ANSWER as the kernel does (20 bytes at most, no
 *   terminator added) or fails with ANSWER "!ERRNO". /dev/mxvol/_diag opens
 *   when it exists, and its pass-through request asks the disk it names.
 *   Dump: {"open", "flags", "errno"} and {"ioctl", "dev", "result", "errno"}.
 * Configuration space: a "config.emul" file beside a "config" file holds
 *   lines "shpc CAP" (the data DWORD at CAP+4 shows register "reg INDEX
 *   VALUE" named by the select byte at CAP+2) and "fail-write OFF" (a write
 *   there fails with EIO).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define SET_HBA_INFO 0xc004fe00UL
#define SET_SHPC_INFO 0xc004fe01UL
#define SCSI_IOCTL_GET_PCI 0x5387UL
#define MXVOL_PASSTHROUGH 0x737800UL
#define MAX_FDS 64
#define MAX_COUNT 4096 /* a larger count is a wrecked record: not followed */

enum { DRIVER = -1, DIAG = -2 };
static struct { int fd, kind; unsigned major, minor; } fds[MAX_FDS];
static int nfds;

#define REAL(ret, name, ...) \
	static ret (*real)(__VA_ARGS__); \
	if (!real) \
		real = (ret (*)(__VA_ARGS__))dlsym(RTLD_NEXT, name)

static int real_open(const char *path, int flags, mode_t mode)
{
	REAL(int, "open64", const char *, int, ...);
	return real(path, flags, mode);
}

static long env(const char *name, long fallback)
{
	const char *v = getenv(name);
	return v && *v ? (long)strtoll(v, NULL, 0) : fallback;
}

static void dump(const char *fmt, ...)
{
	const char *path = getenv("TARNEX_STUB_DUMP");
	FILE *f = path ? fopen(path, "a") : NULL;
	if (!f)
		return;
	va_list ap;
	va_start(ap, fmt);
	vfprintf(f, fmt, ap);
	va_end(ap);
	fclose(f);
}

static void hex(FILE *f, const void *p, size_t n)
{
	fputc('"', f);
	for (size_t i = 0; i < n; i++)
		fprintf(f, "%02x", ((const unsigned char *)p)[i]);
	fputc('"', f);
}

/* The disk answer listed for major:minor, or NULL. */
static const char *answer(unsigned major, unsigned minor, char *buf)
{
	const char *list = getenv("TARNEX_STUB_SCSI");
	FILE *f = list ? fopen(list, "r") : NULL;
	const char *found = NULL;
	unsigned ma, mi;
	char line[256];
	while (f && !found && fgets(line, sizeof line, f))
		if (sscanf(line, "%u:%u %255s", &ma, &mi, buf) == 3 && ma == major && mi == minor)
			found = buf;
	if (f)
		fclose(f);
	return found;
}

static int remember(int fd, int kind, unsigned major, unsigned minor)
{
	int i = 0;
	while (i < nfds && fds[i].fd != fd)
		i++;
	if (i == MAX_FDS)
		return fd;
	if (i == nfds)
		nfds++;
	fds[i].fd = fd, fds[i].kind = kind, fds[i].major = major, fds[i].minor = minor;
	return fd;
}

static int intercepted_open(const char *path, int flags, mode_t mode)
{
	struct stat st;
	char buf[256];
	const char *a = NULL;
	int err = 0, kind;
	if (strcmp(path, "/dev/tarnex") == 0) {
		kind = DRIVER;
		err = (int)env("TARNEX_STUB_OPEN_ERRNO", 0);
	} else if (strcmp(path, "/dev/mxvol/_diag") == 0 && stat(path, &st) == 0) {
		kind = DIAG;
	} else if (stat(path, &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) &&
		   (a = answer(major(st.st_rdev), minor(st.st_rdev), buf))) {
		kind = 0;
		if (strncmp(a, "open!", 5) == 0)
			err = atoi(a + 5);
	} else {
		return real_open(path, flags, mode);
	}
	dump("{\"open\": \"%s\", \"flags\": %d, \"errno\": %d}\n", path, flags, err);
	if (err) {
		errno = err;
		return -1;
	}
	int fd = real_open("/dev/null", O_RDWR, 0);
	return fd < 0 ? fd : remember(fd, kind, a ? major(st.st_rdev) : 0, a ? minor(st.st_rdev) : 0);
}

int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return intercepted_open(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	return intercepted_open(path, flags, mode);
}

/* An hba_info_array: its 8-byte header and count 36-byte elements. */
static size_t array_size(const void *a)
{
	uint32_t count = *(const uint32_t *)a;
	return count > MAX_COUNT ? 0 : 8 + 36 * (size_t)count;
}

static int driver_request(unsigned long request, void *arg)
{
	char *text = NULL;
	size_t len = 0;
	FILE *f = open_memstream(&text, &len);
	if (!f)
		return ENOMEM;
	int refuse = request == (unsigned long)env("TARNEX_STUB_REFUSE", 0);
	int err = refuse ? (int)env("TARNEX_STUB_ERRNO", EINVAL) : 0;
	fprintf(f, "{\"request\": %lu, \"result\": %d, \"errno\": %d, \"record\": ", request,
		err ? -1 : 0, err);
	uint8_t *r = arg;
	if (request == SET_HBA_INFO) {
		hex(f, r, array_size(r));
	} else {
		uint32_t count = *(uint32_t *)r;
		if (count > MAX_COUNT)
			count = 0;
		hex(f, r, 20 + 76 * (size_t)count);
		fputs(", \"hbas\": [", f);
		for (uint32_t i = 0; i < count; i++) {
			const void *a = (const void *)(uintptr_t)*(uint32_t *)(r + 20 + 76 * i + 72);
			fputs(i ? ", " : "", f);
			if (a)
				hex(f, a, array_size(a));
			else
				fputs("null", f);
		}
		fputc(']', f);
	}
	fputs("}\n", f);
	fclose(f);
	dump("%s", text);
	free(text);
	if (refuse) {
		int32_t *head = arg;
		head[request == SET_HBA_INFO ? 1 : 3] = (int32_t)env("TARNEX_STUB_ERR_NUM", 0);
		if (request == SET_SHPC_INFO)
			head[4] = (int32_t)env("TARNEX_STUB_DEVICE_ERR_NUM", 0);
		if (env("TARNEX_STUB_SCRIBBLE", 0)) {
			uint32_t count = *(uint32_t *)r;
			for (uint32_t i = 0; request == SET_SHPC_INFO && i < count && i < MAX_COUNT; i++) {
				*(uint32_t *)(r + 20 + 76 * i + 68) = 0x7fffffff;
				*(uint32_t *)(r + 20 + 76 * i + 72) = 0xdeadbeef;
			}
			*(uint32_t *)r = 0x7fffffff;
		}
	}
	return err;
}

/* SCSI_IOCTL_GET_PCI on major:minor into a 20-byte buffer: 0 or an errno. */
static int get_pci(unsigned major, unsigned minor, char *out)
{
	char buf[256];
	const char *a = answer(major, minor, buf);
	if (!a)
		return ENODEV;
	if (a[0] == '!')
		return atoi(a + 1);
	size_t n = strlen(a);
	memcpy(out, a, n < 20 ? n : 20);
	return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	int i = 0, err;
	while (i < nfds && fds[i].fd != fd)
		i++;
	unsigned major = i < nfds ? fds[i].major : 0, minor = i < nfds ? fds[i].minor : 0;
	if (i < nfds && fds[i].kind == DRIVER &&
	    (request == SET_HBA_INFO || request == SET_SHPC_INFO)) {
		err = driver_request(request, arg);
	} else if (i < nfds && fds[i].kind == 0 && request == SCSI_IOCTL_GET_PCI) {
		err = get_pci(major, minor, arg);
	} else if (i < nfds && fds[i].kind == DIAG && request == MXVOL_PASSTHROUGH) {
		const uint32_t *req = arg; /* dev low, dev high, request, buffer */
		dev_t dev = (dev_t)req[0] | (dev_t)req[1] << 32;
		major = major(dev), minor = minor(dev);
		err = req[2] != SCSI_IOCTL_GET_PCI ? EINVAL
						   : get_pci(major, minor, (char *)(uintptr_t)req[3]);
	} else {
		REAL(int, "ioctl", int, unsigned long, ...);
		return real(fd, request, arg);
	}
	if (request != SET_HBA_INFO && request != SET_SHPC_INFO)
		dump("{\"ioctl\": %lu, \"dev\": \"%u:%u\", \"result\": %d, \"errno\": %d}\n", request,
		     major, minor, err ? -1 : 0, err);
	errno = err;
	return err ? -1 : 0;
}

/* The emulation lines beside the config file fd refers to; 0 if none. */
static int emul(int fd, unsigned *cap, uint32_t *regs, long *fail_write)
{
	char path[4200], link[64], line[128], key[32];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, path, 4096);
	if (n < 7 || memcmp(path + n - 7, "/config", 7) != 0)
		return 0;
	strcpy(path + n, ".emul");
	FILE *f = fopen(path, "r");
	if (!f)
		return 0;
	*cap = 0, *fail_write = -1;
	memset(regs, 0, 16 * sizeof *regs);
	long long a, b;
	while (fgets(line, sizeof line, f)) {
		int k = sscanf(line, "%31s %lli %lli", key, &a, &b);
		if (k >= 2 && strcmp(key, "shpc") == 0)
			*cap = (unsigned)a;
		else if (k == 3 && strcmp(key, "reg") == 0 && a >= 0 && a < 16)
			regs[a] = (uint32_t)b;
		else if (k >= 2 && strcmp(key, "fail-write") == 0)
			*fail_write = (long)a;
	}
	fclose(f);
	return 1;
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t off)
{
	REAL(ssize_t, "pread64", int, void *, size_t, off64_t);
	unsigned cap;
	uint32_t regs[16];
	long fail_write;
	if (!emul(fd, &cap, regs, &fail_write))
		return real(fd, buf, n, off);
	ssize_t got = real(fd, buf, n, off);
	uint8_t select;
	if (got <= 0 || !cap || real(fd, &select, 1, cap + 2) != 1)
		return got;
	/* Overlay the bytes of the data DWORD that this read covers. */
	uint32_t value = select < 16 ? regs[select] : 0;
	for (off64_t at = off; at < off + got; at++)
		if (at >= cap + 4 && at < cap + 8)
			((uint8_t *)buf)[at - off] = (uint8_t)(value >> (8 * (at - cap - 4)));
	return got;
}

ssize_t pread(int fd, void *buf, size_t n, off_t off)
{
	return pread64(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
	REAL(ssize_t, "pwrite64", int, const void *, size_t, off64_t);
	unsigned cap;
	uint32_t regs[16];
	long fail_write;
	if (emul(fd, &cap, regs, &fail_write) && off == fail_write) {
		errno = EIO;
		return -1;
	}
	return real(fd, buf, n, off);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	return pwrite64(fd, buf, n, off);
}
