// The two records handed to the tarnex driver through /dev/tarnex, and the
// hand-over itself.
//
// The records are the interface with the driver and are laid out exactly as
// it reads them: little-endian integers, packed as below, addresses as 32-bit
// user-space addresses of this process. Addresses are therefore kept as
// uint32_t in the records, so the layout is the same in every build; only an
// i386 build (the deliverable) can actually hand them over, since a 64-bit
// process may hold its records above 4 GiB.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define TARNEX_DEVICE "/dev/tarnex"

enum : uint32_t {
    HBA_INFO_MAGIC = 0xbeef2bad,  // magic of every hba_info
    BRIDGE_SHPC = 0xfeedbeef,     // shpc_info of a PCI-to-PCI bridge with an SHPC
    BRIDGE_PCIE = 0x7ed4beef,     // shpc_info of a switch downstream port with a powered slot
};

// ioctl requests on /dev/tarnex: read and write, type 0xfe, argument size 4
// (the record's address).
enum : unsigned long {
    TARNEX_SET_HBA_INFO = 0xc004fe00UL,   // hba_info_array of the adapters behind no bridge
    TARNEX_SET_SHPC_INFO = 0xc004fe01UL,  // shpc_info_table
};

enum {
    BUS_ID_SIZE = 20,  // bus_id fields: NUL-terminated text, the rest zero
};

// One adapter (36 bytes).
struct hba_info {
    uint32_t magic;        // HBA_INFO_MAGIC
    uint32_t alt_pm;       // 1 when alterpm.conf names the adapter's model
    uint16_t domain;
    uint8_t bus;
    uint8_t device;
    uint8_t function;
    uint8_t revision_id;   // configuration byte 0x08
    uint8_t pm_cap;        // offset of the power-management capability, never 0
    uint8_t header_type;   // configuration byte 0x0e as read
    char bus_id[BUS_ID_SIZE];  // the table's bus-ID text
};

// A counted array of hba_info (8 + 36 * count bytes).
struct hba_info_array {
    uint32_t count;
    int32_t err_num;       // the driver names a refused element here, from 1
    hba_info elements[];
};

enum {
    SHPC_INFO_BRIDGE_SIZE = 68,  // the bytes a bridge record keeps: magic .. reserved3
};

// One hot-plug capable bridge (76 bytes).
struct shpc_info {
    uint32_t magic;             // BRIDGE_SHPC or BRIDGE_PCIE
    uint32_t reserved0;
    uint16_t domain;
    uint8_t bus;
    uint8_t device;
    uint8_t function;
    uint8_t revision_id;        // configuration byte 0x08
    uint8_t reserved1;
    uint8_t header_type;        // configuration byte 0x0e as read
    char bus_id[BUS_ID_SIZE];   // "%04x:%02x:%02x.%x" of the bridge
    uint16_t class_code;        // configuration word 0x0a: 0x0604
    uint8_t secondary_bus;      // configuration byte 0x19
    uint8_t cap_offset;         // SHPC or PCI Express capability
    uint8_t first_device;       // SHPC: first slot device, once evaluated
    uint8_t slot_count;         // SHPC: slots at the current speed, once evaluated
    uint16_t reserved2;
    uint32_t slots_available1;  // SHPC registers 1 to 4; 0 for BRIDGE_PCIE
    uint32_t slots_available2;
    uint32_t slot_config;
    uint32_t sec_bus_config;
    uint32_t reserved3[2];      // 64 bits, low word first
    uint32_t hba_count;         // adapters behind this bridge
    uint32_t hbas;              // address of this bridge's hba_info_array
};

// The bridge table (20 + 76 * count bytes; the arrays that the elements'
// hbas point to lie elsewhere).
struct shpc_info_table {
    uint32_t count;
    uint32_t total_size;        // 20 + 76 * count + the sizes of all bridge arrays
    uint32_t max_hba_count;
    int32_t err_num;            // refused bridge element, from 1
    int32_t device_err_num;     // refused adapter within that element's hbas, from 1
    shpc_info elements[];
};

