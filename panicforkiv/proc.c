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
#include "ipmi_status.h"

#define WRITE_MAX               (PANICFORKIV_PAGE_SIZE - 1)
#define MESSAGE_DUMPING         1
#define MESSAGE_HALT            2

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
		dbg(KERN_INFO, "read /proc/panicforkiv/%s %ld len = %lu\n", file, value,
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
 * The start of every write: refuse private data, take at most WRITE_MAX
 * bytes of the user's buffer into a fresh page and parse the number at its
 * start.  The page, or NULL with *err set (nothing else is done then).
 * *digits is the number of digits read, *value the number.
 */
static char *take_write(void *data, const char __user *buffer, unsigned long count,
			unsigned long *len, long *value, int *digits, int *err)
{
	char *page;

	*value = 0;
	if (data) {
		*err = -EINVAL;
		return NULL;
	}
	page = panicforkiv_get_page();
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
	*digits = panicforkiv_parse_long(page, value);
	return page;
}

int write_proc_file_debug(struct file *file, const char __user *buffer,
			  unsigned long count, void *data)
{
	unsigned long len;
	long value;
	char *page;
	int digits, r;

	(void)file;
	page = take_write(data, buffer, count, &len, &value, &digits, &r);
	if (!page)
		return r;
	if (digits > 0 && (unsigned long)value <= 1) {
		debug = value;
		r = (int)len;
	} else {
		r = -EINVAL;
	}
	if (debug)
		dbg(KERN_INFO, "write /proc/panicforkiv/debug %ld len = %ld\n", value, (long)r);
	panicforkiv_free_page(page);
	return r;
}

/* Send the status a "message" value asks for. */
static int send_message(long value, unsigned long len)
{
	int r = set_status_retrying(value == MESSAGE_DUMPING ? MACHINE_STATUS_DUMPING
					: MACHINE_STATUS_HALT, NULL);

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
	int digits, r;

	(void)file;
	page = take_write(data, buffer, count, &len, &value, &digits, &r);
	if (!page) {
		if (r == -EFAULT)
			dbg(KERN_ERR, "Sending impi message failed.\n");
		return r;
	}
	if (digits == 0 || (value != MESSAGE_DUMPING && value != MESSAGE_HALT)) {
		r = -EINVAL;
	} else {
		message = value;
		r = send_message(value, len);
	}
	dbg(KERN_INFO, "write /proc/panicforkiv/message %ld len = %ld\n", value, (long)r);
	if (r == -EBUSY || r == -EFAULT || r == -EINVAL)
		dbg(KERN_ERR, "Sending impi message failed.\n");
	else
		dbg(KERN_INFO, "Sending ipmi message succeeded.\n");
	panicforkiv_free_page(page);
	return r;
}
