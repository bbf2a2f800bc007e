/*
 * The module's log helpers and the debug switch they obey.
 */
#include "panicforkiv.h"

long debug;

int panicforkiv_log_level(const char *fmt)
{
	if (fmt[0] == '<' && fmt[1] >= '0' && fmt[1] <= '7' && fmt[2] == '>')
		return fmt[1] - '0';
	return -1;
}

void panicforkiv_print(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	panicforkiv_vprint(fmt, ap);
	va_end(ap);
}

void panicforkiv_debug_print(const char *fmt, ...)
{
	va_list ap;

	if (!debug)
		return;
	va_start(ap, fmt);
	panicforkiv_vprint(fmt, ap);
	va_end(ap);
}

void panicforkiv_debug_print_safe(const char *fmt, ...)
{
	va_list ap;

	if (!debug)
		return;
	panicforkiv_bust_spinlocks(1);
	va_start(ap, fmt);
	panicforkiv_vprint(fmt, ap);
	va_end(ap);
	panicforkiv_bust_spinlocks(0);
}
