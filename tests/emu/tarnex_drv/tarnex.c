// SPDX-License-Identifier: GPL-2.0
/*
 * Stand-in for the maker's tarnex driver, for the emulated server.
 *
 * /dev/tarnex takes the two registration requests of the tarnex command
 * through its native and 32-bit compat ioctl handlers, copies in and checks
 * both records (magics, counts, total_size, every per-bridge array through
 * its 32-bit address, the adapters' placement) and publishes everything it
 * received in /proc/tarnex/received: a decoded form for people and the raw
 * bytes for the tests. Writing to that file empties it.
 *
 * Module parameters (writable at run time under /sys/module/tarnex/):
 *   refuse_fe00, refuse_fe01  errno with which to refuse the request (0: no)
 *   err_num, device_err_num   stored in the record when a refusal is injected
 *   hook_result               what tarnex_hook returns
 *
 * tarnex_hook (GPL export, so that symbol_get finds it) counts its calls in
 * /proc/tarnex/hook and prints a marker on the console.
 */
#include <linux/atomic.h>
#include <linux/compat.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/sched.h>
#include <linux/seq_file.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>

#include "records.h"

#define MAX_HBAS	1024	/* adapters in one array */
#define MAX_BRIDGES	256	/* elements of the bridge table */
#define PUB_SIZE	(512 * 1024)
#define MAX_SEEN	(MAX_HBAS * 2)

static int refuse_fe00;
module_param(refuse_fe00, int, 0644);
MODULE_PARM_DESC(refuse_fe00, "errno with which to refuse 0xC004FE00 (0: accept)");
static int refuse_fe01;
module_param(refuse_fe01, int, 0644);
MODULE_PARM_DESC(refuse_fe01, "errno with which to refuse 0xC004FE01 (0: accept)");
static int err_num;
module_param(err_num, int, 0644);
MODULE_PARM_DESC(err_num, "err_num stored on an injected refusal");
static int device_err_num;
module_param(device_err_num, int, 0644);
MODULE_PARM_DESC(device_err_num, "device_err_num stored on an injected refusal");
static int hook_result;
module_param(hook_result, int, 0644);
MODULE_PARM_DESC(hook_result, "value returned by tarnex_hook");

static DEFINE_MUTEX(tarnex_lock);	/* one request at a time; guards pub_* */
static char *pub_buf;
static size_t pub_len;
static bool pub_full;
static atomic_t hook_calls = ATOMIC_INIT(0);
static struct proc_dir_entry *proc_dir;

/* adapters accepted by the last 0xC004FE00 on an open file */
struct open_state {
	unsigned int nseen;
	u32 seen[MAX_SEEN];	/* domain << 16 | bus << 8 | devfn */
};

static __printf(1, 2) void pub(const char *fmt, ...)
{
	va_list ap;
	size_t room = PUB_SIZE - pub_len;
	int n;

	if (pub_full)
		return;
	va_start(ap, fmt);
	n = vsnprintf(pub_buf + pub_len, room, fmt, ap);
	va_end(ap);
	if (n >= room) {
		pub_full = true;
		pub_len = PUB_SIZE - 1;
		pub_buf[pub_len] = 0;
		return;
	}
	pub_len += n;
}

static void pub_raw(const char *tag, const void *p, size_t n)
{
	const u8 *b = p;
	size_t i;

	pub("raw %s ", tag);
	for (i = 0; i < n; i++)
		pub("%02x", b[i]);
	pub("\n");
}

static void __user *rec_ptr(u32 addr, bool compat)
{
#ifdef CONFIG_COMPAT
	if (compat)
		return compat_ptr(addr);
#endif
	return (void __user *)(unsigned long)addr;
}

/* bus_id: NUL-terminated text, zero after the NUL; returns its length or -1 */
static int bus_id_len(const char *id)
{
	int n = strnlen(id, BUS_ID_LEN), i;

	if (n == BUS_ID_LEN || n == 0)
		return -1;
	for (i = n; i < BUS_ID_LEN; i++)
		if (id[i])
			return -1;
	return n;
}

static u32 addr_key(u16 domain, u8 bus, u8 device, u8 function)
{
	return (u32)domain << 16 | (u32)bus << 8 | (device & 0x1f) << 3 | (function & 7);
}

static void pub_hba(const char *idx, const struct hba_info *h)
{
	pub(" hba %s magic=%08x alt_pm=%u addr=%04x:%02x:%02x.%x rev=%02x pm_cap=%02x hdr=%02x bus_id=%.20s\n",
	    idx, h->magic, h->alt_pm, h->domain, h->bus, h->device, h->function,
	    h->revision_id, h->pm_cap, h->header_type, h->bus_id);
}

