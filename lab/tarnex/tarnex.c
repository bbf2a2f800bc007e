// SPDX-License-Identifier: GPL-2.0
/*
 * Stand-in for the maker's tarnex driver, for the lab's emulated server.
 *
 * /dev/tarnex takes the command's two registration requests through its
 * native and 32-bit compat ioctl handlers. It copies each record in as
 * bytes, as far as the record's own counts say, follows the bridge table's
 * pointers to the per-bridge adapter arrays, and publishes one JSON line per
 * request in /proc/tarnex/received (writing to that file empties it):
 *
 *   {"request": N, "result": 0|-1, "errno": E, "compat": 0|1,
 *    "record": "HEX", "hbas": ["HEX"|null, ...]}
 *
 * lab/records.py decodes and checks these lines; the driver judges nothing
 * beyond what it needs to copy safely.
 *
 * Module parameters (writable at run time under /sys/module/tarnex/):
 *   refuse_fe00, refuse_fe01  errno with which to refuse the request (0: accept)
 *   err_num, device_err_num   written into a record refused that way
 *   hook_result               what tarnex_hook returns
 *
 * tarnex_hook (GPL export, so that symbol_get finds it) counts its calls in
 * /proc/tarnex/hook and prints a line on the console.
 */
#include <linux/atomic.h>
#include <linux/compat.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>

#define TARNEX_SET_HBA_ARRAY	0xC004FE00u	/* hba_info_array */
#define TARNEX_SET_SHPC_TABLE	0xC004FE01u	/* shpc_info_table */
#define HBA_ARRAY_HDR		8		/* count, err_num */
#define HBA_INFO_SIZE		36
#define SHPC_TABLE_HDR		20		/* count, total_size, max_hba_count, err_num, device_err_num */
#define SHPC_INFO_SIZE		76
#define SHPC_HBAS_OFFSET	72		/* i386 address of the bridge's hba_info_array */
#define MAX_ELEMENTS		1024		/* larger counts are refused, not copied */
#define PUB_SIZE		(512 * 1024)

static int refuse_fe00;
module_param(refuse_fe00, int, 0644);
MODULE_PARM_DESC(refuse_fe00, "errno with which to refuse 0xC004FE00 (0: accept)");
static int refuse_fe01;
module_param(refuse_fe01, int, 0644);
MODULE_PARM_DESC(refuse_fe01, "errno with which to refuse 0xC004FE01 (0: accept)");
static int err_num;
module_param(err_num, int, 0644);
MODULE_PARM_DESC(err_num, "err_num written into a refused record");
static int device_err_num;
module_param(device_err_num, int, 0644);
MODULE_PARM_DESC(device_err_num, "device_err_num written into a refused bridge table");
static int hook_result;
module_param(hook_result, int, 0644);
MODULE_PARM_DESC(hook_result, "value returned by tarnex_hook");

static DEFINE_MUTEX(tarnex_lock);	/* one request at a time; guards pub_* */
static char *pub_buf;
static size_t pub_len;
static atomic_t hook_calls = ATOMIC_INIT(0);
static struct proc_dir_entry *proc_dir;

/* a record as copied in: its bytes, or NULL when nothing could be read */
struct copied {
	u8 *data;
	size_t len;
};

static void pub_text(const char *s)
{
	size_t n = strlen(s);

	if (pub_len + n < PUB_SIZE) {
		memcpy(pub_buf + pub_len, s, n);
		pub_len += n;
	}
}

static void pub_hex(const struct copied *c)
{
	pub_text("\"");
	if (pub_len + 2 * c->len + 1 < PUB_SIZE)
		pub_len = (char *)bin2hex(pub_buf + pub_len, c->data, c->len) - pub_buf;
	pub_text("\"");
}

static void __user *user_ptr(u32 addr, bool compat)
{
#ifdef CONFIG_COMPAT
	if (compat)
		return compat_ptr(addr);
#endif
	return (void __user *)(unsigned long)addr;
}

/*
 * Copies a counted record: a header of hdr bytes whose first word is the
 * element count, then that many elements of size bytes. A count beyond
 * MAX_ELEMENTS is refused with the header alone copied.
 */
static int copy_counted(void __user *up, size_t hdr, size_t size, struct copied *c)
{
	u32 count;
	int ret = 0;

	c->data = NULL;
	c->len = 0;
	if (get_user(count, (u32 __user *)up))
		return -EFAULT;
	c->len = hdr + (size_t)count * size;
	if (count > MAX_ELEMENTS) {
		c->len = hdr;
		ret = -EINVAL;
	}
	c->data = memdup_user(up, c->len);
	if (IS_ERR(c->data)) {
		c->data = NULL;
		c->len = 0;
		return -EFAULT;
	}
	return ret;
}

