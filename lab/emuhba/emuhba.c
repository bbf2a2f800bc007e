// SPDX-License-Identifier: GPL-2.0
/*
 * Stand-in SCSI host adapter for the lab's emulated server.
 *
 * None of QEMU's SCSI adapters has a power-management capability, so a disk
 * on them can never be registered with the tarnex driver. This module turns
 * chosen PCI functions that do have one (module parameter slots, a comma-
 * separated list of bus IDs) into SCSI hosts with one small RAM disk each.
 * The hosts' parent device is the PCI function itself, so the kernel's
 * SCSI_IOCTL_GET_PCI reports its bus ID, as for a real adapter. The device's
 * own registers are never touched. Each disk has an MBR with one partition.
 */
#include <linux/module.h>
#include <linux/pci.h>
#include <linux/string.h>
#include <linux/version.h>
#include <linux/vmalloc.h>
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 12, 0)
#include <linux/unaligned.h>
#else
#include <asm/unaligned.h>
#endif
#include <scsi/scsi.h>
#include <scsi/scsi_cmnd.h>
#include <scsi/scsi_device.h>
#include <scsi/scsi_host.h>

#define EMU_BLOCKS	2048		/* 1 MiB of 512-byte blocks */
#define EMU_BLOCK	512

static char *slots = "";
module_param(slots, charp, 0444);
MODULE_PARM_DESC(slots, "bus IDs of the PCI functions to drive, comma-separated");

struct emuhba {
	u8 *data;
};

static bool wanted(struct pci_dev *pdev)
{
	const char *p = slots, *name = pci_name(pdev);
	size_t n = strlen(name);

	while (*p) {
		if (!strncmp(p, name, n) && (p[n] == ',' || p[n] == 0))
			return true;
		p = strchrnul(p, ',');
		if (*p)
			p++;
	}
	return false;
}

static void fail(struct scsi_cmnd *sc)
{
	scsi_build_sense(sc, 0, ILLEGAL_REQUEST, 0x20, 0);	/* invalid opcode */
}

static void reply(struct scsi_cmnd *sc, const void *buf, unsigned int len)
{
	scsi_sg_copy_from_buffer(sc, buf, len);
	if (scsi_bufflen(sc) > len)
		scsi_set_resid(sc, scsi_bufflen(sc) - len);
}

static void rw(struct scsi_cmnd *sc, struct emuhba *h, u64 lba, u32 count, bool write)
{
	size_t off = lba * EMU_BLOCK, len = (size_t)count * EMU_BLOCK;

	if (lba + count > EMU_BLOCKS || len > scsi_bufflen(sc)) {
		scsi_build_sense(sc, 0, ILLEGAL_REQUEST, 0x21, 0);	/* LBA out of range */
		return;
	}
	if (write)
		scsi_sg_copy_to_buffer(sc, h->data + off, len);
	else
		scsi_sg_copy_from_buffer(sc, h->data + off, len);
}

static int emuhba_queuecommand(struct Scsi_Host *shost, struct scsi_cmnd *sc)
{
	struct emuhba *h = shost_priv(shost);
	const u8 *cdb = sc->cmnd;
	u8 buf[36] = { 0 };

	sc->result = 0;
	switch (cdb[0]) {
	case TEST_UNIT_READY:
	case SYNCHRONIZE_CACHE:
		break;
	case INQUIRY:
		if (cdb[1] & 1) {		/* no vital product data pages */
			fail(sc);
			break;
		}
		buf[2] = 2;			/* SCSI-2: no REPORT LUNS, no READ CAPACITY(16) */
		buf[3] = 2;
		buf[4] = sizeof(buf) - 5;
		memcpy(buf + 8, "EMU     ", 8);
		memcpy(buf + 16, "PM-CAPABLE HBA  ", 16);
		memcpy(buf + 32, "1.0 ", 4);
		reply(sc, buf, sizeof(buf));
		break;
	case READ_CAPACITY:
		put_unaligned_be32(EMU_BLOCKS - 1, buf);
		put_unaligned_be32(EMU_BLOCK, buf + 4);
		reply(sc, buf, 8);
		break;
	case READ_6:
	case WRITE_6:
		rw(sc, h, get_unaligned_be24(cdb + 1) & 0x1fffff, cdb[4] ? cdb[4] : 256,
		   cdb[0] == WRITE_6);
		break;
	case READ_10:
	case WRITE_10:
		rw(sc, h, get_unaligned_be32(cdb + 2), get_unaligned_be16(cdb + 7),
		   cdb[0] == WRITE_10);
		break;
	default:
		fail(sc);
	}
	scsi_done(sc);
	return 0;
}

static struct scsi_host_template emuhba_template = {
	.module = THIS_MODULE,
	.name = "emuhba",
	.proc_name = "emuhba",
	.queuecommand = emuhba_queuecommand,
	.can_queue = 1,
	.this_id = -1,
	.sg_tablesize = SG_ALL,
	.cmd_per_lun = 1,
	.max_sectors = 128,
};

static int emuhba_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	struct Scsi_Host *shost;
	struct emuhba *h;
	int err;

	if (!wanted(pdev))
		return -ENODEV;
	shost = scsi_host_alloc(&emuhba_template, sizeof(*h));
	if (!shost)
		return -ENOMEM;
	h = shost_priv(shost);
	h->data = vzalloc(EMU_BLOCKS * EMU_BLOCK);
	if (!h->data) {
		scsi_host_put(shost);
		return -ENOMEM;
	}
	/* one partition (type 0x83) from block 64 to the end */
	h->data[446 + 4] = 0x83;
	put_unaligned_le32(64, h->data + 446 + 8);
	put_unaligned_le32(EMU_BLOCKS - 64, h->data + 446 + 12);
	h->data[510] = 0x55;
	h->data[511] = 0xaa;
	snprintf(h->data + 64 * EMU_BLOCK, 32, "EMUHBA-%s", pci_name(pdev));
	shost->max_id = 1;
	shost->max_lun = 1;
	shost->max_channel = 0;
	err = scsi_add_host(shost, &pdev->dev);
	if (err) {
		vfree(h->data);
		scsi_host_put(shost);
		return err;
	}
	pci_set_drvdata(pdev, shost);
	scsi_scan_host(shost);
	return 0;
}

static void emuhba_remove(struct pci_dev *pdev)
{
	struct Scsi_Host *shost = pci_get_drvdata(pdev);
	struct emuhba *h = shost_priv(shost);

	scsi_remove_host(shost);
	vfree(h->data);
	scsi_host_put(shost);
}

static const struct pci_device_id emuhba_ids[] = {
	{ PCI_DEVICE(PCI_ANY_ID, PCI_ANY_ID) },	/* narrowed by slots in probe */
	{ }
};

static struct pci_driver emuhba_driver = {
	.name = "emuhba",
	.id_table = emuhba_ids,
	.probe = emuhba_probe,
	.remove = emuhba_remove,
};

module_pci_driver(emuhba_driver);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("SCSI host stand-in on chosen PCI functions, for the lab's emulated server");
