// Fuzz target for get_busid and the append of an entry line. Properties
// checked on top of the sanitizers:
//  - a bus ID that parses gives the same four numbers once printed in the
//    kernel's form and parsed again;
//  - the bytes up to the given length are all get_busid looks at;
//  - a line the append accepts reads back through the reader as one
//    well-formed table line with the same two words.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "conf/conf.h"
#include "conf/scan.h"

namespace {

int g_memfd = -1;
FILE *g_quiet;

void clear(conf_list *list) {
    while (list->first)
        conf_remove(list, list->first);
}

void check_busid(const uint8_t *data, size_t size) {
    // Exactly size bytes in a heap block of their own, so that a look past
    // them is caught.
    char *text = (char *)malloc(size ? size : 1);
    memcpy(text, data, size);
    uint16_t domain;
    uint8_t bus, dev, func;
    int r = get_busid(text, (unsigned)size, &domain, &bus, &dev, &func);
    if (r == 0) {
        if (!memchr(text, '\0', size))
            abort();
        char kernel_form[32];
        snprintf(kernel_form, sizeof kernel_form, "%04x:%02x:%02x.%x", domain, bus, dev, func);
        uint16_t d2;
        uint8_t b2, v2, f2;
        if (get_busid(kernel_form, sizeof kernel_form, &d2, &b2, &v2, &f2) != 0 || d2 != domain ||
            b2 != bus || v2 != dev || f2 != func)
            abort();
    }
    free(text);
}

void check_append(const uint8_t *data, size_t size) {
    // ENTRY up to the first line feed, BUSID the rest.
    const uint8_t *nl = (const uint8_t *)memchr(data, '\n', size);
    if (!nl)
        return;
    size_t entry_len = (size_t)(nl - data);
    char *entry = strndup((const char *)data, entry_len);
    char *busid = strndup((const char *)nl + 1, size - entry_len - 1);
    clear(&g_hba_conf);
    g_hba_conf.last = &g_hba_conf.first;
    if (parse_hba_addr_conf_busid_add(entry, busid, (unsigned)strlen(busid) + 1) == 1) {
        char *text = nullptr;
        size_t len = 0;
        FILE *f = open_memstream(&text, &len);
        if (print_hba_addr_conf(f, nullptr) != 0)
            abort();
        fclose(f);
        if (ftruncate(g_memfd, 0) == -1 || pwrite(g_memfd, text, len, 0) != (ssize_t)len ||
            lseek(g_memfd, 0, SEEK_SET) == -1)
            abort();
        conf_list list = {nullptr, &list.first};
        conf_context ctx = {&list, "fuzz", 1, 1, nullptr, {-1, -1, -1, -1}};
        scan_callbacks cb = {conf_begin, conf_collect, hba_addr_conf_check, &ctx};
        if (scan_stream(nullptr, g_memfd, 0, &cb, nullptr) != 0)
            abort();
        const conf_record *a = list.first;
        if (!a || strcmp(a->text, entry) != 0 || !a->next || strcmp(a->next->text, busid) != 0 ||
            !a->next->next || !(a->next->next->flags & REC_EOL) || a->next->next->next)
            abort();
        clear(&list);
        free(text);
    }
    clear(&g_hba_conf);
    free(entry);
    free(busid);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_memfd = memfd_create("fuzz_busid", 0);
    g_quiet = fopen("/dev/null", "w");
    g_hba_conf.first = nullptr;
    g_hba_conf.last = &g_hba_conf.first;
    return g_memfd == -1 || !g_quiet ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *saved_stderr = stderr;
    stderr = g_quiet;
    check_busid(data, size);
    check_append(data, size);
    stderr = saved_stderr;
    return 0;
}
