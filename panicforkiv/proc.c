/*
 * /proc/panicforkiv/debug and, in the crash-dump kernel,
 * /proc/panicforkiv/message.
 *
 * Reads give the value in decimal without a newline, in one piece: a read
 * past offset 0 is the end of the file.  A write is taken into one page,
 * at most 4095 bytes of it, and must start with a decimal number; what
 * follows the number is ignored.  "debug" takes 0 or 1; "message" takes
 * 1 (tell the BMC the machine is dumping) or 2 (halted).
 *
 * Every message is a plain debug message: this runs in the writing or
 * reading task, never at panic time.
 */
#include "panicforkiv.h"
#include "kcs_regs.h"
#include "ipmi_status.h"

#define WRITE_MAX               (PANICFORKIV_PAGE_SIZE - 1)
#define STATUS_CALLS            5       /* calls of a busy status setter */
#define MESSAGE_DUMPING         1
#define MESSAGE_HALT            2

#define dbg(...) panicforkiv_debug_print(__VA_ARGS__)

long message;

int panicforkiv_parse_long(const char *text, long *value)
{
	const unsigned long long_max = ~0UL >> 1;
	unsigned long v = 0, limit = long_max, d;
	int digits = 0, negative = 0;

	*value = 0;
	if (*text == '-') {
		negative = 1;
		limit = long_max + 1;
		text++;
	}
	for (; *text >= '0' && *text <= '9'; text++, digits++) {
		d = (unsigned long)(*text - '0');
		if (v > (limit - d) / 10)
			return 0;       /* does not fit: not a number we take */
		v = v * 10 + d;
	}
	if (digits == 0)
		return 0;
	*value = negative ? (long)(0UL - v) : (long)v;
	return digits;
}

/* Offset 0: the value, all of it; any later offset: end of file. */
static int read_value(long value, char *page, long off, int *eof)
{
	if (off > 0) {
		*eof = 1;
		return 0;
	}
	*eof = 1;
	return snprintf(page, PANICFORKIV_PAGE_SIZE, "%ld", value);
}

static int read_proc_file(const char *file, long value, char *page, long off, int *eof)
{
	int len = read_value(value, page, off, eof);

	if (off <= 0)
		dbg("<6>%s: read /proc/panicforkiv/%s %ld len = %lu\n", PANICFORKIV_NAME, file, value,
		    (unsigned long)len);
	return len;
}

int read_proc_file_debug(char *page, char **start, long off, int count, int *eof, void *data)
{
	(void)start;
	(void)count;
	(void)data;
	return read_proc_file("debug", debug, page, off, eof);
}

int read_proc_file_message(char *page, char **start, long off, int count, int *eof, void *data)
{
	(void)start;
	(void)count;
	(void)data;
	return read_proc_file("message", message, page, off, eof);
}

/*
 * Take at most WRITE_MAX bytes of the user's buffer into a fresh page,
 * terminated.  The page, or NULL with *err set.
 */
static char *take_write(const char __user *buffer, unsigned long count, unsigned long *len,
			int *err)
{
	char *page = panicforkiv_get_page();

	if (!page) {
		*err = -ENOMEM;
		return NULL;
	}
	*len = count < WRITE_MAX ? count : WRITE_MAX;
	if (panicforkiv_copy_from_user(page, buffer, *len)) {
		panicforkiv_free_page(page);
		*err = -EFAULT;
		return NULL;
	}
	page[*len] = '\0';
	return page;
}

int write_proc_file_debug(struct file *file, const char __user *buffer,
			  unsigned long count, void *data)
{
	unsigned long len;
	long value;
	char *page;
	int r;

	(void)file;
	if (data)
		return -EINVAL;
	page = take_write(buffer, count, &len, &r);
	if (!page)
		return r;

	if (panicforkiv_parse_long(page, &value) > 0 && (unsigned long)value <= 1) {
		debug = value;
		r = (int)len;
	} else {
		r = -EINVAL;
	}
	if (debug)
		dbg("<6>%s: write /proc/panicforkiv/debug %ld len = %ld\n", PANICFORKIV_NAME, value,
		    (long)r);
	panicforkiv_free_page(page);
	return r;
}

/* Send the status a "message" value asks for; a busy setter gets five calls. */
static int send_message(long value, unsigned long len)
{
	int calls = 0, r;

	for (;;) {
		if (value == MESSAGE_DUMPING)
			r = panicforkiv_set_status_dumping();
		else
			r = panicforkiv_set_status_halt();
		if (r != -EBUSY || ++calls >= STATUS_CALLS)
			break;
		panicforkiv_udelay(KCS_POLL_DELAY_US);
		panicforkiv_touch_nmi_watchdog();
	}
	if (r == -EBUSY)
		return -EBUSY;
	return r == 0 ? (int)len : -EINVAL;
}

int write_proc_file_message(struct file *file, const char __user *buffer,
			    unsigned long count, void *data)
{
	unsigned long len;
	long value;
	char *page;
	int r;

	(void)file;
	if (data)
		return -EINVAL;
	page = take_write(buffer, count, &len, &r);
	if (!page) {
		if (r == -EFAULT)
			dbg("<3>%s: Sending impi message failed.\n", PANICFORKIV_NAME);
		return r;
	}

	if (panicforkiv_parse_long(page, &value) == 0 ||
	    (value != MESSAGE_DUMPING && value != MESSAGE_HALT)) {
		r = -EINVAL;
	} else {
		message = value;
		r = send_message(value, len);
	}
	dbg("<6>%s: write /proc/panicforkiv/message %ld len = %ld\n", PANICFORKIV_NAME, value,
	    (long)r);
	if (r == -EBUSY || r == -EFAULT || r == -EINVAL)
		dbg("<3>%s: Sending impi message failed.\n", PANICFORKIV_NAME);
	else
		dbg("<6>%s: Sending ipmi message succeeded.\n", PANICFORKIV_NAME);
	panicforkiv_free_page(page);
	return r;
}
