#include "pci/hba_info.h"

#include <stdlib.h>
#include <string.h>

#include "conf/conf.h"
#include "pci/alterpm.h"
#include "pci/pci_regs.h"
#include "pci/shpc.h"
#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_SNAP_NO_MEM = 0xdbc,
    LOC_SCAN = 0xdc5,
    LOC_TABLE_NO_MEM = 0xddd,
    LOC_DUP_FIRST = 3592,         // callee
    LOC_DUP_LATER = 3613,         // callee
    LOC_COUNT_PASS = 3631,        // callee
    LOC_FILL_PASS = 3638,         // callee
    LOC_SUB_BUSID = 3387,         // callee
    LOC_SUB_BRIDGE_INFO = 3419,   // callee
    LOC_SUB_PLAIN_INFO = 3446,    // callee
    LOC_SUB_PLAIN_ALLOC = 3460,   // callee
    LOC_SUB_BRIDGE_ALLOC = 3470,  // callee
    LOC_SUB_OVERRUN = 0x4104,
    LOC_HBA_ALTERPM = 3313,       // callee
    LOC_HBA_MISSING = 0xccb,
    LOC_HBA_REVISION = 0xcd5,
    LOC_HBA_NO_PM = 0xce2,
    LOC_HBA_BUS_ID_LONG = 0x4103,
    LOC_ARRAY_NO_MEM = 0xc55,
};

int parse_busid(const conf_record *rec, pci_busid *b) {
    return get_busid(rec->text, rec->size, &b->domain, &b->bus, &b->device, &b->function);
}

bool same_function(const pci_busid &a, const pci_busid &b) {
    return a.domain == b.domain && a.bus == b.bus && a.device == b.device &&
           a.function == b.function;
}

// The last function of the snapshot's list: the first one the scan added.
const pci_function *last_function(const pci_snapshot *s) {
    const pci_function *f = s->first;
    while (f && f->next)
        f = f->next;
    return f;
}

void drop_snapshot(void) {
    pci_snap_free(g_pci_snapshot);
    g_pci_snapshot = nullptr;
}

int fail_build(shpc_info_table *table, hba_info_array *array, shpc_info_table **table_out,
               hba_info_array **array_out) {
    hba_records_free(table, array);
    *table_out = nullptr;
    *array_out = nullptr;
    drop_snapshot();
    return -1;
}

}  // namespace

bool is_busid_entry(const conf_record *rec) {
    return (rec->flags & REC_WORD) && !(rec->flags & REC_DELETED) && rec->field == 2;
}

bool is_duplicate(const conf_record *rec) {
    return (rec->flags & REC_DUPLICATE) == REC_DUPLICATE;
}

hba_info_array *hba_array_alloc(uint32_t count, uint32_t *size_out) {
    uint32_t size = hba_array_size(count);
    if (size_out)
        *size_out = size;
    hba_info_array *a = (hba_info_array *)calloc(1, size);
    if (!a) {
        report_no_resources(size, LOC_ARRAY_NO_MEM);
        return nullptr;
    }
    a->count = count;
    a->err_num = 0;
    return a;
}

