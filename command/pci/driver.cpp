#include "pci/driver.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_DRIVER_OPEN = 0xe57,
    LOC_DRIVER_HBA_REFUSED = 0xe5f,
    LOC_DRIVER_SHPC_REFUSED = 0xe73,
    LOC_RECORD_ABOVE_4G = 0x4106,
};

// A table's element count and links lie in front of the table, where the
// driver, told only the table's address, does not write.
struct table_head {
    uint32_t count;
    shpc_element_link *links;
};

enum {
    TABLE_HEAD_SIZE = 16,          // keeps the table 16-byte aligned
    TABLE_MAX_ELEMENTS = 0x10000,  // far beyond any machine's bridges
};
static_assert(sizeof(table_head) <= TABLE_HEAD_SIZE);

table_head *head_of(const shpc_info_table *table) {
    return (table_head *)((char *)table - TABLE_HEAD_SIZE);
}

size_t round_up(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

}  // namespace

uint32_t hba_array_size(uint32_t count) {
    return (uint32_t)sizeof(hba_info_array) + (uint32_t)sizeof(hba_info) * count;
}

uint32_t shpc_table_size(uint32_t count) {
    return (uint32_t)sizeof(shpc_info_table) + (uint32_t)sizeof(shpc_info) * count;
}

uint32_t record_address(const void *p) {
    uintptr_t a = (uintptr_t)p;
    return a > UINT32_MAX ? 0 : (uint32_t)a;
}

shpc_info_table *shpc_table_alloc(uint32_t count, size_t *size_out) {
    size_t links_at = round_up(TABLE_HEAD_SIZE + (size_t)shpc_table_size(count),
                               alignof(shpc_element_link));
    size_t size = links_at + sizeof(shpc_element_link) * (size_t)count;
    if (size_out)
        *size_out = size;
    if (count > TABLE_MAX_ELEMENTS) {
        errno = ENOMEM;
        return nullptr;
    }
    char *block = (char *)calloc(1, size);
    if (!block)
        return nullptr;
    table_head *head = (table_head *)block;
    head->count = count;
    head->links = (shpc_element_link *)(block + links_at);
    shpc_info_table *table = (shpc_info_table *)(block + TABLE_HEAD_SIZE);
    table->count = count;
    return table;
}

uint32_t shpc_table_count(const shpc_info_table *table) {
    return head_of(table)->count;
}

shpc_element_link *shpc_table_links(const shpc_info_table *table) {
    return head_of(table)->links;
}

void shpc_element_set_hbas(shpc_info_table *table, uint32_t index, hba_info_array *hbas,
                           uint32_t count) {
    shpc_element_link *link = &shpc_table_links(table)[index];
    link->hbas = hbas;
    link->count = count;
    table->elements[index].hbas = record_address(hbas);
}

void hba_records_free(shpc_info_table *table, hba_info_array *array) {
    if (table) {
        uint32_t n = shpc_table_count(table);
        shpc_element_link *links = shpc_table_links(table);
        for (uint32_t i = 0; i < n; i++)
            free(links[i].hbas);
        free(head_of(table));
    }
    free(array);
}

void log_hba_line(const hba_info *h) {
    log_err("%x %x %04x:%02x:%02x.%x(%x) %x\n", h->magic, h->alt_pm, h->domain, h->bus, h->device,
            h->function, h->revision_id, h->pm_cap);
}

void log_bridge_lines(const shpc_info *b) {
    // The bridge's first 15 bytes read like an adapter's.
    log_err("%x %x %04x:%02x:%02x.%x(%x) %x\n", b->magic, b->reserved0, b->domain, b->bus,
            b->device, b->function, b->revision_id, b->reserved1);
    unsigned long long reserved3 =
        (unsigned long long)b->reserved3[1] << 32 | (unsigned long long)b->reserved3[0];
    log_err("%x %x %x %x %x %x %x %x %x %llx\n", b->class_code, b->secondary_bus, b->cap_offset,
            b->first_device, b->slot_count, b->slots_available1, b->slots_available2,
            b->slot_config, b->sec_bus_config, reserved3);
}

int set_hba_info(shpc_info_table *table, hba_info_array *array) {
    // The driver takes 32-bit addresses: a record it could not reach is
    // never handed over.
    uint32_t bridges = shpc_table_count(table);
    const shpc_element_link *links = shpc_table_links(table);
    for (uint32_t i = 0; i < bridges; i++) {
        if (table->elements[i].hbas == 0 || record_address(links[i].hbas) == 0) {
            report_fatal(LOC_RECORD_ABOVE_4G);
            log_err("records above 4 GiB cannot be handed to the driver.\n");
            return -1;
        }
    }

    int fd = open(TARNEX_DEVICE, O_RDWR);
    if (fd == -1) {
        report_io(TARNEX_DEVICE, errno, LOC_DRIVER_OPEN);
        return -1;
    }

    // Which element a refusal names is checked against the counts sent,
    // never against counts the driver may have rewritten.
    uint32_t plain_count = array->count;
    if (ioctl(fd, TARNEX_SET_HBA_INFO, array) == -1) {
        report_io(TARNEX_DEVICE, errno, LOC_DRIVER_HBA_REFUSED);
        int32_t e = array->err_num;
        log_err("err_num %d\n", e);
        if (e >= 1 && (uint32_t)e <= plain_count)
            log_hba_line(&array->elements[e - 1]);
        close(fd);
        return -1;
    }

    if (ioctl(fd, TARNEX_SET_SHPC_INFO, table) == -1) {
        report_io(TARNEX_DEVICE, errno, LOC_DRIVER_SHPC_REFUSED);
        int32_t e = table->err_num;
        int32_t d = table->device_err_num;
        log_err("err_num %d device_err_num %d\n", e, d);
        if (e >= 1 && (uint32_t)e <= bridges) {
            const shpc_info *bridge = &table->elements[e - 1];
            const shpc_element_link *link = &links[e - 1];
            log_bridge_lines(bridge);
            if (bridge->hbas != 0 && link->hbas && d >= 1 && (uint32_t)d <= bridge->hba_count &&
                (uint32_t)d <= link->count)
                log_hba_line(&link->hbas->elements[d - 1]);
        }
        close(fd);
        return -1;
    }

    close(fd);
    return 0;
}
