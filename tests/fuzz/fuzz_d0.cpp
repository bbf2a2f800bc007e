// Fuzz target for the alternative list: parse_d0_item on arbitrary record
// text (with and without a terminator inside the stored size), checked
// against a second reading of the item rules built on strtok_r and strtoul,
// and parse_d0_conf_file on the same bytes as a whole file.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "conf/conf.h"
#include "pci/alterpm.h"

namespace {

int g_memfd = -1;
char g_path[64];

struct item {
    int result;
    uint16_t vendor;
    uint16_t device;
    uint8_t revision;
    uint8_t wildcard;
};

bool hex_only(const char *s) {
    for (; *s; s++)
        if (!strchr("0123456789abcdefABCDEF", *s))
            return false;
    return true;
}

// strtoul on the 32-bit target: all ones once the value no longer fits.
uint32_t convert32(const char *s) {
    errno = 0;
    unsigned long long v = strtoull(s, nullptr, 16);
    if (errno == ERANGE || v > 0xffffffffull)
        return 0xffffffffu;
    return (uint32_t)v;
}

// The item rules once more, written the other way: strtok for VENDOR and
// DEVICE, the remainder for REVISION.
item reference(const char *text) {
    item out = {-1, 0, 0, 0, 0};
    char *copy = strdup(text);
    char *save = nullptr;
    char *vendor = strtok_r(copy, ":", &save);
    if (vendor && hex_only(vendor)) {
        char *device = strtok_r(nullptr, ":", &save);
        if (device && hex_only(device)) {
            // strtok_r left save just past the colon that ended DEVICE (or
            // at the end of the text when none did).
            char *revision = save;
            if (revision && *revision && (revision[0] == '*' || hex_only(revision))) {
                out.result = 0;
                out.vendor = (uint16_t)convert32(vendor);
                out.device = (uint16_t)convert32(device);
                out.wildcard = revision[0] == '*';
                out.revision = out.wildcard ? 0x2a : (uint8_t)convert32(revision);
            }
        }
    }
    free(copy);
    return out;
}

void check_item(const uint8_t *data, size_t size) {
    // The stored size counts the terminator when there is one; cutting the
    // text at the first NUL as the reader would.
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';
    bool terminated = size > 0 && data[size - 1] == 0;
    conf_record rec = {};
    rec.text = text;
    rec.size = terminated ? (uint32_t)size : (uint32_t)size + 1;
    if (size > 0 && data[0] == 0xff)
        rec.size = (uint32_t)strnlen(text, size);  // a size that leaves the NUL out
    rec.flags = REC_WORD | REC_FIRST;
    char *before = strdup(text);

    item got = {0, 0, 0, 0, 0};
    got.result = parse_d0_item(&rec, &got.vendor, &got.device, &got.revision, &got.wildcard);
    if (strcmp(before, text) != 0)
        abort();  // the record's own text must stay whole
    bool has_nul = memchr(text, 0, rec.size) != nullptr;
    if (!has_nul) {
        if (got.result != -1)
            abort();
    } else {
        item want = reference(text);
        if (got.result != want.result)
            abort();
        if (got.result == 0 &&
            (got.vendor != want.vendor || got.device != want.device ||
             got.revision != want.revision || got.wildcard != want.wildcard))
            abort();
    }
    if (got.result == 0) {
        if (!(rec.flags & REC_PARSED))
            abort();
        item again = {0, 0, 0, 0, 0};
        if (parse_d0_item(&rec, &again.vendor, &again.device, &again.revision,
                          &again.wildcard) != 0 ||
            again.vendor != got.vendor || again.device != got.device ||
            again.revision != got.revision || again.wildcard != got.wildcard)
            abort();
    } else if (rec.flags & REC_PARSED) {
        abort();
    }
    free(before);
    free(text);
}

void check_file(const uint8_t *data, size_t size) {
    if (ftruncate(g_memfd, 0) != 0 || pwrite(g_memfd, data, size, 0) != (ssize_t)size)
        abort();
    int r = parse_d0_conf_file(g_path);
    if (r != 0 && r != -1)
        abort();
    for (conf_record *rec = g_alterpm_conf.first; rec; rec = rec->next) {
        if (r == 0 && !(rec->flags & REC_PARSED))
            abort();
        if (rec->field != 1 || !(rec->flags & REC_WORD))
            abort();
    }
    while (g_alterpm_conf.first)
        conf_remove(&g_alterpm_conf, g_alterpm_conf.first);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Reports go to the standard error stream; keep the fuzzer's own output
    // readable. Sanitizer reports write to descriptor 2 directly.
    FILE *devnull = fopen("/dev/null", "w");
    if (devnull)
        stderr = devnull;
    g_memfd = memfd_create("alterpm", 0);
    if (g_memfd < 0)
        abort();
    snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_memfd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096)
        return 0;
    check_item(data, size);
    check_file(data, size);
    return 0;
}
