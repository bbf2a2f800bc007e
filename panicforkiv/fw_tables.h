/*
 * Firmware records that locate the IPMI system interface: the ACPI SPMI
 * table (Service Processor Management Interface) and the SMBIOS type-38
 * record (IPMI Device Information).  Byte offsets from the start of each.
 */
#ifndef PANICFORKIV_FW_TABLES_H
#define PANICFORKIV_FW_TABLES_H

/* ACPI SPMI table; bytes 0..35 are the common ACPI table header. */
#define SPMI_LENGTH             4       /* u32: length of the whole table */
#define SPMI_INTERFACE_TYPE     36
 #define SPMI_TYPE_KCS          1
#define SPMI_LEGACY             37      /* reserved, must be 1 */
#define SPMI_INTERRUPT_TYPE     40
 #define SPMI_INT_GPE           0x01    /* SCI through a general-purpose event */
 #define SPMI_INT_GSI           0x02    /* I/O APIC/SAPIC interrupt */
#define SPMI_GSI                44      /* u32: global system interrupt */
#define SPMI_ADDR_SPACE         48      /* generic address: space id */
 #define SPMI_SPACE_MEMORY      0       /* system memory; anything else is taken as I/O */
#define SPMI_ADDRESS            52      /* generic address: u64 address */
#define SPMI_MIN_LENGTH         60      /* up to the end of the address */

/* SMBIOS type 38, header included. */
#define DMI_IPMI_LENGTH         1       /* record length */
#define DMI_IPMI_INTERFACE_TYPE 4
 #define DMI_IPMI_TYPE_KCS      1
#define DMI_IPMI_BASE           8       /* u32 used of the base address */
 #define DMI_IPMI_BASE_IO       0x01    /* bit 0: I/O space */
 #define DMI_IPMI_IO_MASK       0xFFFE  /* I/O base without its space bit */
#define DMI_IPMI_MODIFIER       16      /* base address modifier, interrupt info */
 #define DMI_IPMI_SPACING_SHIFT 6       /* bits 7..6: register spacing, 3 reserved */
 #define DMI_IPMI_SPACING_BAD   3
 #define DMI_IPMI_LSB_SHIFT     4       /* bit 4: least significant address bit */
#define DMI_IPMI_IRQ            17
#define DMI_IPMI_LONG_LENGTH    17      /* records this long carry bytes 16.. */
#define DMI_IPMI_COPY_SIZE      32      /* bytes of a record we look at */

#endif /* PANICFORKIV_FW_TABLES_H */
