/*
 * panicforkiv: at panic or kexec, calls the tarnex driver's hook once and
 * tells the BMC over IPMI KCS that the machine halted (or, in the
 * crash-dump kernel, that it is dumping).
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/init.h>
#include "panicforkiv.h"

MODULE_VERSION(PANICFORKIV_VERSION);
MODULE_DESCRIPTION("tarnex stub driver");
MODULE_LICENSE("GPL v2");

module_param(debug, long, 0644);
MODULE_PARM_DESC(debug, "debug flags");

static int __init panicforkiv_mod_init(void)
{
	return 0;
}

static void __exit panicforkiv_mod_exit(void)
{
}

module_init(panicforkiv_mod_init);
module_exit(panicforkiv_mod_exit);
