/*
 * emupci: prints, for every function of /sys/bus/pci/devices in directory
 * order, its first 256 configuration bytes, and for a bridge with an SHPC
 * capability the SHPC registers 0 to 4 read through the capability's
 * window (select byte at cap + 2, data DWORD at cap + 4). The emulated
 * server's tests use it as a reading of the hardware independent of tarnex.
 *
 *   fn NAME HEX512
 *   shpc NAME CAP R0 R1 R2 R3 R4
 */
#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define DEVS "/sys/bus/pci/devices"

static int shpc_cap(const unsigned char *cfg)
{
	int p, n;

	if (!(cfg[0x06] & 0x10))
		return 0;
	for (p = cfg[0x34] & 0xfc, n = 0; p && n < 48; p = cfg[p + 1] & 0xfc, n++)
		if (cfg[p] == 0x0c)
			return p;
	return 0;
}

int main(void)
{
	DIR *dir = opendir(DEVS);
	struct dirent *e;
	char path[512];
	unsigned char cfg[256];
	int fd, wfd, i, cap, status = 0;

	if (!dir) {
		perror(DEVS);
		return 1;
	}
	while ((e = readdir(dir))) {
		if (e->d_name[0] == '.')
			continue;
		snprintf(path, sizeof(path), DEVS "/%s/config", e->d_name);
		fd = open(path, O_RDONLY);
		memset(cfg, 0xff, sizeof(cfg));
		if (fd < 0 || pread(fd, cfg, sizeof(cfg), 0) != (ssize_t)sizeof(cfg)) {
			perror(path);
			status = 1;
		}
		printf("fn %s ", e->d_name);
		for (i = 0; i < 256; i++)
			printf("%02x", cfg[i]);
		printf("\n");
		cap = shpc_cap(cfg);
		wfd = cap ? open(path, O_WRONLY) : -1;
		if (fd >= 0 && wfd >= 0) {
			printf("shpc %s %02x", e->d_name, cap);
			for (i = 0; i <= 4; i++) {
				unsigned char sel = (unsigned char)i;
				uint32_t v = 0xffffffff;

				if (pwrite(wfd, &sel, 1, cap + 2) != 1 || pread(fd, &v, 4, cap + 4) != 4)
					status = 1;
				printf(" %08x", v);
			}
			printf("\n");
			close(wfd);
		}
		if (fd >= 0)
			close(fd);
	}
	closedir(dir);
	return status;
}
