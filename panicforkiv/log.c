/*
 * The module's log helpers and the debug switch they obey.
 */
#include "panicforkiv.h"

long debug;

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
