/*
 * SCSI disks and the volume manager's diagnostic node, for tarnex -a.
 *
 * A fixture disk is a block (or character) node in the fixture /dev whose
 * device number is listed in the file named by TARNEX_STUB_SCSI, one line
 * per disk:
 *
 *   MAJOR:MINOR NAME       SCSI_IOCTL_GET_PCI answers NAME, copied as the
 *                          kernel does: at most 20 bytes, no terminator added
 *   MAJOR:MINOR !ERRNO     SCSI_IOCTL_GET_PCI fails with ERRNO
 *   MAJOR:MINOR open!ERRNO opening the node fails with ERRNO
 *
 * Opening a listed node gives a stand-in descriptor. /dev/mxvol/_diag, when
 * it exists in the fixture, gives one too; its pass-through request
 * 0x737800 performs the inner request of its 16-byte record on the disk the
 * record names, from the same list.
 *
 * Dump lines ($TARNEX_STUB_DUMP, one JSON object each):
 *   {"open": PATH, "dev": "M:m", "flags": N, "errno": N}      a disk
 *   {"open": "/dev/mxvol/_diag", "flags": N, "errno": 0}
 *   {"request": 21383, "dev": "M:m", "result": N, "errno": N}  on a disk
 *   {"request": 7567360, "dev": "M:m", "command": N, "result": N, "errno": N}
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "stub.h"

#define SCSI_IOCTL_GET_PCI 0x5387UL
#define MXVOL_PASSTHROUGH 0x737800UL
#define PCI_NAME_SIZE 20
#define DIAG_NODE "/dev/mxvol/_diag"
#define MAX_DISKS 64
#define MAX_FDS 64

struct disk {
	unsigned major, minor;
	char name[128];
	int ioctl_errno;
	int open_errno;
};

struct passthrough {
	uint32_t dev_low, dev_high, command, buffer;
};

static struct disk disks[MAX_DISKS];
static int disk_count = -1; /* -1: list not read yet */

/* Descriptors handed out: the disk each stands for, or -1 for the node.
 * close() is not followed: an entry is replaced when its number comes back
 * from another stand-in open, and only the two requests below are taken. */
static struct {
	int fd;
	int disk;
} open_fds[MAX_FDS];
static int open_fd_count;

static void load_disks(void)
{
	if (disk_count >= 0)
		return;
	disk_count = 0;
	const char *list = getenv("TARNEX_STUB_SCSI");
	if (!list)
		return;
	FILE *f = fopen(list, "r");
	if (!f)
		return;
	char line[256];
	while (disk_count < MAX_DISKS && fgets(line, sizeof line, f)) {
		struct disk *d = &disks[disk_count];
		char answer[128];
		memset(d, 0, sizeof *d);
		if (sscanf(line, "%u:%u %127s", &d->major, &d->minor, answer) != 3)
			continue;
		if (answer[0] == '!')
			d->ioctl_errno = atoi(answer + 1);
		else if (strncmp(answer, "open!", 5) == 0)
			d->open_errno = atoi(answer + 5);
		else
			snprintf(d->name, sizeof d->name, "%s", answer);
		disk_count++;
	}
	fclose(f);
}

static int find_disk(unsigned major, unsigned minor)
{
	load_disks();
	for (int i = 0; i < disk_count; i++)
		if (disks[i].major == major && disks[i].minor == minor)
			return i;
	return -1;
}

static void remember(int fd, int disk)
{
	for (int i = 0; i < open_fd_count; i++) {
		if (open_fds[i].fd == fd) {
			open_fds[i].disk = disk;
			return;
		}
	}
	if (open_fd_count < MAX_FDS) {
		open_fds[open_fd_count].fd = fd;
		open_fds[open_fd_count].disk = disk;
		open_fd_count++;
	}
}

/* 1 when fd is one of ours, with the disk it stands for (-1: the node). */
static int lookup(int fd, int *disk)
{
	for (int i = 0; i < open_fd_count; i++) {
		if (open_fds[i].fd == fd) {
			*disk = open_fds[i].disk;
			return 1;
		}
	}
	return 0;
}

static int scsi_open(const char *path, int flags, int *fd)
{
	struct stat st;
	int disk = -2;
	if (strcmp(path, DIAG_NODE) == 0) {
		if (stat(path, &st) == -1)
			return 0;
		disk = -1;
	} else {
		if (stat(path, &st) == -1 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)))
			return 0;
		disk = find_disk(major(st.st_rdev), minor(st.st_rdev));
		if (disk < 0)
			return 0;
	}
	int err = disk >= 0 ? disks[disk].open_errno : 0;
	if (err) {
		*fd = -1;
	} else {
		*fd = stub_real_open("/dev/null", O_RDWR, 0);
		if (*fd >= 0)
			remember(*fd, disk);
	}
	if (disk >= 0)
		stub_dump("{\"open\": \"%s\", \"dev\": \"%u:%u\", \"flags\": %d, \"errno\": %d}\n", path,
			  disks[disk].major, disks[disk].minor, flags, err);
	else
		stub_dump("{\"open\": \"%s\", \"flags\": %d, \"errno\": 0}\n", path, flags);
	if (err)
		errno = err;
	return 1;
}
STUB_OPEN_HOOK(scsi_open);

/* SCSI_IOCTL_GET_PCI on disk d into the caller's 20-byte buffer. */
static int get_pci(int d, char *out)
{
	if (disks[d].ioctl_errno) {
		errno = disks[d].ioctl_errno;
		return -1;
	}
	size_t n = strlen(disks[d].name);
	memcpy(out, disks[d].name, n < PCI_NAME_SIZE ? n : PCI_NAME_SIZE);
	return 0;
}

static int scsi_ioctl(int fd, unsigned long request, void *arg, int *result)
{
	int disk;
	if (fd < 0 || !lookup(fd, &disk))
		return 0;
	if (request == SCSI_IOCTL_GET_PCI && disk >= 0) {
		*result = get_pci(disk, arg);
		int err = *result == -1 ? errno : 0;
		stub_dump("{\"request\": %lu, \"dev\": \"%u:%u\", \"result\": %d, \"errno\": %d}\n",
			  request, disks[disk].major, disks[disk].minor, *result, err);
		errno = err;
		return 1;
	}
	if (request == MXVOL_PASSTHROUGH && disk == -1) {
		const struct passthrough *req = arg;
		dev_t dev = (dev_t)req->dev_low | (dev_t)req->dev_high << 32;
		int d = find_disk(major(dev), minor(dev));
		if (req->command != SCSI_IOCTL_GET_PCI || d < 0) {
			errno = req->command != SCSI_IOCTL_GET_PCI ? EINVAL : ENODEV;
			*result = -1;
		} else {
			*result = get_pci(d, (char *)(uintptr_t)req->buffer);
		}
		int err = *result == -1 ? errno : 0;
		stub_dump("{\"request\": %lu, \"dev\": \"%u:%u\", \"command\": %u, \"result\": %d, "
			  "\"errno\": %d}\n",
			  request, major(dev), minor(dev), req->command, *result, err);
		errno = err;
		return 1;
	}
	return 0;
}
STUB_IOCTL_HOOK(scsi_ioctl);
