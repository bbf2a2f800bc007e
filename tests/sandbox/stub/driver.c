/*
 * The tarnex driver's node /dev/tarnex. Opening it gives a descriptor the
 * stand-in recognises. Each of its two requests decodes the record at the
 * address given (the stand-in runs inside the command's i386 process, so the
 * 32-bit addresses in the records are its own pointers), checks that the
 * record holds together, appends one JSON line describing it to
 * $TARNEX_STUB_DUMP, and accepts it, or refuses it when it does not hold
 * together or when the environment asks for a refusal.
 *
 * Environment:
 *   TARNEX_STUB_OPEN_ERRNO      open of /dev/tarnex fails with this errno
 *   TARNEX_STUB_REFUSE          request number to refuse (0xc004fe00 or 0xc004fe01)
 *   TARNEX_STUB_ERRNO           errno of a refusal (default EINVAL)
 *   TARNEX_STUB_ERR_NUM         err_num written into a refused record
 *   TARNEX_STUB_DEVICE_ERR_NUM  device_err_num written into a refused bridge table
 *   TARNEX_STUB_SCRIBBLE        on a refusal, also overwrite the counts and
 *                               addresses of the record with nonsense
 *
 * Dump lines (one JSON object each):
 *   {"open": PATH, "flags": N, "errno": N}
 *   {"request": N, "result": N, "errno": N, "problems": [TEXT...], ...record}
 * where the record is {"count", "err_num", "hbas": [HBA...]} for 0xc004fe00
 * and {"count", "total_size", "max_hba_count", "err_num", "device_err_num",
 * "bridges": [BRIDGE...]} for 0xc004fe01, each BRIDGE holding its fields and
 * "hbas": {"count", "err_num", "hbas": [HBA...]}. Problems are what the
 * stand-in found wrong; any problem refuses the request with EPROTO.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "stub.h"

#define DRIVER_NODE "/dev/tarnex"
#define SET_HBA_INFO 0xc004fe00UL
#define SET_SHPC_INFO 0xc004fe01UL
#define HBA_INFO_MAGIC 0xbeef2badU
#define BRIDGE_SHPC 0xfeedbeefU
#define BRIDGE_PCIE 0x7ed4beefU
#define BUS_ID_SIZE 20
#define MAX_ELEMENTS 4096 /* more is taken for a broken count, not decoded */

struct hba_info {
	uint32_t magic;
	uint32_t alt_pm;
	uint16_t domain;
	uint8_t bus, device, function, revision_id, pm_cap, header_type;
	char bus_id[BUS_ID_SIZE];
};

struct hba_info_array {
	uint32_t count;
	int32_t err_num;
	struct hba_info elements[];
};

struct shpc_info {
	uint32_t magic;
	uint32_t reserved0;
	uint16_t domain;
	uint8_t bus, device, function, revision_id, reserved1, header_type;
	char bus_id[BUS_ID_SIZE];
	uint16_t class_code;
	uint8_t secondary_bus, cap_offset, first_device, slot_count;
	uint16_t reserved2;
	uint32_t slots_available1, slots_available2, slot_config, sec_bus_config;
	uint32_t reserved3[2];
	uint32_t hba_count;
	uint32_t hbas;
};

struct shpc_info_table {
	uint32_t count;
	uint32_t total_size;
	uint32_t max_hba_count;
	int32_t err_num;
	int32_t device_err_num;
	struct shpc_info elements[];
};

_Static_assert(sizeof(struct hba_info) == 36, "hba_info");
_Static_assert(sizeof(struct hba_info_array) == 8, "hba_info_array");
_Static_assert(sizeof(struct shpc_info) == 76, "shpc_info");
_Static_assert(sizeof(struct shpc_info_table) == 20, "shpc_info_table");

static int driver_fd = -1;
static int array_accepted; /* 0xc004fe00 accepted on driver_fd */

/* -- JSON output ------------------------------------------------------- */

struct out {
	FILE *f;
	char *buf;
	size_t size;
	int problems; /* number of problems noted */
	FILE *pf;     /* the problems, as a JSON list body */
	char *pbuf;
	size_t psize;
};

