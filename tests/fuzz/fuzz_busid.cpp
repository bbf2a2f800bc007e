// Fuzz target for get_busid and the entry line append; the sanitizers are the
// oracle. On top, a bus ID parses the same in the kernel's form, and a line
// the append accepts reads back as one table line with the same two words.
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

void clear(conf_list *list) {
    while (list->first)
        conf_remove(list, list->first);
}

void check_busid(const uint8_t *data, size_t size) {
    // Exactly size bytes in a heap block of their own, so that a look past
    // them is caught.
    char *text = (char *)malloc(size ? size : 1);
    memcpy(text, data, size);
    uint16_t d, d2;
    uint8_t b, v, f, b2, v2, f2;
    if (get_busid(text, (unsigned)size, &d, &b, &v, &f) == 0) {
        char kernel_form[32];
        snprintf(kernel_form, sizeof kernel_form, "%04x:%02x:%02x.%x", d, b, v, f);
        if (get_busid(kernel_form, sizeof kernel_form, &d2, &b2, &v2, &f2) != 0 || d2 != d ||
            b2 != b || v2 != v || f2 != f)
            abort();
    }
    free(text);
}

void check_append(const uint8_t *data, size_t size) {
    // ENTRY up to the first line feed, BUSID the rest.
    const uint8_t *nl = (const uint8_t *)memchr(data, '\n', size);
    if (!nl)
        return;
    char *entry = strndup((const char *)data, (size_t)(nl - data));
    char *busid = strndup((const char *)nl + 1, size - (size_t)(nl - data) - 1);
    if (parse_hba_addr_conf_busid_add(entry, busid, (unsigned)strlen(busid) + 1) == 1) {
        bool empty = ftruncate(g_memfd, 0) == 0 && lseek(g_memfd, 0, SEEK_SET) == 0;
        FILE *f = empty ? fdopen(dup(g_memfd), "w") : nullptr;
        if (!f || print_hba_addr_conf(f, nullptr) != 0 || fclose(f) != 0 ||
            lseek(g_memfd, 0, SEEK_SET) == -1)
            abort();
        conf_list list = {nullptr, &list.first};
        conf_context ctx = {&list, "fuzz", 1, 1, nullptr, {-1, -1, -1, -1}};
        scan_callbacks cb = {conf_begin, conf_collect, hba_addr_conf_check, &ctx};
        if (scan_stream(nullptr, g_memfd, 0, &cb, nullptr) != 0)
            abort();
        const conf_record *a = list.first;
        if (strcmp(a->text, entry) != 0 || !a->next || strcmp(a->next->text, busid) != 0 ||
            !a->next->next || !(a->next->next->flags & REC_EOL) || a->next->next->next)
            abort();
        clear(&list);
    }
    clear(&g_hba_conf);
    free(entry), free(busid);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    stderr = fopen("/dev/null", "w");  // the reports of refused bus IDs
    g_memfd = memfd_create("fuzz_busid", 0);
    g_hba_conf.last = &g_hba_conf.first;
    return g_memfd == -1 || !stderr ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    check_busid(data, size);
    check_append(data, size);
    return 0;
}
