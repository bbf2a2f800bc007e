/*
 * IPMI traffic through the kernel's driver: Get Device ID requests sent
 * without pause through /dev/ipmi0 (IPMICTL_SEND_COMMAND), DEPTH of them
 * outstanding, each answer taken with IPMICTL_RECEIVE_MSG_TRUNC.
 *
 *   ipmiload DEPTH COUNTFILE   runs until killed (or until the machine
 *                              dies); after every 4 answers writes
 *                              "sent=N answered=N bad=N" to COUNTFILE
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static long sent, answered, bad;

static int send_one(int fd)
{
	struct ipmi_system_interface_addr si = {
		.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE,
		.channel = IPMI_BMC_CHANNEL,
	};
	struct ipmi_req req = {
		.addr = (unsigned char *)&si,
		.addr_len = sizeof(si),
		.msgid = sent,
		.msg = { .netfn = 0x06, .cmd = 0x01 },	/* App: Get Device ID */
	};

	if (ioctl(fd, IPMICTL_SEND_COMMAND, &req) < 0)
		return -1;
	sent++;
	return 0;
}

static void report(const char *path)
{
	FILE *f = fopen(path, "w");

	if (f) {
		fprintf(f, "sent=%ld answered=%ld bad=%ld\n", sent, answered, bad);
		fclose(f);
	}
}

int main(int argc, char **argv)
{
	struct ipmi_system_interface_addr from;
	unsigned char data[64];
	struct ipmi_recv recv;
	struct pollfd p;
	int depth, fd, i;

	if (argc != 3) {
		fprintf(stderr, "usage: ipmiload DEPTH COUNTFILE\n");
		return 2;
	}
	depth = atoi(argv[1]);
	fd = open("/dev/ipmi0", O_RDWR);
	if (fd < 0) {
		perror("/dev/ipmi0");
		return 1;
	}
	for (i = 0; i < depth; i++)
		if (send_one(fd) < 0) {
			perror("IPMICTL_SEND_COMMAND");
			return 1;
		}
	p.fd = fd;
	p.events = POLLIN;
	for (;;) {
		if (poll(&p, 1, -1) < 0 && errno != EINTR)
			return 1;
		memset(&recv, 0, sizeof(recv));
		recv.addr = (unsigned char *)&from;
		recv.addr_len = sizeof(from);
		recv.msg.data = data;
		recv.msg.data_len = sizeof(data);
		if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) < 0)
			continue;
		answered++;
		/* completion code 0 and the 11 bytes of our BMC's device ID */
		if (recv.msg.data_len != 12 || data[0] != 0 || data[1] != 0x20)
			bad++;
		if (answered % 4 == 0)
			report(argv[2]);
		if (send_one(fd) < 0) {
			perror("IPMICTL_SEND_COMMAND");
			return 1;
		}
	}
}
