/*
 * Test-only module: runs the KCS transport and the machine-status commands
 * once at load, with debug on, against whatever BMC the machine has.  The
 * results go to the kernel log for vm/run.sh to check.
 */
#include <linux/module.h>
#include <linux/init.h>
#include "panicforkiv.h"
#include "kcs.h"
#include "ipmi_status.h"

MODULE_LICENSE("GPL v2");
MODULE_DESCRIPTION("panicforkiv KCS smoke test");

static struct kcs_data smoke_data;

static int __init kcs_smoke_init(void)
{
	struct kcs_request req = { 0x06, 0, 0x31, &smoke_data };
	u8 result = 0xEE;
	int r;

	debug = 1;
	KCSIRQ = 5;
	smoke_data.resp_len = 2;
	r = kcs_execute(&req);
	printk(KERN_INFO "kcs_smoke: get_message_flags=%d resp_len=%u\n", r, smoke_data.resp_len);
	r = panicforkiv_set_status_halt();
	printk(KERN_INFO "kcs_smoke: halt=%d\n", r);
	r = ipmi_set_machine_status(MACHINE_STATUS_DUMPING, &result);
	printk(KERN_INFO "kcs_smoke: dumping=%d result=%u\n", r, result);
	debug = 0;
	r = panicforkiv_set_status_dumping();
	printk(KERN_INFO "kcs_smoke: quiet dumping=%d\n", r);
	return 0;
}

static void __exit kcs_smoke_exit(void)
{
}

module_init(kcs_smoke_init);
module_exit(kcs_smoke_exit);
