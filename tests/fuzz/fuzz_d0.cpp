// Fuzz target for the alternative list: parse_d0_item on any record text and
// parse_d0_conf_file on the same bytes as a file; the sanitizers are the
// oracle. On top, a text stays whole and a parsed item parses the same again.
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

void check_item(const uint8_t *data, size_t size) {
    // Exactly the stored bytes in a heap block of their own, so that a look
    // past them is caught; the size counts the terminator when there is one.
    char *text = (char *)malloc(size + 1);
    memcpy(text, data, size);
    text[size] = '\0';
    conf_record rec = {};
    rec.text = text;
    rec.size = size > 0 && data[size - 1] == 0 ? (uint32_t)size : (uint32_t)size + 1;
    if (size > 0 && data[0] == 0xff)
        rec.size = (uint32_t)strnlen(text, size);  // a size that leaves the NUL out
    rec.flags = REC_WORD | REC_FIRST;
    char *before = (char *)malloc(size + 1);
    memcpy(before, text, size + 1);

    uint16_t vendor, device;
    uint8_t revision, wildcard;
    if (parse_d0_item(&rec, &vendor, &device, &revision, &wildcard) == 0) {
        uint16_t v2, d2;
        uint8_t r2, w2;
        if (parse_d0_item(&rec, &v2, &d2, &r2, &w2) != 0 || v2 != vendor || d2 != device ||
            r2 != revision || w2 != wildcard)
            abort();
    }
    if (memcmp(before, text, size + 1) != 0)
        abort();  // the record's own text must stay whole
    free(before), free(text);
}

void check_file(const uint8_t *data, size_t size) {
    if (ftruncate(g_memfd, 0) != 0 || pwrite(g_memfd, data, size, 0) != (ssize_t)size)
        abort();
    parse_d0_conf_file(g_path);
    while (g_alterpm_conf.first)
        conf_remove(&g_alterpm_conf, g_alterpm_conf.first);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    stderr = fopen("/dev/null", "w");  // the reports of refused items
    g_memfd = memfd_create("alterpm", 0);
    snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_memfd);
    return g_memfd == -1 || !stderr ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_item(data, size);
    check_file(data, size);
    return 0;
}