// Every record as the driver reads it: its size and each field's offset.
static_assert(sizeof(hba_info) == 36 &&
              offsetof(hba_info, magic) == 0 && offsetof(hba_info, alt_pm) == 4 &&
              offsetof(hba_info, domain) == 8 && offsetof(hba_info, bus) == 10 &&
              offsetof(hba_info, device) == 11 && offsetof(hba_info, function) == 12 &&
              offsetof(hba_info, revision_id) == 13 && offsetof(hba_info, pm_cap) == 14 &&
              offsetof(hba_info, header_type) == 15 && offsetof(hba_info, bus_id) == 16);
static_assert(sizeof(hba_info_array) == 8 &&
              offsetof(hba_info_array, count) == 0 && offsetof(hba_info_array, err_num) == 4 &&
              offsetof(hba_info_array, elements) == 8);
static_assert(sizeof(shpc_info) == 76 &&
              offsetof(shpc_info, magic) == 0 && offsetof(shpc_info, reserved0) == 4 &&
              offsetof(shpc_info, domain) == 8 && offsetof(shpc_info, bus) == 10 &&
              offsetof(shpc_info, device) == 11 && offsetof(shpc_info, function) == 12 &&
              offsetof(shpc_info, revision_id) == 13 && offsetof(shpc_info, reserved1) == 14 &&
              offsetof(shpc_info, header_type) == 15 && offsetof(shpc_info, bus_id) == 16 &&
              offsetof(shpc_info, class_code) == 36 && offsetof(shpc_info, secondary_bus) == 38 &&
              offsetof(shpc_info, cap_offset) == 39 && offsetof(shpc_info, first_device) == 40 &&
              offsetof(shpc_info, slot_count) == 41 && offsetof(shpc_info, reserved2) == 42 &&
              offsetof(shpc_info, slots_available1) == 44 &&
              offsetof(shpc_info, slots_available2) == 48 &&
              offsetof(shpc_info, slot_config) == 52 && offsetof(shpc_info, sec_bus_config) == 56 &&
              offsetof(shpc_info, reserved3) == 60 && offsetof(shpc_info, hba_count) == 68 &&
              offsetof(shpc_info, hbas) == 72);
static_assert(offsetof(shpc_info, hba_count) == SHPC_INFO_BRIDGE_SIZE);
static_assert(sizeof(shpc_info_table) == 20 &&
              offsetof(shpc_info_table, count) == 0 && offsetof(shpc_info_table, total_size) == 4 &&
              offsetof(shpc_info_table, max_hba_count) == 8 &&
              offsetof(shpc_info_table, err_num) == 12 &&
              offsetof(shpc_info_table, device_err_num) == 16 &&
              offsetof(shpc_info_table, elements) == 20);

// What the command keeps of each bridge element's array, beside the table and
// out of the driver's reach: the driver may write into the records it is
// given, so the command never follows an address or trusts a count read back
// from them.
struct shpc_element_link {
    hba_info_array *hbas;
    uint32_t count;  // elements allocated in hbas
};

// Byte sizes of the records as the driver sees them.
uint32_t hba_array_size(uint32_t count);
uint32_t shpc_table_size(uint32_t count);
// Allocates a zeroed table of count elements with its count set and, outside
// the bytes handed over, the element count and one link per element as
// built; null when out of memory. *size_out gets the bytes asked for.
shpc_info_table *shpc_table_alloc(uint32_t count, size_t *size_out);
// The element count of a table as shpc_table_alloc made it, and its links.
uint32_t shpc_table_count(const shpc_info_table *table);
shpc_element_link *shpc_table_links(const shpc_info_table *table);
// Sets an element's array, in the element's hbas field and in its link.
void shpc_element_set_hbas(shpc_info_table *table, uint32_t index, hba_info_array *hbas,
                           uint32_t count);
// The record address of p: its 32-bit address, or 0 when it lies above
// 4 GiB (possible only in a 64-bit build).
uint32_t record_address(const void *p);
// Frees a table made by shpc_table_alloc with every array its links name,
// and a plain array; either may be null.
void hba_records_free(shpc_info_table *table, hba_info_array *array);

// Hands the plain array and then the bridge table to the driver: 0 when it
// accepted both, else -1 after reporting.
int set_hba_info(shpc_info_table *table, hba_info_array *array);

// The driver's refusal diagnostics, logged at ERR.
void log_hba_line(const hba_info *hba);
void log_bridge_lines(const shpc_info *bridge);
