#include "pci/shpc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pci/pci_regs.h"
#include "runtime/log.h"
#include "runtime/report.h"

shpc_bridge *g_shpc_bridges = nullptr;
pci_snapshot *g_pci_snapshot = nullptr;

namespace {

enum {
    LOC_CAP_STATUS = 0xa02,
    LOC_CAP_POINTER = 0xa18,
    LOC_CAP_ID = 0xa26,
    LOC_CAP_LOOP = 0x4101,
    LOC_CAP_INVALID_POINTER = 0x4102,
    LOC_SHPC_SELECT = 0x9aa,
    LOC_SHPC_DATA = 0x9b5,
    LOC_BRIDGE_NO_MEM = 0x9d0,
    LOC_BRIDGE_BUS_ID = 0x9e2,
    LOC_SEARCH_CLASS = 0xa5b,
    LOC_SEARCH_REVISION = 0xa7c,
    LOC_SEARCH_SECONDARY = 0xa89,
    LOC_SEARCH_EXP_FLAGS = 0xac2,
    LOC_SEARCH_SLOT_CAPS = 0xad8,
    LOC_SLOT_MODE = 0xc8d,
};

// A capability pointer of 0 ends the list; all ones is what a function
// that has vanished reads as, and no capability can start there.
enum {
    CAP_POINTER_END = 0x00,
    CAP_POINTER_INVALID = 0xff,
};

// The SHPC registers a bridge record keeps, in the record's order, with the
// callee code of search_shpc for each.
const uint8_t bridge_registers[4] = {SLOT_AVAIL1, SLOT_AVAIL2, SLOT_CONFIG, SEC_BUS_CONFIG};
const unsigned search_register_loc[4] = {2711, 2721, 2731, 2741};

// Where each speed and mode keeps its slot count: which register, which field.
struct slot_count_field {
    uint8_t reg;  // SLOT_AVAIL1 or SLOT_AVAIL2
    uint32_t mask;
};
const slot_count_field slot_count_fields[SHPC_MODE_COUNT] = {
    {SLOT_AVAIL1, SLOT_33MHZ},        // SHPC_MODE_33_CONV
    {SLOT_AVAIL2, SLOT_66MHZ},        // SHPC_MODE_66_CONV
    {SLOT_AVAIL1, SLOT_66MHZ_PCIX},   // SHPC_MODE_66_PCIX
    {SLOT_AVAIL1, SLOT_100MHZ_PCIX},  // SHPC_MODE_100_PCIX
    {SLOT_AVAIL1, SLOT_133MHZ_PCIX},  // SHPC_MODE_133_PCIX
};

// The value of the bit field mask within value.
uint32_t field_get(uint32_t value, uint32_t mask) {
    return (value & mask) / (mask & -mask);
}

void log_pci_address_values(const pci_function *f, unsigned value, uint32_t code) {
    log_err("%04x:%02x:%02x.%d(%u:%x)\n", f->domain, f->bus, f->device, f->function, value, code);
}

}  // namespace

void log_pci_address(const pci_function *f, uint32_t code) {
    log_err("%04x:%02x:%02x.%d(%x)\n", f->domain, f->bus, f->device, f->function, code);
}

