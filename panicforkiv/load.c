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
#include "ipmi_status.h"

#define ELFCOREHDR              "elfcorehdr="
#define ELFCOREHDR_LEN          11
#define CMDLINE_READ_MAX        4095    /* one page, room for the NUL */
#define DUMP_WAIT_NAPS          5
#define DUMP_WAIT_TICKS         250

int kernel_load_mode = KERNEL_MODE_UNKNOWN;
int (*panicforkiv_func)(void);
int get_tarnex_hook_failed;
int panic_called;

static void *panicforkiv_proc_dir;
static void *panicforkiv_proc_file_debug;
static void *panicforkiv_proc_file_message;

/* 1 when "elfcorehdr=" starts a word of the first n bytes of cmdline. */
static int cmdline_has_elfcorehdr(const char *cmdline, int n)
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

	dbg(KERN_INFO, "%s: start.\n", step);
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
	dbg(KERN_INFO, "%s: kernel command line = %s\n", step, n >= 0 ? page : "");

	if (n > ELFCOREHDR_LEN) {
		if (cmdline_has_elfcorehdr(page, n))
			mode = KERNEL_MODE_SECOND;
		dbg(KERN_INFO, "%s: kernel mode = %s kernel\n", step,
		    mode == KERNEL_MODE_SECOND ? "2nd" : "1st");
	}

	panicforkiv_free_page(page);
	kernel_load_mode = mode;
	dbg(KERN_INFO, "%s: end.\n", step);
	return 0;
}

static void get_tarnex_hook(void)
{
	static const char step[] = "get_tarnex_hook";

	dbg(KERN_INFO, "%s: start.\n", step);
	panicforkiv_func = panicforkiv_symbol_get_hook();
	if (!panicforkiv_func)
		pr_err("cannot get tarnex_hook symbol.\n");
	else
		get_tarnex_hook_failed = 0;
	dbg(KERN_INFO, "%s: end.\n", step);
}

void put_tarnex_hook(void)
{
	static const char step[] = "put_tarnex_hook";

	dbg(KERN_INFO, "%s: start.\n", step);
	if (panicforkiv_func) {
		panicforkiv_symbol_put_hook();
		panicforkiv_func = NULL;
	}
	dbg(KERN_INFO, "%s: end.\n", step);
}

void panicforkiv_unregister_hooks(void)
{
	if (panicforkiv_unregister_panic_notifier() == -ENOENT)
		dbg(KERN_ERR, "panicforkiv_panic_handler is not registered.\n");
	panicforkiv_unregister_kexec_probe();
}

/* Bind the hook, arm the kexec probe and join the panic notifier chain. */
static int arm_panic_path(void)
{
	get_tarnex_hook();
	if (panicforkiv_register_kexec_probe(panicforkiv_machine_kexec_handler) < 0) {
		pr_err("registering panicforkiv_handler_kprobe failed.\n");
		goto err_hook;
	}
	if (panicforkiv_register_panic_notifier(panicforkiv_panic_handler) < 0) {
		pr_err("registering panicforkiv_handler_panic_notifier failed.\n");
		goto err_probe;
	}
	return 0;

err_probe:
	panicforkiv_unregister_kexec_probe();
err_hook:
	put_tarnex_hook();
	return -ENODEV;
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
		pr_err("create /proc/panicforkiv failed\n");
		return -EBUSY;
	}
	panicforkiv_proc_file_debug = panicforkiv_proc_create(panicforkiv_proc_dir,
							      PANICFORKIV_PROC_DEBUG,
							      read_proc_file_debug,
							      write_proc_file_debug);
	if (!panicforkiv_proc_file_debug) {
		pr_err("create /proc/panicforkiv/debug failed\n");
		goto err_dir;
	}
	if (kernel_load_mode == KERNEL_MODE_SECOND) {
		panicforkiv_proc_file_message = panicforkiv_proc_create(panicforkiv_proc_dir,
									PANICFORKIV_PROC_MESSAGE,
									read_proc_file_message,
									write_proc_file_message);
		if (!panicforkiv_proc_file_message) {
			pr_err("create /proc/panicforkiv/message failed\n");
			goto err_dir;
		}
	}
	return 0;

err_dir:
	remove_proc_files();    /* the files made so far, then the directory */
	return -EBUSY;
}

static void log_send_failed(void)
{
	dbg(KERN_ERR, "Sending ipmi message failed.\n");
}

/*
 * Crash-dump kernel: give the BMC a few seconds after the jump, then tell
 * it that the machine is dumping.  The outcome is only logged.
 */
static void announce_dumping(void)
{
	int i;

	pr_info("Please wait for a few seconds.\n");
	panicforkiv_touch_nmi_watchdog();
	for (i = 0; i < DUMP_WAIT_NAPS; i++) {
		panicforkiv_sleep_ticks(DUMP_WAIT_TICKS);
		panicforkiv_touch_nmi_watchdog();
	}
	pr_info("Setting system status to dumping.\n");
	if (set_status_retrying(MACHINE_STATUS_DUMPING, log_send_failed) == 0)
		dbg(KERN_INFO, "Sending ipmi message succeeded.\n");
	else
		log_send_failed();
}

static int load(void)
{
	int first, r;

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

	first = kernel_load_mode != KERNEL_MODE_SECOND;
	if (first) {
		r = arm_panic_path();
		if (r)
			return r;
	}
	r = create_proc_files();
	if (r)
		goto err_unarm;
	if (!first)
		announce_dumping();
	return 0;

err_unarm:
	if (first) {
		panicforkiv_unregister_hooks();
		put_tarnex_hook();
	}
	return r;
}

int panicforkiv_load(void)
{
	int r;

	pr_info("ver.%s initialize start.\n", PANICFORKIV_VERSION);
	r = load();
	if (r) {
		pr_err("ver.%s initialize failed.\n", PANICFORKIV_VERSION);
		return r;
	}
	pr_info("ver.%s initialized.\n", PANICFORKIV_VERSION);
	return 0;
}

void panicforkiv_unload(void)
{
	if (kernel_load_mode != KERNEL_MODE_SECOND) {
		panicforkiv_unregister_hooks();
		put_tarnex_hook();
	}
	remove_proc_files();
	pr_info("ver.%s removed.\n", PANICFORKIV_VERSION);
}
