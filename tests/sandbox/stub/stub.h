/*
 * The stand-in library is split by the kernel piece each file plays. A file
 * registers handlers with STUB_OPEN_HOOK and STUB_IOCTL_HOOK; stub.c owns
 * the intercepted open() and ioctl() and offers each call to the handlers
 * in turn before it goes to the C library.
 */
#ifndef TARNEX_STUB_H
#define TARNEX_STUB_H

#include <stddef.h>
#include <sys/types.h>

/* Returns 1 and stores the descriptor (or -1 with errno) in *fd when it
 * handled the open, else 0. */
typedef int (*stub_open_hook)(const char *path, int flags, int *fd);
/* Returns 1 and stores the ioctl's result (with errno set) in *result when
 * it handled the request, else 0. */
typedef int (*stub_ioctl_hook)(int fd, unsigned long request, void *arg, int *result);

#define STUB_OPEN_HOOK(fn) \
	static stub_open_hook fn##_entry __attribute__((used, section("stub_open_hooks"))) = fn
#define STUB_IOCTL_HOOK(fn) \
	static stub_ioctl_hook fn##_entry __attribute__((used, section("stub_ioctl_hooks"))) = fn

int stub_real_open(const char *path, int flags, mode_t mode);
int stub_real_ioctl(int fd, unsigned long request, void *arg);
/* The path a descriptor refers to (through /proc/self/fd); 0 or -1. */
int stub_fd_path(int fd, char *buf, size_t size);
/* Appends one formatted line to the file named by TARNEX_STUB_DUMP. */
void stub_dump(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