/* checks one adapter; returns a reason or NULL */
static const char *check_hba(const struct hba_info *h)
{
	char want[BUS_ID_LEN];

	if (h->magic != HBA_INFO_MAGIC)
		return "bad hba magic";
	if (h->alt_pm > 1)
		return "alt_pm neither 0 nor 1";
	if (h->pm_cap == 0)
		return "pm_cap 0";
	if (h->device > 31 || h->function > 7)
		return "device or function out of range";
	if (bus_id_len(h->bus_id) < 0)
		return "bus_id not terminated or not zero-padded";
	snprintf(want, sizeof(want), "%04x:%02x:%02x.%x", h->domain, h->bus, h->device, h->function);
	if (strcasecmp(want, h->bus_id))
		return "bus_id does not name the adapter's address";
	return NULL;
}

static bool seen_before(const u32 *seen, unsigned int n, u32 key)
{
	unsigned int i;

	for (i = 0; i < n; i++)
		if (seen[i] == key)
			return true;
	return false;
}

/*
 * Copies a counted array from user space, header first, then the whole.
 * Returns an ERR_PTR with the reason in *why on failure.
 */
static struct hba_info_array *copy_array(void __user *up, u32 *count_out, const char **why)
{
	struct hba_info_array hdr, *a;

	if (copy_from_user(&hdr, up, sizeof(hdr))) {
		*why = "fault reading the array header";
		return ERR_PTR(-EFAULT);
	}
	*count_out = hdr.count;
	if (hdr.count > MAX_HBAS) {
		*why = "array count too large";
		return ERR_PTR(-EINVAL);
	}
	a = memdup_user(up, HBA_ARRAY_HDR + (size_t)hdr.count * sizeof(struct hba_info));
	if (IS_ERR(a))
		*why = "fault reading the array";
	return a;
}

static long set_hba_array(struct open_state *st, void __user *up)
{
	struct hba_info_array *a;
	const char *why = NULL;
	u32 count = 0, i;
	int bad = 0;
	long ret = 0;
	char idx[16];

	st->nseen = 0;
	a = copy_array(up, &count, &why);
	if (IS_ERR(a)) {
		pub("array count=%u\n", count);
		pub("verdict invalid(%s) ret=%ld\n", why, PTR_ERR(a));
		return PTR_ERR(a);
	}
	pub("array count=%u err_num=%d\n", a->count, a->err_num);
	for (i = 0; i < a->count; i++) {
		snprintf(idx, sizeof(idx), "%u", i + 1);
		pub_hba(idx, &a->hba[i]);
	}
	pub_raw("array", a, HBA_ARRAY_HDR + (size_t)a->count * sizeof(struct hba_info));

	if (a->err_num)
		why = "err_num not 0 when sent";
	for (i = 0; !why && i < a->count; i++) {
		const struct hba_info *h = &a->hba[i];
		u32 key = addr_key(h->domain, h->bus, h->device, h->function);

		why = check_hba(h);
		if (!why && seen_before(st->seen, st->nseen, key))
			why = "adapter sent twice";
		if (why)
			bad = i + 1;
		else
			st->seen[st->nseen++] = key;
	}
	if (why) {
		st->nseen = 0;
		if (bad)
			put_user(bad, &((struct hba_info_array __user *)up)->err_num);
		pub("verdict invalid(%s) err_num=%d ret=%d\n", why, bad, -EINVAL);
		ret = -EINVAL;
	} else if (refuse_fe00) {
		put_user(err_num, &((struct hba_info_array __user *)up)->err_num);
		pub("verdict refused(injected) err_num=%d ret=%d\n", err_num, -refuse_fe00);
		ret = -refuse_fe00;
	} else {
		pub("verdict accepted ret=0\n");
	}
	kfree(a);
	return ret;
}

/* checks one bridge element's own fields; returns a reason or NULL */
static const char *check_bridge(const struct shpc_info *s)
{
	char want[BUS_ID_LEN];

	if (s->magic != BRIDGE_SHPC && s->magic != BRIDGE_PCIE)
		return "bad bridge magic";
	if (s->reserved0 || s->reserved1 || s->reserved2 || s->reserved3)
		return "reserved field not 0";
	if (s->class_code != PCI_BRIDGE_CLASS_WORD)
		return "class_code not 0x0604";
	if (s->cap_offset < 0x40)
		return "cap_offset outside the capability area";
	if (bus_id_len(s->bus_id) < 0)
		return "bus_id not terminated or not zero-padded";
	snprintf(want, sizeof(want), "%04x:%02x:%02x.%x", s->domain, s->bus, s->device, s->function);
	if (strcmp(want, s->bus_id))
		return "bus_id does not name the bridge's address";
	if (s->magic == BRIDGE_PCIE &&
	    (s->slots_available1 || s->slots_available2 || s->slot_config || s->sec_bus_config ||
	     s->first_device || s->slot_count))
		return "SHPC fields set on a PCI Express port";
	if (!s->hbas)
		return "hbas missing";
	if (s->hba_count > MAX_HBAS)
		return "hba_count too large";
	return NULL;
}