static void json_text(FILE *f, const char *s, size_t max)
{
	fputc('"', f);
	for (size_t i = 0; i < max && s[i]; i++) {
		unsigned char c = (unsigned char)s[i];
		if (c == '"' || c == '\\')
			fprintf(f, "\\%c", c);
		else if (c < 0x20 || c > 0x7e)
			fprintf(f, "\\u%04x", c);
		else
			fputc(c, f);
	}
	fputc('"', f);
}

static void problem(struct out *o, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void problem(struct out *o, const char *fmt, ...)
{
	char text[256];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(text, sizeof text, fmt, ap);
	va_end(ap);
	if (o->problems++)
		fputs(", ", o->pf);
	json_text(o->pf, text, sizeof text);
}

/* The bytes after the terminator of a bus_id must be zero, and there must
 * be a terminator. */
static void check_bus_id(struct out *o, const char *what, const char *bus_id)
{
	const char *nul = memchr(bus_id, '\0', BUS_ID_SIZE);
	if (!nul) {
		problem(o, "%s: bus_id has no terminator", what);
		return;
	}
	for (const char *p = nul; p < bus_id + BUS_ID_SIZE; p++) {
		if (*p) {
			problem(o, "%s: bus_id not zero after its terminator", what);
			return;
		}
	}
}

static void dump_hba(struct out *o, const char *what, const struct hba_info *h)
{
	fprintf(o->f,
		"{\"magic\": %u, \"alt_pm\": %u, \"domain\": %u, \"bus\": %u, \"device\": %u, "
		"\"function\": %u, \"revision_id\": %u, \"pm_cap\": %u, \"header_type\": %u, "
		"\"bus_id\": ",
		h->magic, h->alt_pm, h->domain, h->bus, h->device, h->function, h->revision_id,
		h->pm_cap, h->header_type);
	json_text(o->f, h->bus_id, BUS_ID_SIZE);
	fputc('}', o->f);
	if (h->magic != HBA_INFO_MAGIC)
		problem(o, "%s: magic 0x%x", what, h->magic);
	if (h->alt_pm > 1)
		problem(o, "%s: alt_pm %u", what, h->alt_pm);
	if (h->pm_cap == 0)
		problem(o, "%s: pm_cap 0", what);
	check_bus_id(o, what, h->bus_id);
}

/* {"count": N, "err_num": N, "hbas": [...]}: the body of an hba_info_array. */
static void dump_array(struct out *o, const char *what, const struct hba_info_array *a)
{
	fprintf(o->f, "\"count\": %u, \"err_num\": %d, \"hbas\": [", a->count, a->err_num);
	if (a->err_num != 0)
		problem(o, "%s: err_num %d on arrival", what, a->err_num);
	if (a->count > MAX_ELEMENTS) {
		problem(o, "%s: count %u", what, a->count);
	} else {
		for (uint32_t i = 0; i < a->count; i++) {
			char name[64];
			snprintf(name, sizeof name, "%s adapter %u", what, i + 1);
			if (i)
				fputs(", ", o->f);
			dump_hba(o, name, &a->elements[i]);
		}
	}
	fputc(']', o->f);
}

static void dump_bridge(struct out *o, uint32_t index, const struct shpc_info *b,
			uint32_t *array_bytes)
{
	char what[32];
	snprintf(what, sizeof what, "bridge %u", index + 1);
	fprintf(o->f,
		"{\"magic\": %u, \"reserved0\": %u, \"domain\": %u, \"bus\": %u, \"device\": %u, "
		"\"function\": %u, \"revision_id\": %u, \"reserved1\": %u, \"header_type\": %u, "
		"\"bus_id\": ",
		b->magic, b->reserved0, b->domain, b->bus, b->device, b->function, b->revision_id,
		b->reserved1, b->header_type);
	json_text(o->f, b->bus_id, BUS_ID_SIZE);
	fprintf(o->f,
		", \"class_code\": %u, \"secondary_bus\": %u, \"cap_offset\": %u, "
		"\"first_device\": %u, \"slot_count\": %u, \"reserved2\": %u, "
		"\"slots_available1\": %u, \"slots_available2\": %u, \"slot_config\": %u, "
		"\"sec_bus_config\": %u, \"reserved3\": [%u, %u], \"hba_count\": %u, \"hbas\": ",
		b->class_code, b->secondary_bus, b->cap_offset, b->first_device, b->slot_count,
		b->reserved2, b->slots_available1, b->slots_available2, b->slot_config,
		b->sec_bus_config, b->reserved3[0], b->reserved3[1], b->hba_count);

	if (b->magic != BRIDGE_SHPC && b->magic != BRIDGE_PCIE)
		problem(o, "%s: magic 0x%x", what, b->magic);
	if (b->reserved0 || b->reserved1 || b->reserved2 || b->reserved3[0] || b->reserved3[1])
		problem(o, "%s: reserved field not zero", what);
	if (b->class_code != 0x0604)
		problem(o, "%s: class_code 0x%x", what, b->class_code);
	char want[BUS_ID_SIZE + 16];
	snprintf(want, sizeof want, "%04x:%02x:%02x.%x", b->domain, b->bus, b->device, b->function);
	if (strncmp(want, b->bus_id, BUS_ID_SIZE) != 0)
		problem(o, "%s: bus_id does not name the bridge", what);
	check_bus_id(o, what, b->bus_id);
	if (b->magic == BRIDGE_PCIE &&
	    (b->first_device || b->slot_count || b->slots_available1 || b->slots_available2 ||
	     b->slot_config || b->sec_bus_config))
		problem(o, "%s: PCI Express bridge with SHPC values", what);

	const struct hba_info_array *a = (const struct hba_info_array *)(uintptr_t)b->hbas;
	if (!a) {
		problem(o, "%s: no hbas array", what);
		fputs("null}", o->f);
		return;
	}
	fputc('{', o->f);
	dump_array(o, what, a);
	fputs("}}", o->f);
	if (a->count != b->hba_count)
		problem(o, "%s: hba_count %u but its array holds %u", what, b->hba_count, a->count);
	if (a->count <= MAX_ELEMENTS) {
		*array_bytes += 8 + 36 * a->count;
		for (uint32_t i = 0; i < a->count; i++) {
			const struct hba_info *h = &a->elements[i];
			if (h->domain != b->domain || h->bus != b->secondary_bus)
				problem(o, "%s adapter %u: not on the secondary bus", what, i + 1);
			if (b->magic == BRIDGE_SHPC &&
			    (h->device < b->first_device ||
			     h->device >= b->first_device + b->slot_count))
				problem(o, "%s adapter %u: not in a slot", what, i + 1);
		}
	}
}

static void dump_table(struct out *o, const struct shpc_info_table *t)
{
	fprintf(o->f,
		"\"count\": %u, \"total_size\": %u, \"max_hba_count\": %u, \"err_num\": %d, "
		"\"device_err_num\": %d, \"bridges\": [",
		t->count, t->total_size, t->max_hba_count, t->err_num, t->device_err_num);
	if (!array_accepted)
		problem(o, "bridge table before an accepted adapter array");
	if (t->err_num || t->device_err_num)
		problem(o, "err_num %d device_err_num %d on arrival", t->err_num, t->device_err_num);
	if (t->count > MAX_ELEMENTS) {
		problem(o, "count %u", t->count);
		fputc(']', o->f);
		return;
	}
	uint32_t array_bytes = 0, max = 0;
	for (uint32_t i = 0; i < t->count; i++) {
		if (i)
			fputs(", ", o->f);
		dump_bridge(o, i, &t->elements[i], &array_bytes);
		if (t->elements[i].hba_count > max)
			max = t->elements[i].hba_count;
	}
	fputc(']', o->f);
	uint32_t total = 20 + 76 * t->count + array_bytes;
	if (t->total_size != total)
		problem(o, "total_size %u, records hold %u", t->total_size, total);
	if (t->max_hba_count != max)
		problem(o, "max_hba_count %u, largest hba_count %u", t->max_hba_count, max);
}

/* -- the node ---------------------------------------------------------- */

static long env_number(const char *name, long fallback)
{
	const char *v = getenv(name);
	return v && *v ? strtol(v, NULL, 0) : fallback;
}

static unsigned long env_request(const char *name)
{
	const char *v = getenv(name);
	return v && *v ? strtoul(v, NULL, 0) : 0;
}

static int driver_open(const char *path, int flags, int *fd)
{
	if (strcmp(path, DRIVER_NODE) != 0)
		return 0;
	int err = (int)env_number("TARNEX_STUB_OPEN_ERRNO", 0);
	if (err) {
		*fd = -1;
		errno = err;
	} else {
		if (driver_fd >= 0)
			close(driver_fd);
		driver_fd = stub_real_open("/dev/null", O_RDWR, 0);
		array_accepted = 0;
		*fd = driver_fd;
	}
	stub_dump("{\"open\": \"%s\", \"flags\": %d, \"errno\": %d}\n", path, flags, err);
	if (err)
		errno = err;
	return 1;
}
STUB_OPEN_HOOK(driver_open);

/* What a driver that writes into the records it refuses might leave. */
static void scribble(unsigned long request, void *arg)
{
	if (request == SET_HBA_INFO) {
		struct hba_info_array *a = arg;
		a->count = 0x7fffffff;
	} else {
		struct shpc_info_table *t = arg;
		for (uint32_t i = 0; i < t->count && i < MAX_ELEMENTS; i++) {
			t->elements[i].hba_count = 0x7fffffff;
			t->elements[i].hbas = 0xdeadbeef;
		}
		t->count = 0x7fffffff;
	}
}

static int driver_ioctl(int fd, unsigned long request, void *arg, int *result)
{
	if (fd < 0 || fd != driver_fd)
		return 0;
	/* The command may have closed the node and reused the number. */
	char path[64];
	if (stub_fd_path(fd, path, sizeof path) != 0 || strcmp(path, "/dev/null") != 0) {
		driver_fd = -1;
		return 0;
	}
	struct out o = {0};
	o.f = open_memstream(&o.buf, &o.size);
	o.pf = open_memstream(&o.pbuf, &o.psize);
	if (!o.f || !o.pf) {
		*result = -1;
		errno = ENOMEM;
		return 1;
	}

	if (sizeof(void *) != 4)
		problem(&o, "records need a 32-bit process");
	else if (request == SET_HBA_INFO)
		dump_array(&o, "array", arg);
	else if (request == SET_SHPC_INFO)
		dump_table(&o, arg);
	else
		problem(&o, "unknown request");

	int err = 0;
	if (o.problems) {
		err = request == SET_HBA_INFO || request == SET_SHPC_INFO ? EPROTO : ENOTTY;
	} else if (env_request("TARNEX_STUB_REFUSE") == request) {
		err = (int)env_number("TARNEX_STUB_ERRNO", EINVAL);
		int32_t e = (int32_t)env_number("TARNEX_STUB_ERR_NUM", 0);
		if (request == SET_HBA_INFO) {
			((struct hba_info_array *)arg)->err_num = e;
		} else {
			((struct shpc_info_table *)arg)->err_num = e;
			((struct shpc_info_table *)arg)->device_err_num =
				(int32_t)env_number("TARNEX_STUB_DEVICE_ERR_NUM", 0);
		}
		if (env_number("TARNEX_STUB_SCRIBBLE", 0))
			scribble(request, arg);
	}
	if (request == SET_HBA_INFO)
		array_accepted = err == 0;

	fclose(o.f);
	fclose(o.pf);
	stub_dump("{\"request\": %lu, \"result\": %d, \"errno\": %d, \"problems\": [%s], %s}\n",
		  request, err ? -1 : 0, err, o.pbuf, o.buf);
	free(o.buf);
	free(o.pbuf);
	*result = err ? -1 : 0;
	errno = err;
	return 1;
}
STUB_IOCTL_HOOK(driver_ioctl);
