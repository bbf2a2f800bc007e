/*
 * Module load and unload.
 *
 * Load, in order: find the kernel functions we use but the kernel does not
 * export; tell the first kernel from the crash-dump kernel by the
 * "elfcorehdr=" word on the command line; find the KCS interface; in the
 * first kernel bind tarnex_hook and arm the machine_kexec probe and the
 * panic notifier; create /proc/panicforkiv; in the crash-dump kernel tell
 * the BMC that the machine is dumping.  Load is all or nothing, except for
 * a missing tarnex_hook (the panic path reports it) and a failed dumping
 * announcement (only logged).  Unload undoes what load did and never fails.
 */
#include "panicforkiv.h"
#include "kcs_regs.h"
#include "ipmi_status.h"

#define ELFCOREHDR              "elfcorehdr="
#define ELFCOREHDR_LEN          11
#define CMDLINE_READ_MAX        4095    /* one page, room for the NUL */
#define DUMP_WAIT_NAPS          5
#define DUMP_WAIT_TICKS         250
#define STATUS_CALLS            5       /* calls of a busy status setter */

int kernel_load_mode = KERNEL_MODE_UNKNOWN;
int (*panicforkiv_func)(void);
int get_tarnex_hook_failed;
int panic_called;

static void *panicforkiv_proc_dir;
static void *panicforkiv_proc_file_debug;
static void *panicforkiv_proc_file_message;

int cmdline_has_elfcorehdr(const char *cmdline, int n)
{
	int i;

	for (i = 0; i < n - ELFCOREHDR_LEN && cmdline[i] != '\0'; i++) {
		if (i > 0 && cmdline[i - 1] != ' ' && cmdline[i - 1] != '\t')
			continue;
		if (memcmp(&cmdline[i], ELFCOREHDR, ELFCOREHDR_LEN) == 0)
			return 1;
	}
	return 0;
}

int get_kernel_mode(void)
{
	static const char step[] = "get_kernel_mode";
	char *page;
	int n, mode = KERNEL_MODE_FIRST;

	panicforkiv_debug_print("<6>%s: %s: start.\n", PANICFORKIV_NAME, step);
	page = panicforkiv_get_page();
	if (!panicforkiv_cmdline_reader_found() || !page) {
		if (page)
			panicforkiv_free_page(page);
		kernel_load_mode = KERNEL_MODE_UNKNOWN;
		return -ENODEV;
	}

	n = panicforkiv_read_cmdline(page, CMDLINE_READ_MAX);
	if (n > CMDLINE_READ_MAX)
		n = CMDLINE_READ_MAX;
	if (n >= 0)
		page[n] = '\0';
	panicforkiv_debug_print("<6>%s: %s: kernel command line = %s\n", PANICFORKIV_NAME, step,
				n >= 0 ? page : "");

	if (n > ELFCOREHDR_LEN) {
		if (cmdline_has_elfcorehdr(page, n)) {
			mode = KERNEL_MODE_SECOND;
			panicforkiv_debug_print("<6>%s: %s: kernel mode = 2nd kernel\n",
						PANICFORKIV_NAME, step);
		} else {
			panicforkiv_debug_print("<6>%s: %s: kernel mode = 1st kernel\n",
						PANICFORKIV_NAME, step);
		}
	}

	panicforkiv_free_page(page);
	kernel_load_mode = mode;
	panicforkiv_debug_print("<6>%s: %s: end.\n", PANICFORKIV_NAME, step);
	return 0;
}

static void get_tarnex_hook(void)
{
	static const char step[] = "get_tarnex_hook";

	panicforkiv_debug_print("<6>%s: %s: start.\n", PANICFORKIV_NAME, step);
	panicforkiv_func = panicforkiv_symbol_get_hook();
	if (!panicforkiv_func)
		panicforkiv_print("<3>%s: cannot get tarnex_hook symbol.\n", PANICFORKIV_NAME);
	else
		get_tarnex_hook_failed = 0;
	panicforkiv_debug_print("<6>%s: %s: end.\n", PANICFORKIV_NAME, step);
}

void put_tarnex_hook(void)
{
	static const char step[] = "put_tarnex_hook";

	panicforkiv_debug_print("<6>%s: %s: start.\n", PANICFORKIV_NAME, step);
	if (panicforkiv_func) {
		panicforkiv_symbol_put_hook();
		panicforkiv_func = NULL;
	}
	panicforkiv_debug_print("<6>%s: %s: end.\n", PANICFORKIV_NAME, step);
}

void panicforkiv_unregister_hooks(void)
{
	if (panicforkiv_unregister_panic_notifier() == -ENOENT)
		panicforkiv_debug_print("<3>%s: panicforkiv_panic_handler is not registered.\n",
					PANICFORKIV_NAME);
	panicforkiv_unregister_kexec_probe();
}

/* Bind the hook, arm the kexec probe and join the panic notifier chain. */
static int arm_panic_path(void)
{
	get_tarnex_hook();
	if (panicforkiv_register_kexec_probe() < 0) {
		panicforkiv_print("<3>%s: registering panicforkiv_handler_kprobe failed.\n",
				  PANICFORKIV_NAME);
		put_tarnex_hook();
		return -ENODEV;
	}
	if (panicforkiv_register_panic_notifier() < 0) {
		panicforkiv_print("<3>%s: registering panicforkiv_handler_panic_notifier failed.\n",
				  PANICFORKIV_NAME);
		panicforkiv_unregister_kexec_probe();
		put_tarnex_hook();
		return -ENODEV;
	}
	return 0;
}

