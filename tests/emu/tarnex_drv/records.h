/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Records that the tarnex command hands to the driver through /dev/tarnex.
 * The layout is the i386 one: little-endian integers and 32-bit user
 * addresses, whatever the width of the kernel that receives them.
 */
#ifndef TARNEX_RECORDS_H
#define TARNEX_RECORDS_H

#include <linux/types.h>
#include <linux/ioctl.h>

/* ioctl requests: read/write, type 0xFE, argument size 4 (an i386 address) */
#define TARNEX_IOC_TYPE		0xFE
#define TARNEX_SET_HBA_ARRAY	0xC004FE00u	/* struct hba_info_array */
#define TARNEX_SET_SHPC_TABLE	0xC004FE01u	/* struct shpc_info_table */

/* magic values */
#define HBA_INFO_MAGIC		0xBEEF2BADu	/* every hba_info */
#define BRIDGE_SHPC		0xFEEDBEEFu	/* shpc_info: bridge with an SHPC */
#define BRIDGE_PCIE		0x7ED4BEEFu	/* shpc_info: PCIe downstream port */

#define PCI_BRIDGE_CLASS_WORD	0x0604u		/* class_code of every bridge element */
#define BUS_ID_LEN		20		/* bus_id text field, NUL included */

/* one adapter: 36 bytes */
struct hba_info {
	u32 magic;		/* HBA_INFO_MAGIC */
	u32 alt_pm;		/* 1: named by alterpm.conf */
	u16 domain;
	u8 bus;
	u8 device;
	u8 function;
	u8 revision_id;		/* config 0x08 */
	u8 pm_cap;		/* offset of the PM capability, never 0 */
	u8 header_type;		/* config 0x0E as read */
	char bus_id[BUS_ID_LEN];
} __packed;

/* counted array of adapters: 8 + 36 * count bytes */
struct hba_info_array {
	u32 count;
	s32 err_num;		/* 1-based rejected element, written on refusal */
	struct hba_info hba[];
} __packed;

/* one hot-plug capable bridge: 76 bytes */
struct shpc_info {
	u32 magic;		/* BRIDGE_SHPC or BRIDGE_PCIE */
	u32 reserved0;
	u16 domain;
	u8 bus;
	u8 device;
	u8 function;
	u8 revision_id;
	u8 reserved1;
	u8 header_type;
	char bus_id[BUS_ID_LEN];
	u16 class_code;		/* PCI_BRIDGE_CLASS_WORD */
	u8 secondary_bus;	/* config 0x19 */
	u8 cap_offset;		/* SHPC or PCI Express capability */
	u8 first_device;	/* SHPC: first slot device number */
	u8 slot_count;		/* SHPC: slots at the current bus mode */
	u16 reserved2;
	u32 slots_available1;	/* SHPC register 1 */
	u32 slots_available2;	/* SHPC register 2 */
	u32 slot_config;	/* SHPC register 3 */
	u32 sec_bus_config;	/* SHPC register 4 */
	u64 reserved3;
	u32 hba_count;
	u32 hbas;		/* i386 address of this bridge's hba_info_array */
} __packed;

/* bridge table: 20 + 76 * count bytes, the per-bridge arrays elsewhere */
struct shpc_info_table {
	u32 count;
	u32 total_size;		/* header, elements and every hbas array */
	u32 max_hba_count;
	s32 err_num;		/* 1-based rejected bridge, written on refusal */
	s32 device_err_num;	/* 1-based rejected adapter of that bridge */
	struct shpc_info shpc[];
} __packed;

#define HBA_ARRAY_HDR		8
#define SHPC_TABLE_HDR		20

/* exported for the panic module: no arguments, 0 on success */
int tarnex_hook(void);

#endif