int build_hba_info(uint16_t domain, uint8_t bus, uint8_t device, uint8_t function,
                   const conf_record *entry, hba_info *out) {
    // The driver's field holds 19 characters and the terminator; a longer
    // text is refused rather than cut into another adapter's name.
    size_t len = strnlen(entry->text, entry->size);
    if (len >= BUS_ID_SIZE) {
        report_fatal(LOC_HBA_BUS_ID_LONG);
        log_err("device %s bus ID is longer than %d characters.\n", entry->text, BUS_ID_SIZE - 1);
        return -1;
    }

    pci_function *f = g_pci_snapshot ? pci_snap_find(g_pci_snapshot, domain, bus, device, function)
                                     : nullptr;
    if (!f) {
        report_fatal(LOC_HBA_MISSING);
        log_err("device %s is does not exist.\n", entry->text);
        return -1;
    }
    uint32_t code = 0;
    uint8_t revision;
    if (!pci_cfg_read8(f, &revision, PCI_REVISION_ID, &code)) {
        report_fatal(LOC_HBA_REVISION);
        log_pci_address(f, code);
        log_err("unable to read device %s revision id.\n", entry->text);
        return -1;
    }
    // Every adapter needs power management, behind a bridge or not.
    int pm_cap = pci_find_capability(f, PCI_CAP_ID_PM);
    if (pm_cap == 0) {
        report_fatal(LOC_HBA_NO_PM);
        log_err("device %s is not under the control of SHPC and it dose not have the power "
                "management function.\n",
                entry->text);
        return -1;
    }

    uint32_t alt_pm = 0;
    for (conf_record *item = g_alterpm_conf.first; item; item = item->next) {
        uint16_t vendor, dev;
        uint8_t rev, wildcard;
        if (parse_d0_item(item, &vendor, &dev, &rev, &wildcard) == -1) {
            report_callee("build_hba_info", LOC_HBA_ALTERPM);
            return -1;
        }
        if (vendor == f->vendor_id && dev == f->device_id && (wildcard || rev == revision)) {
            alt_pm = 1;
            break;
        }
    }

    memset(out, 0, sizeof *out);
    out->magic = HBA_INFO_MAGIC;
    out->alt_pm = alt_pm;
    out->domain = domain;
    out->bus = bus;
    out->device = device;
    out->function = function;
    out->revision_id = revision;
    out->pm_cap = (uint8_t)pm_cap;
    out->header_type = f->header_type;
    memcpy(out->bus_id, entry->text, len);
    return 0;
}

int mark_duplicate_busids(void) {
    for (conf_record *r = g_hba_conf.first; r; r = r->next)
        r->flags &= ~(uint32_t)REC_DUPLICATE;
    for (conf_record *e = g_hba_conf.first; e; e = e->next) {
        if (!is_busid_entry(e) || is_duplicate(e))
            continue;
        pci_busid first;
        if (parse_busid(e, &first) == -1) {
            report_callee("build_shpc_hba_info", LOC_DUP_FIRST);
            return -1;
        }
        for (conf_record *l = e->next; l; l = l->next) {
            if (!is_busid_entry(l) || is_duplicate(l))
                continue;
            pci_busid later;
            if (parse_busid(l, &later) == -1) {
                report_callee("build_shpc_hba_info", LOC_DUP_LATER);
                return -1;
            }
            if (same_function(first, later))
                l->flags |= REC_DUPLICATE;
        }
    }
    return 0;
}

