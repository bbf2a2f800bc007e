/*
 * LD_PRELOAD stand-in for the kernel pieces the command talks to in the
 * sandbox. It judges nothing: it answers, and appends a JSON line per event
 * to $TARNEX_STUB_DUMP: {"open", "flags", "errno"}, {"ioctl", "dev", "errno"}
 * and, for the driver's two requests, {"request", "result", "errno",
 * "record": HEX, "hbas": [HEX|null...]}, the raw records handed over.
 * /dev/tarnex opens as /dev/null (or fails: $TARNEX_STUB_OPEN_ERRNO); its
 *   requests succeed unless $TARNEX_STUB_REFUSE names one, which then fails
 *   with $TARNEX_STUB_ERRNO (EINVAL), gets $TARNEX_STUB_ERR_NUM and
 *   $TARNEX_STUB_DEVICE_ERR_NUM written in and, with $TARNEX_STUB_SCRIBBLE,
 *   its counts and addresses wrecked.
 * A disk node listed as "MAJOR:MINOR ANSWER" in $TARNEX_STUB_SCSI opens as
 *   /dev/null ("open!ERRNO": fails); SCSI_IOCTL_GET_PCI copies ANSWER as the
 *   kernel does, 20 bytes at most, no terminator added ("!ERRNO": fails).
 *   /dev/mxvol/_diag, where it exists, opens too; its pass-through request
 *   asks the disk it names.
 * A "config.emul" beside a "config" file makes the SHPC data DWORD at CAP+4
 *   ("shpc CAP") show register "reg INDEX VALUE" named by the select byte at
 *   CAP+2, and a write at OFF fail with EIO ("fail-write OFF").
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
#define MAX_COUNT 4096 /* a larger count is a wrecked record: not followed */

/* What each descriptor handed out stands for, by its number. */
enum { NONE, DISK, DRIVER, DIAG };
static struct { int kind; dev_t dev; } fds[1024];

#define REAL(ret, name, ...) \
	static ret (*real)(__VA_ARGS__); \
	if (!real) \
		real = (ret (*)(__VA_ARGS__))dlsym(RTLD_NEXT, name)

static long env(const char *name, long fallback)
{
	const char *v = getenv(name);
	return v && *v ? (long)strtoll(v, NULL, 0) : fallback;
}

static FILE *dump(void)
{
	const char *path = getenv("TARNEX_STUB_DUMP");
	return path ? fopen(path, "a") : NULL;
}

static void hex(FILE *f, const void *p, size_t n)
{
	fputc('"', f);
	for (size_t i = 0; i < n; i++)
		fprintf(f, "%02x", ((const unsigned char *)p)[i]);
	fputc('"', f);
}

/* The answer listed for a disk (a 256-byte buffer), or NULL. */
static const char *answer(dev_t dev, char *buf)
{
	const char *list = getenv("TARNEX_STUB_SCSI");
	FILE *f = list ? fopen(list, "r") : NULL;
	unsigned ma, mi, found = 0;
	char line[300];
	while (f && !found && fgets(line, sizeof line, f))
		found = sscanf(line, "%u:%u %255s", &ma, &mi, buf) == 3 && makedev(ma, mi) == dev;
	if (f)
		fclose(f);
	return found ? buf : NULL;
}

/* The command is built with 64-bit file offsets: open64, pread64, pwrite64. */
int open64(const char *path, int flags, ...)
{
	REAL(int, "open64", const char *, int, ...);
	va_list ap;
	va_start(ap, flags);
	mode_t mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
	va_end(ap);
	struct stat st = {0};
	char buf[256];
	const char *a = NULL;
	int err = 0, kind = DISK;
	if (strcmp(path, "/dev/tarnex") == 0)
		kind = DRIVER, err = (int)env("TARNEX_STUB_OPEN_ERRNO", 0);
	else if (strcmp(path, "/dev/mxvol/_diag") == 0 && stat(path, &st) == 0)
		kind = DIAG;
	else if (stat(path, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) ||
		 !(a = answer(st.st_rdev, buf)))
		return real(path, flags, mode);
	else if (strncmp(a, "open!", 5) == 0)
		err = atoi(a + 5);
	FILE *f = dump();
	if (f)
		fprintf(f, "{\"open\": \"%s\", \"flags\": %d, \"errno\": %d}\n", path, flags, err),
			fclose(f);
	int fd = err ? -1 : real("/dev/null", O_RDWR);
	if (fd >= 0 && fd < 1024)
		fds[fd].kind = kind, fds[fd].dev = kind == DISK ? st.st_rdev : 0;
	errno = err ? err : errno;
	return fd;
}

/* The size of an hba_info_array: 8 bytes and 36 per element. */
static size_t array_size(const void *a)
{
	uint32_t count = *(const uint32_t *)a;
	return count > MAX_COUNT ? 0 : 8 + 36 * (size_t)count;
}