static void remove_proc_files(void)
{
	if (!panicforkiv_proc_dir)
		return;
	if (panicforkiv_proc_file_message)
		panicforkiv_proc_remove(panicforkiv_proc_dir, PANICFORKIV_PROC_MESSAGE);
	if (panicforkiv_proc_file_debug)
		panicforkiv_proc_remove(panicforkiv_proc_dir, PANICFORKIV_PROC_DEBUG);
	panicforkiv_proc_rmdir();
	panicforkiv_proc_file_message = NULL;
	panicforkiv_proc_file_debug = NULL;
	panicforkiv_proc_dir = NULL;
}

/* /proc/panicforkiv with "debug", and "message" in the crash-dump kernel. */
static int create_proc_files(void)
{
	panicforkiv_proc_dir = panicforkiv_proc_mkdir();
	if (!panicforkiv_proc_dir) {
		panicforkiv_print("<3>%s: create /proc/panicforkiv failed\n", PANICFORKIV_NAME);
		return -EBUSY;
	}
	panicforkiv_proc_file_debug = panicforkiv_proc_create(panicforkiv_proc_dir,
							      PANICFORKIV_PROC_DEBUG);
	if (!panicforkiv_proc_file_debug) {
		panicforkiv_print("<3>%s: create /proc/panicforkiv/debug failed\n",
				  PANICFORKIV_NAME);
		remove_proc_files();
		return -EBUSY;
	}
	if (kernel_load_mode == KERNEL_MODE_SECOND) {
		panicforkiv_proc_file_message = panicforkiv_proc_create(panicforkiv_proc_dir,
									PANICFORKIV_PROC_MESSAGE);
		if (!panicforkiv_proc_file_message) {
			panicforkiv_print("<3>%s: create /proc/panicforkiv/message failed\n",
					  PANICFORKIV_NAME);
			remove_proc_files();
			return -EBUSY;
		}
	}
	return 0;
}

/*
 * Crash-dump kernel: give the BMC a few seconds after the jump, then tell
 * it that the machine is dumping.  A setter that is busy is called again
 * after 1 ms, five calls at most; the outcome is only logged.
 */
static void announce_dumping(void)
{
	int i, r = 0;

	panicforkiv_print("<6>%s: Please wait for a few seconds.\n", PANICFORKIV_NAME);
	panicforkiv_touch_nmi_watchdog();
	for (i = 0; i < DUMP_WAIT_NAPS; i++) {
		panicforkiv_sleep_ticks(DUMP_WAIT_TICKS);
		panicforkiv_touch_nmi_watchdog();
	}
	panicforkiv_print("<6>%s: Setting system status to dumping.\n", PANICFORKIV_NAME);

	for (i = 0; i < STATUS_CALLS; i++) {
		r = panicforkiv_set_status_dumping();
		if (r != -EBUSY)
			break;
		panicforkiv_debug_print("<3>%s: Sending ipmi message failed.\n", PANICFORKIV_NAME);
		panicforkiv_udelay(KCS_POLL_DELAY_US);
		panicforkiv_touch_nmi_watchdog();
	}
	if (r == 0)
		panicforkiv_debug_print("<6>%s: Sending ipmi message succeeded.\n", PANICFORKIV_NAME);
	else
		panicforkiv_debug_print("<3>%s: Sending ipmi message failed.\n", PANICFORKIV_NAME);
}

static int load(void)
{
	int r;

	r = get_symbols();
	if (r)
		return r;
	r = get_kernel_mode();
	if (r)
		return r;
	r = get_ipmi_interface();
	if (r)
		return r;

	get_tarnex_hook_failed = 1;
	panic_called = 0;
	warned = 0;
	message = 0;

	if (kernel_load_mode != KERNEL_MODE_SECOND) {
		r = arm_panic_path();
		if (r)
			return r;
	}
	r = create_proc_files();
	if (r) {
		if (kernel_load_mode != KERNEL_MODE_SECOND) {
			panicforkiv_unregister_hooks();
			put_tarnex_hook();
		}
		return r;
	}
	if (kernel_load_mode == KERNEL_MODE_SECOND)
		announce_dumping();
	return 0;
}

int panicforkiv_load(void)
{
	int r;

	panicforkiv_print("<6>%s: ver.%s initialize start.\n", PANICFORKIV_NAME,
			  PANICFORKIV_VERSION);
	r = load();
	if (r) {
		panicforkiv_print("<3>%s: ver.%s initialize failed.\n", PANICFORKIV_NAME,
				  PANICFORKIV_VERSION);
		return r;
	}
	panicforkiv_print("<6>%s: ver.%s initialized.\n", PANICFORKIV_NAME, PANICFORKIV_VERSION);
	return 0;
}

void panicforkiv_unload(void)
{
	if (kernel_load_mode != KERNEL_MODE_SECOND) {
		panicforkiv_unregister_hooks();
		put_tarnex_hook();
	}
	remove_proc_files();
	panicforkiv_print("<6>%s: ver.%s removed.\n", PANICFORKIV_NAME, PANICFORKIV_VERSION);
}