/* is the adapter on the bridge's secondary bus, in its slots for an SHPC? */
static bool under_bridge(const struct shpc_info *s, const struct hba_info *h)
{
	if (h->domain != s->domain || h->bus != s->secondary_bus)
		return false;
	if (s->magic == BRIDGE_PCIE)
		return true;
	return h->device >= s->first_device && h->device < s->first_device + s->slot_count;
}

static long set_shpc_table(struct open_state *st, void __user *up, bool compat)
{
	struct shpc_info_table hdr, *t = NULL;
	struct hba_info_array **arrays = NULL;
	const char *why = NULL;
	u32 i, j, total, maxc = 0, hcount;
	int bad = 0, bad_dev = 0;
	long ret = 0;
	char idx[24];

	if (copy_from_user(&hdr, up, sizeof(hdr))) {
		pub("verdict invalid(fault reading the table header) ret=%d\n", -EFAULT);
		return -EFAULT;
	}
	pub("table count=%u total_size=%u max_hba_count=%u err_num=%d device_err_num=%d\n",
	    hdr.count, hdr.total_size, hdr.max_hba_count, hdr.err_num, hdr.device_err_num);
	if (hdr.count > MAX_BRIDGES) {
		pub("verdict invalid(table count too large) ret=%d\n", -EINVAL);
		return -EINVAL;
	}
	t = memdup_user(up, SHPC_TABLE_HDR + (size_t)hdr.count * sizeof(struct shpc_info));
	if (IS_ERR(t)) {
		pub("verdict invalid(fault reading the table) ret=%ld\n", PTR_ERR(t));
		return PTR_ERR(t);
	}
	arrays = kcalloc(t->count + 1, sizeof(*arrays), GFP_KERNEL);
	if (!arrays) {
		kfree(t);
		return -ENOMEM;
	}
	pub_raw("table", t, SHPC_TABLE_HDR + (size_t)t->count * sizeof(struct shpc_info));

	total = SHPC_TABLE_HDR + t->count * sizeof(struct shpc_info);
	if (t->err_num || t->device_err_num)
		why = "err_num or device_err_num not 0 when sent";
	for (i = 0; i < t->count; i++) {
		const struct shpc_info *s = &t->shpc[i];
		const char *ewhy;

		pub(" bridge %u kind=%s magic=%08x addr=%04x:%02x:%02x.%x rev=%02x hdr=%02x bus_id=%.20s class=%04x sec_bus=%02x cap=%02x first_dev=%u slots=%u sa1=%08x sa2=%08x slot_cfg=%08x sec_cfg=%08x hba_count=%u\n",
		    i + 1, s->magic == BRIDGE_SHPC ? "shpc" : s->magic == BRIDGE_PCIE ? "pcie" : "?",
		    s->magic, s->domain, s->bus, s->device, s->function, s->revision_id,
		    s->header_type, s->bus_id, s->class_code, s->secondary_bus, s->cap_offset,
		    s->first_device, s->slot_count, s->slots_available1, s->slots_available2,
		    s->slot_config, s->sec_bus_config, s->hba_count);
		ewhy = check_bridge(s);
		if (ewhy) {
			if (!why) {
				why = ewhy;
				bad = i + 1;
			}
			continue;
		}
		arrays[i] = copy_array(rec_ptr(s->hbas, compat), &hcount, &ewhy);
		if (IS_ERR(arrays[i])) {
			arrays[i] = NULL;
			if (!why) {
				why = ewhy;
				bad = i + 1;
			}
			continue;
		}
		for (j = 0; j < arrays[i]->count; j++) {
			snprintf(idx, sizeof(idx), "%u.%u", i + 1, j + 1);
			pub_hba(idx, &arrays[i]->hba[j]);
		}
		snprintf(idx, sizeof(idx), "hbas %u", i + 1);
		pub_raw(idx, arrays[i], HBA_ARRAY_HDR + (size_t)arrays[i]->count * sizeof(struct hba_info));
		total += HBA_ARRAY_HDR + arrays[i]->count * sizeof(struct hba_info);
		if (arrays[i]->count > maxc)
			maxc = arrays[i]->count;
		if (!why && arrays[i]->count != s->hba_count) {
			why = "hbas count differs from hba_count";
			bad = i + 1;
		}
		if (!why && arrays[i]->err_num) {
			why = "hbas err_num not 0 when sent";
			bad = i + 1;
		}
		for (j = 0; !why && j < arrays[i]->count; j++) {
			const struct hba_info *h = &arrays[i]->hba[j];
			u32 key = addr_key(h->domain, h->bus, h->device, h->function);

			why = check_hba(h);
			if (!why && !under_bridge(s, h))
				why = "adapter not in the bridge's slots";
			if (!why && seen_before(st->seen, st->nseen, key))
				why = "adapter sent twice";
			if (why) {
				bad = i + 1;
				bad_dev = j + 1;
			} else if (st->nseen < MAX_SEEN) {
				st->seen[st->nseen++] = key;
			}
		}
	}
	if (!why && t->total_size != total)
		why = "total_size wrong";
	if (!why && t->max_hba_count != maxc)
		why = "max_hba_count wrong";
	pub("sum total_size=%u max_hba_count=%u\n", total, maxc);

	if (why) {
		if (bad) {
			put_user(bad, &((struct shpc_info_table __user *)up)->err_num);
			put_user(bad_dev, &((struct shpc_info_table __user *)up)->device_err_num);
		}
		pub("verdict invalid(%s) err_num=%d device_err_num=%d ret=%d\n", why, bad, bad_dev,
		    -EINVAL);
		ret = -EINVAL;
	} else if (refuse_fe01) {
		put_user(err_num, &((struct shpc_info_table __user *)up)->err_num);
		put_user(device_err_num, &((struct shpc_info_table __user *)up)->device_err_num);
		pub("verdict refused(injected) err_num=%d device_err_num=%d ret=%d\n", err_num,
		    device_err_num, -refuse_fe01);
		ret = -refuse_fe01;
	} else {
		pub("verdict accepted ret=0\n");
	}
	for (i = 0; i < t->count; i++)
		kfree(arrays[i]);
	kfree(arrays);
	kfree(t);
	return ret;
}

