/*
 * Configuration-space files of fixture PCI functions. A plain file cannot
 * play a Standard Hot-Plug Controller, whose data DWORD shows the register
 * that the select byte names, nor fail on demand; a sidecar file
 * "config.emul" next to a function's "config" makes the stand-in do both.
 * Its lines:
 *
 *   shpc CAP               the SHPC capability is at CAP: a read of the data
 *                          DWORD (CAP+4..CAP+7) shows the register whose index
 *                          the select byte at CAP+2 holds in the file
 *   reg INDEX VALUE        the value of SHPC register INDEX (others read 0)
 *   fail-read OFF [WIDTH]  a read starting at OFF (of WIDTH bytes) fails, EIO
 *   fail-write OFF [WIDTH] a write starting at OFF (of WIDTH bytes) fails, EIO
 *
 * Writes go to the file itself, so the select byte keeps the last index
 * written, as the hardware does. Numbers take C prefixes (0x...).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "stub.h"

#define SIDECAR "config.emul"
#define MAX_REGS 16
#define MAX_FAILS 8

struct emul {
	int shpc;         /* 1 when the window is emulated */
	unsigned cap;
	uint32_t regs[MAX_REGS];
	int fails;
	struct {
		int write;
		unsigned offset;
		unsigned width; /* 0: any */
	} fail[MAX_FAILS];
};

typedef ssize_t (*pread64_fn)(int, void *, size_t, off64_t);
typedef ssize_t (*pwrite64_fn)(int, const void *, size_t, off64_t);

static ssize_t real_pread64(int fd, void *buf, size_t n, off64_t off)
{
	static pread64_fn real;
	if (!real)
		real = (pread64_fn)dlsym(RTLD_NEXT, "pread64");
	return real(fd, buf, n, off);
}

static ssize_t real_pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
	static pwrite64_fn real;
	if (!real)
		real = (pwrite64_fn)dlsym(RTLD_NEXT, "pwrite64");
	return real(fd, buf, n, off);
}

/* Loads the sidecar of the config file fd refers to: 1, or 0 when fd is no
 * such file or it has no sidecar. */
static int load_emul(int fd, struct emul *e)
{
	char path[4096];
	if (stub_fd_path(fd, path, sizeof path - sizeof SIDECAR) != 0)
		return 0;
	size_t len = strlen(path);
	if (len < 7 || strcmp(path + len - 7, "/config") != 0)
		return 0;
	strcpy(path + len - 6, SIDECAR);
	int sfd = stub_real_open(path, O_RDONLY, 0);
	if (sfd < 0)
		return 0;
	FILE *f = fdopen(sfd, "r");
	if (!f) {
		close(sfd);
		return 0;
	}
	memset(e, 0, sizeof *e);
	char line[256];
	while (fgets(line, sizeof line, f)) {
		char key[32];
		long long a = 0, b = 0;
		int n = sscanf(line, "%31s %lli %lli", key, &a, &b);
		if (n < 2)
			continue;
		if (strcmp(key, "shpc") == 0) {
			e->shpc = 1;
			e->cap = (unsigned)a;
		} else if (strcmp(key, "reg") == 0 && n == 3 && a >= 0 && a < MAX_REGS) {
			e->regs[a] = (uint32_t)b;
		} else if ((strcmp(key, "fail-read") == 0 || strcmp(key, "fail-write") == 0) &&
			   e->fails < MAX_FAILS) {
			e->fail[e->fails].write = key[5] == 'w';
			e->fail[e->fails].offset = (unsigned)a;
			e->fail[e->fails].width = n == 3 ? (unsigned)b : 0;
			e->fails++;
		}
	}
	fclose(f);
	return 1;
}

static int must_fail(const struct emul *e, int write, size_t n, off64_t off)
{
	for (int i = 0; i < e->fails; i++)
		if (e->fail[i].write == write && (off64_t)e->fail[i].offset == off &&
		    (e->fail[i].width == 0 || e->fail[i].width == n))
			return 1;
	return 0;
}

static ssize_t emul_pread(int fd, void *buf, size_t n, off64_t off)
{
	struct emul e;
	if (!load_emul(fd, &e))
		return real_pread64(fd, buf, n, off);
	if (must_fail(&e, 0, n, off)) {
		errno = EIO;
		return -1;
	}
	ssize_t got = real_pread64(fd, buf, n, off);
	if (got <= 0 || !e.shpc)
		return got;
	/* Overlay the bytes of the data DWORD that this read covers. */
	uint8_t select;
	if (real_pread64(fd, &select, 1, (off64_t)e.cap + 2) != 1)
		return got;
	uint32_t value = select < MAX_REGS ? e.regs[select] : 0;
	for (off64_t at = off; at < off + got; at++) {
		off64_t k = at - (off64_t)(e.cap + 4);
		if (k >= 0 && k < 4)
			((uint8_t *)buf)[at - off] = (uint8_t)(value >> (8 * k));
	}
	return got;
}

static ssize_t emul_pwrite(int fd, const void *buf, size_t n, off64_t off)
{
	struct emul e;
	if (load_emul(fd, &e) && must_fail(&e, 1, n, off)) {
		errno = EIO;
		return -1;
	}
	return real_pwrite64(fd, buf, n, off);
}

ssize_t pread64(int fd, void *buf, size_t n, off64_t off)
{
	return emul_pread(fd, buf, n, off);
}

ssize_t pread(int fd, void *buf, size_t n, off_t off)
{
	return emul_pread(fd, buf, n, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t n, off64_t off)
{
	return emul_pwrite(fd, buf, n, off);
}

ssize_t pwrite(int fd, const void *buf, size_t n, off_t off)
{
	return emul_pwrite(fd, buf, n, off);
}