int pci_find_capability(pci_function *f, uint8_t cap_id) {
    uint32_t code = 0;
    uint16_t status;
    if (!pci_cfg_read16(f, &status, PCI_STATUS, &code)) {
        report_fatal(LOC_CAP_STATUS);
        log_pci_address(f, code);
        return 0;
    }
    if (!(status & PCI_STATUS_CAP_LIST))
        return 0;

    // Every capability offset is entered at most once, so the walk ends
    // after at most 255 capabilities whatever the list holds.
    uint8_t visited[PCI_CFG_SPACE_SIZE / 8] = {};
    uint32_t pointer_at = PCI_CAPABILITY_LIST;
    for (;;) {
        uint8_t p;
        if (!pci_cfg_read8(f, &p, pointer_at, &code)) {
            report_fatal(LOC_CAP_POINTER);
            log_pci_address(f, code);
            return 0;
        }
        if (p == CAP_POINTER_END)
            return 0;
        if (p == CAP_POINTER_INVALID) {
            report_fatal(LOC_CAP_INVALID_POINTER);
            log_err("%04x:%02x:%02x.%d capability pointer 0x%x at 0x%x is invalid.\n", f->domain,
                    f->bus, f->device, f->function, p, pointer_at);
            return 0;
        }
        if (visited[p / 8] & (1u << (p % 8))) {
            report_fatal(LOC_CAP_LOOP);
            log_err("%04x:%02x:%02x.%d capability list loops back to 0x%x at 0x%x.\n", f->domain,
                    f->bus, f->device, f->function, p, pointer_at);
            return 0;
        }
        visited[p / 8] |= (uint8_t)(1u << (p % 8));
        uint8_t id;
        if (!pci_cfg_read8(f, &id, (uint32_t)p + PCI_CAP_LIST_ID, &code)) {
            report_fatal(LOC_CAP_ID);
            log_pci_address(f, code);
            return 0;
        }
        if (id == cap_id)
            return p;
        pointer_at = (uint8_t)(p + PCI_CAP_LIST_NEXT);
    }
}

int shpc_read_register(pci_function *f, uint8_t cap, uint8_t index, uint32_t *value_out) {
    uint32_t code = 0;
    // The select byte keeps the last index written; nothing restores it.
    if (!pci_cfg_write8(f, index, (uint32_t)cap + DWORD_SELECT, &code)) {
        report_fatal(LOC_SHPC_SELECT);
        log_pci_address(f, code);
        return -1;
    }
    if (!pci_cfg_read32(f, value_out, (uint32_t)cap + DWORD_DATA, &code)) {
        report_fatal(LOC_SHPC_DATA);
        log_pci_address(f, code);
        return -1;
    }
    return 0;
}

int shpc_bridge_add(const pci_function *f, uint32_t kind, uint8_t revision, uint16_t class_word,
                    uint8_t secondary_bus, uint8_t cap, const uint32_t regs[4]) {
    shpc_bridge *rec = (shpc_bridge *)calloc(1, sizeof *rec);
    if (!rec) {
        report_no_resources((long long)sizeof *rec, LOC_BRIDGE_NO_MEM);
        return 0;
    }
    shpc_info info;
    memset(&info, 0, sizeof info);
    info.magic = kind;
    info.domain = f->domain;
    info.bus = f->bus;
    info.device = f->device;
    info.function = f->function;
    info.revision_id = revision;
    info.header_type = f->header_type;
    int n = snprintf(info.bus_id, sizeof info.bus_id, "%04x:%02x:%02x.%x", f->domain, f->bus,
                     f->device, f->function);
    if (n < 1 || n >= (int)sizeof info.bus_id) {
        report_fatal(LOC_BRIDGE_BUS_ID);
        free(rec);
        return 0;
    }
    // snprintf left the bytes after the terminator as memset made them: zero.
    info.class_code = class_word;
    info.secondary_bus = secondary_bus;
    info.cap_offset = cap;
    info.slots_available1 = regs[0];
    info.slots_available2 = regs[1];
    info.slot_config = regs[2];
    info.sec_bus_config = regs[3];
    memcpy(rec->info, &info, sizeof rec->info);

    rec->next = g_shpc_bridges;
    if (g_shpc_bridges)
        g_shpc_bridges->prev = &rec->next;
    g_shpc_bridges = rec;
    rec->prev = &g_shpc_bridges;
    return 1;
}

void shpc_bridges_clear(void) {
    while (g_shpc_bridges) {
        shpc_bridge *rec = g_shpc_bridges;
        g_shpc_bridges = rec->next;
        free(rec);
    }
}