static long tarnex_do_ioctl(unsigned int cmd, void __user *up, bool compat)
{
	struct copied rec, *hbas = NULL;
	u32 i, count = 0;
	char line[96];
	int ret;

	if (cmd != TARNEX_SET_HBA_ARRAY && cmd != TARNEX_SET_SHPC_TABLE)
		return -ENOTTY;
	if (cmd == TARNEX_SET_HBA_ARRAY) {
		ret = copy_counted(up, HBA_ARRAY_HDR, HBA_INFO_SIZE, &rec);
	} else {
		ret = copy_counted(up, SHPC_TABLE_HDR, SHPC_INFO_SIZE, &rec);
		count = ret ? 0 : le32_to_cpup((__le32 *)rec.data);
		hbas = kcalloc(count + 1, sizeof(*hbas), GFP_KERNEL);
		if (!hbas) {
			kfree(rec.data);
			return -ENOMEM;
		}
		for (i = 0; i < count; i++) {
			u32 addr = le32_to_cpup((__le32 *)(rec.data + SHPC_TABLE_HDR +
							   i * SHPC_INFO_SIZE + SHPC_HBAS_OFFSET));
			int r = addr ? copy_counted(user_ptr(addr, compat), HBA_ARRAY_HDR,
						    HBA_INFO_SIZE, &hbas[i]) : -EINVAL;

			ret = ret ? ret : r;
		}
	}
	if (!ret && cmd == TARNEX_SET_HBA_ARRAY && refuse_fe00) {
		ret = -refuse_fe00;
		put_user(err_num, (s32 __user *)(up + 4));
	} else if (!ret && cmd == TARNEX_SET_SHPC_TABLE && refuse_fe01) {
		ret = -refuse_fe01;
		put_user(err_num, (s32 __user *)(up + 12));
		put_user(device_err_num, (s32 __user *)(up + 16));
	}

	mutex_lock(&tarnex_lock);
	snprintf(line, sizeof(line), "{\"request\": %u, \"result\": %d, \"errno\": %d, "
		 "\"compat\": %d, \"record\": ", cmd, ret ? -1 : 0, -ret, compat);
	pub_text(line);
	pub_hex(&rec);
	if (hbas) {
		pub_text(", \"hbas\": [");
		for (i = 0; i < count; i++) {
			pub_text(i ? ", " : "");
			if (hbas[i].data)
				pub_hex(&hbas[i]);
			else
				pub_text("null");
			kfree(hbas[i].data);
		}
		pub_text("]");
		kfree(hbas);
	}
	pub_text("}\n");
	mutex_unlock(&tarnex_lock);
	kfree(rec.data);
	return ret;
}

static long tarnex_ioctl(struct file *f, unsigned int cmd, unsigned long arg)
{
	return tarnex_do_ioctl(cmd, (void __user *)arg, false);
}

#ifdef CONFIG_COMPAT
static long tarnex_compat_ioctl(struct file *f, unsigned int cmd, unsigned long arg)
{
	return tarnex_do_ioctl(cmd, compat_ptr(arg), true);
}
#endif

static const struct file_operations tarnex_fops = {
	.owner = THIS_MODULE,
	.open = nonseekable_open,
	.unlocked_ioctl = tarnex_ioctl,
#ifdef CONFIG_COMPAT
	.compat_ioctl = tarnex_compat_ioctl,
#endif
};

static struct miscdevice tarnex_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "tarnex",
	.fops = &tarnex_fops,
	.mode = 0600,
};

/* what the panic module binds to: no arguments, 0 on success */
int tarnex_hook(void);
int tarnex_hook(void)
{
	int n = atomic_inc_return(&hook_calls);

	pr_emerg("tarnex: tarnex_hook called (call %d, result %d)\n", n, hook_result);
	return hook_result;
}
EXPORT_SYMBOL_GPL(tarnex_hook);

static int received_show(struct seq_file *m, void *v)
{
	mutex_lock(&tarnex_lock);
	seq_write(m, pub_buf, pub_len);
	mutex_unlock(&tarnex_lock);
	return 0;
}

static int received_open(struct inode *inode, struct file *f)
{
	return single_open_size(f, received_show, NULL, PUB_SIZE + PAGE_SIZE);
}

static ssize_t received_write(struct file *f, const char __user *buf, size_t n, loff_t *pos)
{
	mutex_lock(&tarnex_lock);
	pub_len = 0;
	mutex_unlock(&tarnex_lock);
	return n;
}

static const struct proc_ops received_ops = {
	.proc_open = received_open,
	.proc_read = seq_read,
	.proc_write = received_write,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
};

static int hook_show(struct seq_file *m, void *v)
{
	seq_printf(m, "calls=%d\n", atomic_read(&hook_calls));
	return 0;
}

static int __init tarnex_init(void)
{
	int err = -ENOMEM;

	pub_buf = vzalloc(PUB_SIZE);
	if (!pub_buf)
		return -ENOMEM;
	proc_dir = proc_mkdir("tarnex", NULL);
	if (!proc_dir || !proc_create("received", 0600, proc_dir, &received_ops) ||
	    !proc_create_single("hook", 0444, proc_dir, hook_show))
		goto fail;
	err = misc_register(&tarnex_misc);
	if (err)
		goto fail;
	pr_info("tarnex: stand-in driver loaded, /dev/tarnex minor %d\n", tarnex_misc.minor);
	return 0;
fail:
	proc_remove(proc_dir);
	vfree(pub_buf);
	return err;
}

static void __exit tarnex_exit(void)
{
	misc_deregister(&tarnex_misc);
	proc_remove(proc_dir);
	vfree(pub_buf);
}

module_init(tarnex_init);
module_exit(tarnex_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("stand-in for the tarnex driver: publishes the records it receives");
