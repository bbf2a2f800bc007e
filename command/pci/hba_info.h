// The records of one registration: every adapter of the HBA address table
// assigned to the hot-plug bridge whose slot holds it, or to the plain array
// of adapters behind no such bridge, with one hba_info per adapter.
#pragma once

#include <stdint.h>

#include "conf/records.h"
#include "pci/driver.h"

enum {
    // Marks a bus-ID entry naming the same function as an earlier one; the
    // entry is then left out of the records. Both bits set mean marked.
    REC_DUPLICATE = 0x600,
};

// Whether a table record is the bus-ID word of an entry line.
bool is_busid_entry(const conf_record *rec);
bool is_duplicate(const conf_record *rec);

// Snapshots the PCI functions, finds the hot-plug bridges and builds the
// bridge table and the plain array from the HBA address table: 0 with both
// handed out (the caller owns them, see hba_records_free), or -1 after
// reporting with both set to null.
int build_shpc_hba_info(shpc_info_table **table_out, hba_info_array **array_out);
// The same over another directory laid out like /sys/bus/pci/devices.
int build_shpc_hba_info_dir(const char *dir, shpc_info_table **table_out,
                            hba_info_array **array_out);

// Marks every bus-ID entry that names the same function as an earlier
// unmarked one: 0, or -1 after reporting.
int mark_duplicate_busids(void);

// With fill false, counts the adapters per bridge element and behind no
// bridge and allocates every array (the plain one into *array_out); with fill
// true, fills them. 0, or -1 after reporting.
int build_shpc_hba_info_sub(shpc_info_table *table, hba_info_array **array_out, bool fill);

// Fills out for the adapter at this address, named by the bus-ID entry: 0,
// or -1 after reporting.
int build_hba_info(uint16_t domain, uint8_t bus, uint8_t device, uint8_t function,
                   const conf_record *entry, hba_info *out);

// A zeroed array of count elements with count set; null after reporting.
// *size_out gets its size in bytes.
hba_info_array *hba_array_alloc(uint32_t count, uint32_t *size_out);