namespace {

// Whether a PCI Express bridge is a switch downstream port whose slot has a
// power controller: 1 yes, 0 no, -1 after reporting a failed read.
int pcie_hotplug_port(pci_function *f, uint8_t cap) {
    uint32_t code = 0;
    uint16_t flags;
    if (!pci_cfg_read16(f, &flags, (uint32_t)cap + PCI_EXP_FLAGS, &code)) {
        report_fatal(LOC_SEARCH_EXP_FLAGS);
        log_pci_address_values(f, cap, code);
        return -1;
    }
    if (field_get(flags, PCI_EXP_FLAGS_TYPE) != PCI_EXP_TYPE_DOWNSTREAM ||
        !(flags & PCI_EXP_FLAGS_SLOT))
        return 0;
    uint16_t slot_caps;  // the low half of Slot Capabilities holds the bit
    if (!pci_cfg_read16(f, &slot_caps, (uint32_t)cap + PCI_EXP_SLTCAP, &code)) {
        report_fatal(LOC_SEARCH_SLOT_CAPS);
        log_pci_address_values(f, cap, code);
        return -1;
    }
    return (slot_caps & PCI_EXP_SLTCAP_PCP) ? 1 : 0;
}

}  // namespace

int search_shpc(void) {
    shpc_bridges_clear();
    int n = 0;
    for (pci_function *f = g_pci_snapshot ? g_pci_snapshot->first : nullptr; f; f = f->next) {
        uint32_t code = 0;
        uint16_t class_word;
        if (!pci_cfg_read16(f, &class_word, PCI_CLASS_DEVICE, &code)) {
            report_fatal(LOC_SEARCH_CLASS);
            log_pci_address(f, code);
            return -1;
        }
        if (class_word != PCI_CLASS_BRIDGE_PCI)
            continue;

        // An SHPC wins over a PCI Express capability on the same bridge.
        uint32_t kind = BRIDGE_SHPC;
        int cap = pci_find_capability(f, PCI_CAP_ID_SHPC);
        if (cap == 0) {
            kind = BRIDGE_PCIE;
            cap = pci_find_capability(f, PCI_CAP_ID_EXP);
            if (cap == 0)
                continue;
        }

        uint8_t revision, secondary;
        if (!pci_cfg_read8(f, &revision, PCI_REVISION_ID, &code)) {
            report_fatal(LOC_SEARCH_REVISION);
            log_pci_address(f, code);
            return -1;
        }
        if (!pci_cfg_read8(f, &secondary, PCI_SECONDARY_BUS, &code)) {
            report_fatal(LOC_SEARCH_SECONDARY);
            log_pci_address(f, code);
            return -1;
        }

        uint32_t regs[4] = {0, 0, 0, 0};
        if (kind == BRIDGE_SHPC) {
            for (int i = 0; i < 4; i++) {
                if (shpc_read_register(f, (uint8_t)cap, bridge_registers[i] / 4, &regs[i]) == -1) {
                    report_callee("search_shpc", search_register_loc[i]);
                    return -1;
                }
            }
        } else {
            int port = pcie_hotplug_port(f, (uint8_t)cap);
            if (port == -1)
                return -1;
            if (port == 0)
                continue;
        }

        if (shpc_bridge_add(f, kind, revision, PCI_CLASS_BRIDGE_PCI, secondary, (uint8_t)cap,
                            regs) == 0)
            return -1;
        n++;
    }
    return n;
}

int shpc_slot_match(shpc_info *el, uint16_t domain, uint8_t bus, uint8_t device) {
    if (el->magic == BRIDGE_PCIE)
        return el->domain == domain && el->secondary_bus == bus ? 1 : 0;
    if (el->magic != BRIDGE_SHPC)
        return 0;

    unsigned mode = el->sec_bus_config & SHPC_SEC_BUS_MODE;
    if (mode >= SHPC_MODE_COUNT) {
        report_fatal(LOC_SLOT_MODE);
        log_err("SHPC %s unknown Secondary Bus Configuration Register 0x%x\n", el->bus_id,
                el->sec_bus_config);
        return -1;
    }
    const slot_count_field &field = slot_count_fields[mode];
    uint32_t reg = field.reg == SLOT_AVAIL1 ? el->slots_available1 : el->slots_available2;
    unsigned count = field_get(reg, field.mask);
    unsigned first = field_get(el->slot_config, FIRST_DEV_NUM);
    el->slot_count = (uint8_t)count;
    el->first_device = (uint8_t)first;

    if (el->domain != domain || el->secondary_bus != bus)
        return 0;
    // first <= device < first + count, without forming first + count.
    return device >= first && device - first < count ? 1 : 0;
}