static int driver_request(unsigned long request, uint8_t *r)
{
	int refuse = request == (unsigned long)env("TARNEX_STUB_REFUSE", 0);
	int err = refuse ? (int)env("TARNEX_STUB_ERRNO", EINVAL) : 0;
	uint32_t *count = (uint32_t *)r, n = *count <= MAX_COUNT ? *count : 0;
	FILE *f = dump();
	if (f) {
		fprintf(f, "{\"request\": %lu, \"result\": %d, \"errno\": %d, \"record\": ", request,
			err ? -1 : 0, err);
		if (request == SET_HBA_INFO) {
			hex(f, r, array_size(r));
		} else {
			hex(f, r, 20 + 76 * (size_t)n);
			fputs(", \"hbas\": [", f);
			for (uint32_t i = 0; i < n; i++) {
				uint32_t a = *(uint32_t *)(r + 20 + 76 * i + 72);
				fputs(i ? ", " : "", f);
				a ? hex(f, (void *)(uintptr_t)a, array_size((void *)(uintptr_t)a))
				  : (void)fputs("null", f);
			}
			fputc(']', f);
		}
		fputs("}\n", f);
		fclose(f);
	}
	if (refuse) {
		int32_t *head = (int32_t *)r;
		head[request == SET_HBA_INFO ? 1 : 3] = (int32_t)env("TARNEX_STUB_ERR_NUM", 0);
		if (request == SET_SHPC_INFO)
			head[4] = (int32_t)env("TARNEX_STUB_DEVICE_ERR_NUM", 0);
		for (uint32_t i = 0; env("TARNEX_STUB_SCRIBBLE", 0) && request == SET_SHPC_INFO && i < n;
		     i++) {
			*(uint32_t *)(r + 20 + 76 * i + 68) = 0x7fffffff; /* hba_count */
			*(uint32_t *)(r + 20 + 76 * i + 72) = 0xdeadbeef; /* hbas */
		}
		if (env("TARNEX_STUB_SCRIBBLE", 0))
			*count = 0x7fffffff;
	}
	return err;
}

/* SCSI_IOCTL_GET_PCI on a disk into a 20-byte buffer: 0 or an errno. */
static int get_pci(dev_t dev, char *out)
{
	char buf[256];
	const char *a = answer(dev, buf);
	if (!a || a[0] == '!')
		return a ? atoi(a + 1) : ENODEV;
	memcpy(out, a, strlen(a) < 20 ? strlen(a) : 20);
	return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
	REAL(int, "ioctl", int, unsigned long, ...);
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	int err, kind = fd >= 0 && fd < 1024 ? fds[fd].kind : NONE;
	dev_t dev = kind ? fds[fd].dev : 0;
	uint32_t *req = arg; /* pass-through: device low, high, request, buffer */
	if (kind == DRIVER && (request == SET_HBA_INFO || request == SET_SHPC_INFO))
		return (errno = driver_request(request, arg)) ? -1 : 0;
	if (kind == DISK && request == SCSI_IOCTL_GET_PCI)
		err = get_pci(dev, arg);
	else if (kind == DIAG && request == MXVOL_PASSTHROUGH) {
		dev = (dev_t)req[0] | (dev_t)req[1] << 32;
		err = req[2] != SCSI_IOCTL_GET_PCI ? EINVAL : get_pci(dev, (char *)(uintptr_t)req[3]);
	} else {
		return real(fd, request, arg);
	}
	FILE *f = dump();
	if (f)
		fprintf(f, "{\"ioctl\": %lu, \"dev\": \"%u:%u\", \"errno\": %d}\n", request, major(dev),
			minor(dev), err),
			fclose(f);
	errno = err;
	return err ? -1 : 0;
}

/* The emulation beside the config file fd refers to: 1 and its SHPC
 * capability (0: none), registers and failing write offset; else 0. */
static int emul(int fd, unsigned *cap, uint32_t *regs, long *fail_write)
{
	char path[4200], link[64], line[128], key[32];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = readlink(link, path, 4096);
	if (n < 7 || memcmp(path + n - 7, "/config", 7) != 0)
		return 0;
	strcpy(path + n, ".emul");
	FILE *f = fopen(path, "r");
	long long a, b;
	*cap = 0, *fail_write = -1;
	memset(regs, 0, 16 * sizeof *regs);
	while (f && fgets(line, sizeof line, f)) {
		int k = sscanf(line, "%31s %lli %lli", key, &a, &b);
		if (k >= 2 && strcmp(key, "shpc") == 0)
			*cap = (unsigned)a;
		else if (k == 3 && strcmp(key, "reg") == 0 && a >= 0 && a < 16)
			regs[a] = (uint32_t)b;
		else if (k >= 2 && strcmp(key, "fail-write") == 0)
			*fail_write = (long)a;
	}
	return f ? fclose(f), 1 : 0;
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t off)
{
	REAL(ssize_t, "pread64", int, void *, size_t, off64_t);
	unsigned cap;
	uint32_t regs[16];
	long fail_write;
	uint8_t select;
	ssize_t got = real(fd, buf, n, off);
	if (got <= 0 || !emul(fd, &cap, regs, &fail_write) || !cap ||
	    real(fd, &select, 1, cap + 2) != 1)
		return got;
	/* Overlay the bytes of the data DWORD that this read covers. */
	for (off64_t at = off; at < off + got; at++)
		if (at >= cap + 4 && at < cap + 8)
			((uint8_t *)buf)[at - off] = (uint8_t)((select < 16 ? regs[select] : 0) >> (8 * (at - cap - 4)));
	return got;
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
