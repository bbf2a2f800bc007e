#include "conf/busid.h"

#include <ctype.h>
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

}  // namespace

bool parse_hex32(const char *digits, uint32_t *value) {
    // ctype in the C locale, which the command never leaves: 0-9 a-f A-F.
    for (const char *p = digits; *p; p++)
        if (!isxdigit((unsigned char)*p))
            return false;
    int saved = errno;  // strtoull sets ERANGE for a number it cannot hold
    unsigned long long v = strtoull(digits, nullptr, 16);
    errno = saved;
    *value = v > UINT32_MAX ? UINT32_MAX : (uint32_t)v;
    return true;
}

int split_busid(char *text, pci_busid *id, unsigned *part) {
    static const char *const separators[4] = {":", ":", ".", ""};
    uint32_t values[4];
    char *rest = nullptr;
    for (unsigned i = 0; i < 4; i++) {
        const char *digits = strtok_r(i == 0 ? text : nullptr, separators[i], &rest);
        int fault = !digits                           ? BUSID_PART_MISSING
                    : !parse_hex32(digits, &values[i]) ? BUSID_PART_NOT_HEX
                                                       : 0;
        if (fault) {
            if (part)
                *part = i;
            return fault;
        }
    }
    id->domain = (uint16_t)values[0];
    id->bus = (uint8_t)values[1];
    id->device = (uint8_t)values[2];
    id->function = (uint8_t)values[3];
    return 0;
}

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
    pci_busid id;
    unsigned part = 0;
    int fault = split_busid(copy, &id, &part);
    if (fault) {
        report_busid((fault == BUSID_PART_MISSING ? LOC_BUSID_MISSING : LOC_BUSID_NOT_HEX) + part);
        // The copy as the split left it: it ends where its first part did.
        log_err("%s.\n", copy);
        free(copy);
        return -1;
    }
    free(copy);
    if (domain)
        *domain = id.domain;
    if (bus)
        *bus = id.bus;
    if (dev)
        *dev = id.device;
    if (func)
        *func = id.function;
    return 0;
}
