// Fuzz target for the reader, the collecting callbacks, the table check, the
// writer and the field selection; the sanitizers are the oracle. On top, a
// table that was read is written back as a fixed point.
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

// Reads bytes through the reader into list, with on_end as the check.
int read_bytes(const void *data, size_t size, conf_list *list, int (*on_end)(void *),
               conf_context *ctx, int32_t timeout) {
    if (ftruncate(g_memfd, 0) == -1 || pwrite(g_memfd, data, size, 0) != (ssize_t)size ||
        lseek(g_memfd, 0, SEEK_SET) == -1)
        abort();
    *ctx = {list, "fuzz", 1, 1, ctx->label_filter, {ctx->fields[0], ctx->fields[1], -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, on_end, ctx};
    return scan_stream(nullptr, g_memfd, timeout, &cb, nullptr);
}

// The list as the writer prints it.
char *print(const conf_list *list, size_t *len) {
    char *buf = nullptr;
    FILE *f = open_memstream(&buf, len);
    conf_list saved = g_hba_conf;
    g_hba_conf = *list;
    if (print_hba_addr_conf(f, nullptr) != 0)
        abort();
    g_hba_conf = saved;
    fclose(f);
    return buf;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    stderr = fopen("/dev/null", "w");  // the reports of refused tables
    g_memfd = memfd_create("fuzz_scan", 0);
    return g_memfd == -1 || !stderr ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    conf_list list = {nullptr, &list.first};
    conf_context ctx = {&list, "fuzz", 1, 1, nullptr, {-1, -1, -1, -1}};
    int32_t timeout = size && (data[0] & 1) ? 1000 : 0;
    if (size < 3 || data[0] & 2) {
        // As a table: checked, written back, and read back the same.
        if (read_bytes(data, size, &list, hba_addr_conf_check, &ctx, timeout) == 0) {
            size_t len1 = 0, len2 = 0;
            conf_list again = {nullptr, &again.first};
            char *text1 = print(&list, &len1);
            if (read_bytes(text1, len1, &again, hba_addr_conf_check, &ctx, 0) != 0)
                abort();
            char *text2 = print(&again, &len2);
            if (len1 != len2 || memcmp(text1, text2, len1) != 0)
                abort();
            free(text1), free(text2), clear(&again);
        }
    } else {
        // Through the field selection, with a label filter and fields taken
        // from the input.
        static const char *const labels[] = {nullptr, "disk", "a"};
        ctx.label_filter = labels[data[1] % 3];
        ctx.fields[0] = data[2] % 5 == 0 ? -1 : data[2] % 5;
        ctx.fields[1] = data[2] / 5 % 4 == 0 ? -1 : data[2] / 5 % 4 + 1;
        read_bytes(data, size, &list, conf_select, &ctx, timeout);
    }
    clear(&list);
    return 0;
}
