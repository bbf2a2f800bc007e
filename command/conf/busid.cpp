#include "conf/busid.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_BUSID_LENGTH = 0x2030,
    LOC_BUSID_COPY = 0x2031,
    LOC_BUSID_MISSING = 0x2032,  // + part index 0..3
    LOC_BUSID_NOT_HEX = 0x2036,  // + part index 0..3
};

void report_busid(unsigned loc) {
    int saved = errno;
    fprintf(stderr, "ERROR: failed to get a busID(%x).\n", loc);
    fputs("ERROR: please refer to the manual for more information.\n", stderr);
    log_err("failed to get a busID(%x).\n", loc);
    log_err("please refer to the manual for more information.\n");
    errno = saved;
}

// Hexadecimal digits to a number the way a 32-bit strtoul does it: a value
// that does not fit gives all ones.
uint32_t hex_value(const char *digits) {
    uint32_t v = 0;
    for (const char *p = digits; *p; p++) {
        unsigned d = *p <= '9' ? (unsigned)(*p - '0') : (unsigned)((*p | 0x20) - 'a' + 10);
        if (v > (UINT32_MAX - d) / 16)
            return UINT32_MAX;
        v = v * 16 + d;
    }
    return v;
}

bool all_hex(const char *s) {
    for (; *s; s++) {
        char c = *s;
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

}  // namespace

int get_busid(const char *text, unsigned len, uint16_t *domain, uint8_t *bus, uint8_t *dev,
              uint8_t *func) {
    if (!text || !memchr(text, '\0', len)) {
        report_busid(LOC_BUSID_LENGTH);
        log_err("bus_id_len %zu", (size_t)len);
        return -1;
    }
    char *copy = strdup(text);
    if (!copy) {
        report_no_resources(errno, LOC_BUSID_COPY);
        return -1;
    }

    static const char *const separators[4] = {":", ":", ".", ""};
    const char *parts[4];
    char *rest = nullptr;
    for (int i = 0; i < 4; i++) {
        parts[i] = strtok_r(i == 0 ? copy : nullptr, separators[i], &rest);
        unsigned loc = 0;
        if (!parts[i])
            loc = LOC_BUSID_MISSING + i;
        else if (!all_hex(parts[i]))
            loc = LOC_BUSID_NOT_HEX + i;
        if (loc) {
            report_busid(loc);
            log_err("%s.\n", copy);
            free(copy);
            return -1;
        }
    }
    if (domain)
        *domain = (uint16_t)hex_value(parts[0]);
    if (bus)
        *bus = (uint8_t)hex_value(parts[1]);
    if (dev)
        *dev = (uint8_t)hex_value(parts[2]);
    if (func)
        *func = (uint8_t)hex_value(parts[3]);
    free(copy);
    return 0;
}
