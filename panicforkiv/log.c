/*
 * The debug switch and the two debug prints that obey it.
 */
#include "panicforkiv.h"

long debug;

void panicforkiv_debug_print(const char *fmt, ...)
{
	va_list ap;

	if (!debug)
		return;
	va_start(ap, fmt);
	vprintk(fmt, ap);
	va_end(ap);
}

void panicforkiv_debug_print_safe(const char *fmt, ...)
{
	va_list ap;

	if (!debug)
		return;
	panicforkiv_bust_spinlocks(1);
	va_start(ap, fmt);
	vprintk(fmt, ap);
	va_end(ap);
	panicforkiv_bust_spinlocks(0);
}
