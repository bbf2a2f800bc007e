/*
 * Where the KCS interface is: the ACPI SPMI table first, instance after
 * instance, then the SMBIOS type-38 records the kernel keeps as DMI devices
 * of the IPMI type.  The first KCS interface in I/O space wins; its data
 * port goes to KCSBASEADDR and its interrupt line to KCSIRQ.
 *
 * Both records are copied out of the kernel and read as raw little-endian
 * bytes, so that neither the kernel's structure layouts nor the width of
 * long matter.  A record shorter than what is read is read as zeros beyond
 * its end.
 */
#include "panicforkiv.h"
#include "fw_tables.h"

#define SPMI_COPY_SIZE          64
#define SPMI_MAX_INSTANCES      256

static u32 get_le32(const u8 *p)
{
	return (u32)p[0] | (u32)p[1] << 8 | (u32)p[2] << 16 | (u32)p[3] << 24;
}

static u64 get_le64(const u8 *p)
{
	return (u64)get_le32(p) | (u64)get_le32(p + 4) << 32;
}

/*
 * 1 with *addr set when this SPMI instance describes a KCS interface in
 * I/O space, 0 when the next instance is to be tried.
 */
static int spmi_usable(const u8 *t, int len, const void *where, u64 *addr)
{
	if (len < SPMI_MIN_LENGTH) {
		dbg(KERN_INFO, "SPMI(%p): IPMI: SPMI table too short %d\n", where, len);
		return 0;
	}
	if (t[SPMI_LEGACY] != 1) {
		dbg(KERN_INFO, "SPMI(%p): IPMI: Bad SPMI legacy %d\n", where,
		    t[SPMI_LEGACY]);
		return 0;
	}
	if (t[SPMI_INTERFACE_TYPE] != SPMI_TYPE_KCS) {
		dbg(KERN_INFO, "SPMI(%p): IPMI interface is not KCS type\n", where);
		return 0;
	}
	if (t[SPMI_ADDR_SPACE] == SPMI_SPACE_MEMORY) {
		dbg(KERN_INFO, "SPMI(%p): IPMI interface do not use I/O ports\n", where);
		return 0;
	}
	if (t[SPMI_INTERRUPT_TYPE] & SPMI_INT_GSI)
		KCSIRQ = panicforkiv_gsi_to_irq(get_le32(&t[SPMI_GSI]));
	*addr = get_le64(&t[SPMI_ADDRESS]);
	return 1;
}

/* 1 with *addr set when an SPMI instance names the interface. */
static int spmi_search(u64 *addr)
{
	u8 t[SPMI_COPY_SIZE];
	const void *where;
	u32 n;
	int len;

	for (n = 1; n <= SPMI_MAX_INSTANCES; n++) {
		memset(t, 0, sizeof(t));
		where = NULL;
		len = panicforkiv_get_spmi(n, t, sizeof(t), &where);
		if (len < 0)
			break;
		if (!spmi_usable(t, len, where, addr))
			continue;
		dbg(KERN_INFO, "IPMI: KCS interface address: %08lx\n", (unsigned long)(u32)*addr);
		/* An SPMI table without an address sends us to SMBIOS. */
		return *addr != KCS_NO_INTERFACE;
	}
	dbg(KERN_WARNING, "SPMI: Could not get SPMI table with ACPI\n");
	return 0;
}

/* 1 with *addr set when a type-38 record describes a KCS interface in I/O space. */
static int dmi_search(u64 *addr)
{
	u8 rec[DMI_IPMI_COPY_SIZE];
	const void *dev = NULL;
	u32 base;
	u8 irq;
	int io;

	dbg(KERN_WARNING, "IPMI: Retrieving the DMI table instead of the SPMI table.\n");
	for (;;) {
		memset(rec, 0, sizeof(rec));
		dev = panicforkiv_next_ipmi_device(dev, rec, sizeof(rec));
		if (!dev)
			break;
		base = get_le32(&rec[DMI_IPMI_BASE]);
		if (rec[DMI_IPMI_LENGTH] >= DMI_IPMI_LONG_LENGTH) {
			io = (base & DMI_IPMI_BASE_IO) != 0;
			if (io)
				base &= DMI_IPMI_IO_MASK;
			base |= (rec[DMI_IPMI_MODIFIER] >> DMI_IPMI_LSB_SHIFT) & 1;
			irq = rec[DMI_IPMI_IRQ];
			if ((rec[DMI_IPMI_MODIFIER] >> DMI_IPMI_SPACING_SHIFT) == DMI_IPMI_SPACING_BAD)
				continue;
		} else {
			io = 1;
			base &= DMI_IPMI_IO_MASK;
			irq = 0;
		}
		if (rec[DMI_IPMI_INTERFACE_TYPE] != DMI_IPMI_TYPE_KCS) {
			dbg(KERN_INFO, "DMI(%p): IPMI interface is not KCS type\n", dev);
			continue;
		}
		if (!io) {
			dbg(KERN_INFO, "DMI(%p): IPMI interface do not use I/O ports\n", dev);
			continue;
		}
		KCSIRQ = irq;
		*addr = base;
		dbg(KERN_INFO, "DMI: KCS interface address: %08lx\n", (unsigned long)base);
		return 1;
	}
	dbg(KERN_WARNING, "DMI: Could not get DMI table with SMBIOS\n");
	return 0;
}

int get_ipmi_interface(void)
{
	u64 addr = KCS_NO_INTERFACE;
	int found = 0;

	if (panicforkiv_acpi_disabled())
		pr_err("SPMI: ACPI is disabled.\n");
	else
		found = spmi_search(&addr);
	if (!found)
		found = dmi_search(&addr);
	if (!found) {
		pr_err("IPMI: Could not get IPMI interface.\n");
		KCSBASEADDR = KCS_NO_INTERFACE;
		return -ENODEV;
	}
	dbg(KERN_INFO, "IPMI: Success. KCS interface address: %08lx\n", (unsigned long)(u32)addr);
	KCSBASEADDR = addr;
	return 0;
}
