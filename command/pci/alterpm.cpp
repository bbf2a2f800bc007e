#include "pci/alterpm.h"

#include <stdlib.h>
#include <string.h>

#include "conf/busid.h"
#include "conf/scan.h"
#include "runtime/log.h"
#include "runtime/report.h"

conf_list g_alterpm_conf = {nullptr, &g_alterpm_conf.first};

namespace {

enum {
    LOC_D0_CONF_READ = 0xc3b,
    LOC_D0_CONF_ITEM = 3139,   // callee
    LOC_D0_ITEM_NO_NUL = 0xbc6,
    LOC_D0_ITEM_NO_MEM = 0xbcf,
    LOC_D0_ITEM_MISSING = 0xbd7,
    LOC_D0_ITEM_NOT_HEX = 0xbe4,
};

// The parsed item lives in the record's spare words:
//   spare[0]: vendor ID in bits 15..0, device ID in bits 31..16
//   spare[1]: revision in bits 7..0, wildcard flag in bits 15..8
struct d0_item {
    uint16_t vendor;
    uint16_t device;
    uint8_t revision;
    uint8_t wildcard;
};

void keep_item(conf_record *rec, const d0_item *item) {
    rec->spare[0] = (uint32_t)item->vendor | (uint32_t)item->device << 16;
    rec->spare[1] = (uint32_t)item->revision | (uint32_t)item->wildcard << 8;
    rec->flags |= REC_PARSED;
}

void kept_item(const conf_record *rec, d0_item *item) {
    item->vendor = (uint16_t)rec->spare[0];
    item->device = (uint16_t)(rec->spare[0] >> 16);
    item->revision = (uint8_t)rec->spare[1];
    item->wildcard = (uint8_t)(rec->spare[1] >> 8);
}

// VENDOR and DEVICE are taken like strtok(":") tokens: colons before them
// count as nothing. Returns the part, or null when nothing is left; *rest is
// where the next part starts (just past the colon that ended this one).
char *take_field(char *p, char **rest) {
    while (*p == ':')
        p++;
    if (!*p)
        return nullptr;
    char *colon = strchr(p, ':');
    if (colon) {
        *colon = '\0';
        *rest = colon + 1;
    } else {
        *rest = p + strlen(p);
    }
    return p;
}

int item_failure(unsigned loc, char *copy) {
    report_fatal(loc);
    log_err("%s\n", copy);
    free(copy);
    return -1;
}

}  // namespace

int parse_d0_item(conf_record *record, uint16_t *vendor_out, uint16_t *device_out,
                  uint8_t *revision_out, uint8_t *wildcard_out) {
    d0_item item;
    if (record->flags & REC_PARSED) {
        kept_item(record, &item);
    } else {
        if (!record->text || !memchr(record->text, '\0', record->size)) {
            report_fatal(LOC_D0_ITEM_NO_NUL);
            log_err("length %d line %d column %d\n", (int)record->size, (int)record->line,
                    (int)record->column);
            return -1;
        }
        char *copy = strdup(record->text);
        if (!copy) {
            report_no_resources((long long)strlen(record->text), LOC_D0_ITEM_NO_MEM);
            return -1;
        }
        char *rest = copy;
        uint32_t value;
        char *vendor = take_field(rest, &rest);
        if (!vendor)
            return item_failure(LOC_D0_ITEM_MISSING, copy);
        if (!parse_hex32(vendor, &value))
            return item_failure(LOC_D0_ITEM_NOT_HEX, copy);
        item.vendor = (uint16_t)value;
        char *device = take_field(rest, &rest);
        if (!device)
            return item_failure(LOC_D0_ITEM_MISSING, copy);
        if (!parse_hex32(device, &value))
            return item_failure(LOC_D0_ITEM_NOT_HEX, copy);
        item.device = (uint16_t)value;
        // REVISION is everything after the single colon that ended DEVICE.
        char *revision = rest;
        if (!*revision)
            return item_failure(LOC_D0_ITEM_MISSING, copy);
        if (revision[0] == '*') {
            item.revision = ALTERPM_WILDCARD_REVISION;
            item.wildcard = 1;
        } else {
            if (!parse_hex32(revision, &value))
                return item_failure(LOC_D0_ITEM_NOT_HEX, copy);
            item.revision = (uint8_t)value;
            item.wildcard = 0;
        }
        keep_item(record, &item);
        free(copy);
    }
    if (vendor_out)
        *vendor_out = item.vendor;
    if (device_out)
        *device_out = item.device;
    if (revision_out)
        *revision_out = item.revision;
    if (wildcard_out)
        *wildcard_out = item.wildcard;
    return 0;
}

int parse_d0_conf_file(const char *path, int32_t timeout_ms) {
    // Only the first word of each line is an item; comments, blank lines
    // and further words vanish in conf_select.
    conf_context ctx = {&g_alterpm_conf, path, 1, 1, nullptr, {1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, conf_select, &ctx};
    unsigned detail = 0;
    if (scan_stream(path, -1, timeout_ms, &cb, &detail) == -1) {
        report_access(path, detail, LOC_D0_CONF_READ);
        return -1;
    }
    for (conf_record *rec = g_alterpm_conf.first; rec; rec = rec->next) {
        if (parse_d0_item(rec, nullptr, nullptr, nullptr, nullptr) == -1) {
            report_callee("parse_d0_conf", LOC_D0_CONF_ITEM);
            return -1;
        }
    }
    return 0;
}

int parse_d0_conf(int32_t timeout_ms) {
    return parse_d0_conf_file(ALTERPM_CONF_PATH, timeout_ms);
}