static long tarnex_do_ioctl(struct file *f, unsigned int cmd, unsigned long arg, bool compat)
{
	struct open_state *st = f->private_data;
	void __user *up = compat ? rec_ptr((u32)arg, true) : (void __user *)arg;
	long ret;

	if (cmd != TARNEX_SET_HBA_ARRAY && cmd != TARNEX_SET_SHPC_TABLE)
		return -ENOTTY;
	mutex_lock(&tarnex_lock);
	pub("request %04x compat=%d comm=%s\n", cmd & 0xffff, compat, current->comm);
	if (cmd == TARNEX_SET_HBA_ARRAY)
		ret = set_hba_array(st, up);
	else
		ret = set_shpc_table(st, up, compat);
	mutex_unlock(&tarnex_lock);
	return ret;
}

static long tarnex_ioctl(struct file *f, unsigned int cmd, unsigned long arg)
{
	return tarnex_do_ioctl(f, cmd, arg, false);
}

#ifdef CONFIG_COMPAT
static long tarnex_compat_ioctl(struct file *f, unsigned int cmd, unsigned long arg)
{
	return tarnex_do_ioctl(f, cmd, arg, true);
}
#endif

static int tarnex_open(struct inode *inode, struct file *f)
{
	f->private_data = kzalloc(sizeof(struct open_state), GFP_KERNEL);
	if (!f->private_data)
		return -ENOMEM;
	return nonseekable_open(inode, f);
}

static int tarnex_release(struct inode *inode, struct file *f)
{
	kfree(f->private_data);
	return 0;
}

static const struct file_operations tarnex_fops = {
	.owner = THIS_MODULE,
	.open = tarnex_open,
	.release = tarnex_release,
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
	if (pub_full)
		seq_puts(m, "overflow\n");
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
	pub_full = false;
	pub_buf[0] = 0;
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
	int err;

	pub_buf = vzalloc(PUB_SIZE);
	if (!pub_buf)
		return -ENOMEM;
	proc_dir = proc_mkdir("tarnex", NULL);
	if (!proc_dir ||
	    !proc_create("received", 0600, proc_dir, &received_ops) ||
	    !proc_create_single("hook", 0444, proc_dir, hook_show)) {
		err = -ENOMEM;
		goto fail;
	}
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
	pr_info("tarnex: stand-in driver unloaded, hook called %d times\n",
		atomic_read(&hook_calls));
}

module_init(tarnex_init);
module_exit(tarnex_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("tarnex driver stand-in for the emulated server tests");