int build_shpc_hba_info_sub(shpc_info_table *table, hba_info_array **array_out, bool fill) {
    static const char name[] = "build_shpc_hba_info_sub";
    uint32_t bridges = shpc_table_count(table);
    shpc_element_link *links = shpc_table_links(table);
    uint32_t k = 0;  // next position in the plain array

    for (conf_record *rec = g_hba_conf.first; rec; rec = rec->next) {
        if (!is_busid_entry(rec))
            continue;
        pci_busid b;
        if (parse_busid(rec, &b) == -1) {
            report_callee(name, LOC_SUB_BUSID);
            return -1;
        }
        // The first element whose slots hold the adapter takes it.
        uint32_t match = bridges;
        for (uint32_t i = 0; i < bridges; i++) {
            int r = shpc_slot_match(&table->elements[i], b.domain, b.bus, b.device);
            if (r == -1)
                return -1;
            if (r == 1) {
                match = i;
                break;
            }
        }
        if (is_duplicate(rec))
            continue;

        if (match < bridges) {
            shpc_info *el = &table->elements[match];
            if (fill) {
                if (el->hba_count >= links[match].count) {
                    report_fatal(LOC_SUB_OVERRUN);
                    return -1;
                }
                if (build_hba_info(b.domain, b.bus, b.device, b.function, rec,
                                   &links[match].hbas->elements[el->hba_count]) == -1) {
                    report_callee(name, LOC_SUB_BRIDGE_INFO);
                    return -1;
                }
            }
            el->hba_count++;
            if (table->max_hba_count < el->hba_count)
                table->max_hba_count = el->hba_count;
        } else {
            if (fill) {
                if (k >= (*array_out)->count) {
                    report_fatal(LOC_SUB_OVERRUN);
                    return -1;
                }
                if (build_hba_info(b.domain, b.bus, b.device, b.function, rec,
                                   &(*array_out)->elements[k]) == -1) {
                    report_callee(name, LOC_SUB_PLAIN_INFO);
                    return -1;
                }
            }
            k++;
        }
    }
    if (fill)
        return 0;

    // Counting pass: size every array; the filling pass counts again.
    hba_info_array *plain = hba_array_alloc(k, nullptr);
    if (!plain) {
        report_callee(name, LOC_SUB_PLAIN_ALLOC);
        return -1;
    }
    *array_out = plain;
    uint32_t total = shpc_table_size(bridges);
    for (uint32_t i = 0; i < bridges; i++) {
        shpc_info *el = &table->elements[i];
        uint32_t size = 0;
        hba_info_array *hbas = hba_array_alloc(el->hba_count, &size);
        if (!hbas) {
            report_callee(name, LOC_SUB_BRIDGE_ALLOC);
            return -1;
        }
        shpc_element_set_hbas(table, i, hbas, el->hba_count);
        el->hba_count = 0;
        total += size;
    }
    table->total_size = total;
    return 0;
}

int build_shpc_hba_info_dir(const char *dir, shpc_info_table **table_out,
                            hba_info_array **array_out) {
    *table_out = nullptr;
    *array_out = nullptr;
    uint32_t code = 0;
    pci_snap_free(g_pci_snapshot);
    g_pci_snapshot = pci_snap_init(&code);
    if (!g_pci_snapshot) {
        report_no_resources((long long)sizeof(pci_snapshot), LOC_SNAP_NO_MEM);
        log_err("pci snap init false(%x)\n", code);
        return -1;
    }
    if (!pci_scan_dir(g_pci_snapshot, dir, &code)) {
        report_fatal(LOC_SCAN);
        const pci_function *f = last_function(g_pci_snapshot);
        if (f)
            log_pci_address(f, code);
        else
            log_err("pci scan false(%x)\n", code);
        drop_snapshot();
        return -1;
    }

    int n = search_shpc();
    if (n == -1)
        return fail_build(nullptr, nullptr, table_out, array_out);

    size_t size = 0;
    shpc_info_table *table = shpc_table_alloc((uint32_t)n, &size);
    if (!table) {
        report_no_resources((long long)size, LOC_TABLE_NO_MEM);
        return fail_build(nullptr, nullptr, table_out, array_out);
    }
    // The elements follow the bridge list, which runs in directory order.
    uint32_t i = 0;
    for (const shpc_bridge *rec = g_shpc_bridges; rec && i < (uint32_t)n; rec = rec->next, i++)
        memcpy(&table->elements[i], rec->info, sizeof rec->info);

    if (mark_duplicate_busids() == -1)
        return fail_build(table, nullptr, table_out, array_out);

    hba_info_array *array = nullptr;
    if (build_shpc_hba_info_sub(table, &array, false) == -1) {
        report_callee("build_shpc_hba_info", LOC_COUNT_PASS);
        return fail_build(table, array, table_out, array_out);
    }
    if (build_shpc_hba_info_sub(table, &array, true) == -1) {
        report_callee("build_shpc_hba_info", LOC_FILL_PASS);
        return fail_build(table, array, table_out, array_out);
    }
    *table_out = table;
    *array_out = array;
    drop_snapshot();
    return 0;
}

int build_shpc_hba_info(shpc_info_table **table_out, hba_info_array **array_out) {
    return build_shpc_hba_info_dir(PCI_DEVICES_DIR, table_out, array_out);
}
