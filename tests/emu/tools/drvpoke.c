/*
 * drvpoke: sends hand-made records to /dev/tarnex from a 64-bit process
 * (the stand-in's native ioctl handler) and prints what came back, one line
 * per case, so the tests can see that the stand-in refuses malformed
 * records and accepts sound ones.
 *
 *   case NAME ret=R errno=E err_num=N device_err_num=D
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#define SET_HBA_ARRAY	0xC004FE00u
#define SET_SHPC_TABLE	0xC004FE01u

struct hba_info {
	uint32_t magic, alt_pm;
	uint16_t domain;
	uint8_t bus, device, function, revision_id, pm_cap, header_type;
	char bus_id[20];
} __attribute__((packed));

struct hba_array {
	uint32_t count;
	int32_t err_num;
	struct hba_info hba[2];
} __attribute__((packed));

struct shpc_info {
	uint32_t magic, reserved0;
	uint16_t domain;
	uint8_t bus, device, function, revision_id, reserved1, header_type;
	char bus_id[20];
	uint16_t class_code;
	uint8_t secondary_bus, cap_offset, first_device, slot_count;
	uint16_t reserved2;
	uint32_t sa1, sa2, slot_config, sec_bus_config;
	uint64_t reserved3;
	uint32_t hba_count, hbas;
} __attribute__((packed));

struct shpc_table {
	uint32_t count, total_size, max_hba_count;
	int32_t err_num, device_err_num;
	struct shpc_info e[1];
} __attribute__((packed));

static struct hba_array *arr, *sub;
static struct shpc_table *tab;

static void hba(struct hba_info *h, uint8_t bus, uint8_t dev)
{
	memset(h, 0, sizeof(*h));
	h->magic = 0xBEEF2BAD;
	h->bus = bus;
	h->device = dev;
	h->pm_cap = 0x60;
	snprintf(h->bus_id, sizeof(h->bus_id), "0000:%02x:%02x.0", bus, dev);
}

/* one PCIe port at 0000:02:01.0 over bus 4 with one adapter 04:00.0 */
static void good_table(void)
{
	struct shpc_info *s = &tab->e[0];

	memset(tab, 0, sizeof(*tab));
	memset(sub, 0, sizeof(*sub));
	sub->count = 1;
	hba(&sub->hba[0], 4, 0);
	tab->count = 1;
	tab->total_size = 20 + 76 + 8 + 36;
	tab->max_hba_count = 1;
	s->magic = 0x7ED4BEEF;
	s->bus = 2;
	s->device = 1;
	s->header_type = 1;
	strcpy(s->bus_id, "0000:02:01.0");
	s->class_code = 0x0604;
	s->secondary_bus = 4;
	s->cap_offset = 0x90;
	s->hba_count = 1;
	s->hbas = (uint32_t)(uintptr_t)sub;
}

static void send(const char *name, unsigned long req, void *rec)
{
	int fd = open("/dev/tarnex", O_RDWR), ret, e;

	if (req == SET_HBA_ARRAY) {
		((struct hba_array *)rec)->err_num = 0;
	} else {
		((struct shpc_table *)rec)->err_num = 0;
		((struct shpc_table *)rec)->device_err_num = 0;
	}
	ret = ioctl(fd, req, rec);
	e = ret < 0 ? errno : 0;
	if (req == SET_HBA_ARRAY)
		printf("case %s ret=%d errno=%d err_num=%d device_err_num=0\n", name, ret, e,
		       ((struct hba_array *)rec)->err_num);
	else
		printf("case %s ret=%d errno=%d err_num=%d device_err_num=%d\n", name, ret, e,
		       ((struct shpc_table *)rec)->err_num, ((struct shpc_table *)rec)->device_err_num);
	close(fd);
}

int main(void)
{
	/* below 4 GiB: the records carry 32-bit addresses */
	char *mem = mmap(NULL, 16384, PROT_READ | PROT_WRITE,
			 MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
	int fd, ret;

	if (mem == MAP_FAILED) {
		perror("mmap");
		return 1;
	}
	arr = (struct hba_array *)mem;
	sub = (struct hba_array *)(mem + 4096);
	tab = (struct shpc_table *)(mem + 8192);

	memset(arr, 0, sizeof(*arr));
	arr->count = 1;
	hba(&arr->hba[0], 0, 6);
	send("array_ok", SET_HBA_ARRAY, arr);
	arr->hba[0].magic = 0xBEEF2BAE;
	send("array_bad_magic", SET_HBA_ARRAY, arr);
	hba(&arr->hba[0], 0, 6);
	arr->hba[0].pm_cap = 0;
	send("array_no_pm_cap", SET_HBA_ARRAY, arr);
	hba(&arr->hba[0], 0, 6);
	arr->hba[0].bus_id[12] = '1';
	send("array_bus_id", SET_HBA_ARRAY, arr);
	arr->count = 100000;
	send("array_count", SET_HBA_ARRAY, arr);

	good_table();
	send("table_ok", SET_SHPC_TABLE, tab);
	good_table();
	tab->total_size += 36;
	send("table_total_size", SET_SHPC_TABLE, tab);
	good_table();
	tab->max_hba_count = 0;
	send("table_max_hba_count", SET_SHPC_TABLE, tab);
	good_table();
	sub->hba[0].bus = 5;
	strcpy(sub->hba[0].bus_id, "0000:05:00.0");
	send("table_misplaced", SET_SHPC_TABLE, tab);
	good_table();
	tab->e[0].hbas = 0x1000;
	send("table_hbas_fault", SET_SHPC_TABLE, tab);
	good_table();
	tab->e[0].hba_count = 2;
	send("table_hba_count", SET_SHPC_TABLE, tab);
	good_table();
	tab->e[0].slot_config = 0x100;
	send("table_pcie_with_shpc_regs", SET_SHPC_TABLE, tab);

	/* the same adapter in both records of one registration */
	fd = open("/dev/tarnex", O_RDWR);
	arr->count = 1;
	arr->err_num = 0;
	hba(&arr->hba[0], 4, 0);
	good_table();
	printf("case twice_array ret=%d\n", ioctl(fd, SET_HBA_ARRAY, arr));
	ret = ioctl(fd, SET_SHPC_TABLE, tab);
	printf("case twice_table ret=%d errno=%d err_num=%d device_err_num=%d\n", ret, errno,
	       tab->err_num, tab->device_err_num);
	ret = ioctl(fd, 0xC004FE02u, arr);
	printf("case unknown_request ret=%d errno=%d\n", ret, errno);
	close(fd);
	return 0;
}
