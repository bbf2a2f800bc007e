// Fuzz target for the line stream reader with the collecting callbacks,
// the table check and the field selection. Properties checked on top of
// the sanitizers:
//  - the records are the tokens of a plain byte-at-a-time splitter over
//    the whole input, with the same lines and columns, whatever the block
//    boundaries;
//  - every record is a whole zero-terminated text of its stored size;
//  - a table that was read is written back as a fixed point: reading the
//    written text again and writing it once more gives the same bytes, and
//    the check gives the same verdict on it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "conf/conf.h"
#include "conf/scan.h"

namespace {

int g_memfd = -1;
FILE *g_quiet;  // where the reports of failing checks go while fuzzing

void clear(conf_list *list) {
    while (list->first)
        conf_remove(list, list->first);
}

// Reads bytes through the reader into list; the scan result.
int read_bytes(const uint8_t *data, size_t size, conf_list *list, int (*on_end)(void *),
               conf_context *ctx, int32_t timeout) {
    clear(list);
    if (ftruncate(g_memfd, 0) == -1 || pwrite(g_memfd, data, size, 0) != (ssize_t)size ||
        lseek(g_memfd, 0, SEEK_SET) == -1)
        abort();
    ctx->list = list;
    ctx->field_counter = 1;
    ctx->line_start = 1;
    scan_callbacks cb = {conf_begin, conf_collect, on_end, ctx};
    unsigned detail = 0;
    int r = scan_stream(nullptr, g_memfd, timeout, &cb, &detail);
    if (r == -1 && detail != SCAN_DETAIL_END && detail != SCAN_DETAIL_ZERO_BYTE &&
        detail != SCAN_DETAIL_TOKEN_TOO_LONG)
        abort();  // nothing else can fail on a memory file
    return r;
}

void check_records(const conf_list *list) {
    for (const conf_record *r = list->first; r; r = r->next) {
        if (r->size == 0 || strlen(r->text) + 1 != r->size)
            abort();
        if (!r->next && list->last != &r->next)
            abort();
    }
}

// The splitter once more, over the whole input at once: the tokens as
// "text@line.column" ("$" for a line end), or false where the reader must
// fail (a zero byte, a token of L bytes or more).
bool reference(const uint8_t *in, size_t n, std::string *out) {
    const size_t limit = scan_block_size() - 1;
    unsigned line = 1, col = 1;
    bool on_line = false;
    auto add = [&](const std::string &t, unsigned c) {
        *out += t + "@" + std::to_string(line) + "." + std::to_string(c) + " ";
    };
    for (size_t i = 0; i < n;) {
        if (in[i] == ' ' || in[i] == '\t') {
            i++, col++;
        } else if (in[i] == '\n') {
            add("$", col - 1);
            i++, line++, col = 1, on_line = false;
        } else {
            size_t j = i + 1;
            while (j < n && in[j] != '\n' && (in[i] == '#' || !strchr(" \t#", in[j])))
                j++;
            if (j - i > limit || memchr(in + i, 0, j - i))
                return false;
            add(std::string((const char *)in + i, j - i), col);
            col += (unsigned)(j - i), i = j, on_line = true;
        }
    }
    if (on_line)
        add("$", col - 1);
    return true;
}

std::string rendered(const conf_list *list) {
    std::string out;
    for (const conf_record *r = list->first; r; r = r->next)
        out += std::string(r->flags & REC_EOL ? "$" : r->text) + "@" + std::to_string(r->line) + "." +
               std::to_string(r->column) + " ";
    return out;
}

// The list as the writer prints it.
char *print(conf_list *list, size_t *len) {
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
    g_memfd = memfd_create("fuzz_scan", 0);
    g_quiet = fopen("/dev/null", "w");
    return g_memfd == -1 || !g_quiet ? -1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *saved_stderr = stderr;
    stderr = g_quiet;

    conf_list list = {nullptr, &list.first};
    conf_context ctx = {&list, "fuzz", 1, 1, nullptr, {-1, -1, -1, -1}};
    int32_t timeout = size && (data[0] & 1) ? 1000 : 0;
    int first = read_bytes(data, size, &list, hba_addr_conf_check, &ctx, timeout);
    check_records(&list);
    std::string expected;
    if (reference(data, size, &expected) && rendered(&list) != expected)
        abort();

    size_t len1 = 0, len2 = 0;
    char *text1 = print(&list, &len1);
    conf_list again = {nullptr, &again.first};
    int second = read_bytes((const uint8_t *)text1, len1, &again, hba_addr_conf_check, &ctx, 0);
    check_records(&again);
    char *text2 = print(&again, &len2);
    // A table that was read whole reads back the same and prints the same.
    if (first == 0 && (second != 0 || len1 != len2 || memcmp(text1, text2, len1) != 0))
        abort();
    free(text1);
    free(text2);
    clear(&again);

    // The same bytes through the field selection, with a label filter and
    // fields taken from the input.
    if (size >= 3) {
        static const char *const labels[] = {nullptr, "disk", "a"};
        ctx.label_filter = labels[data[1] % 3];
        ctx.fields[0] = data[2] % 5 == 0 ? -1 : data[2] % 5;
        ctx.fields[1] = data[2] / 5 % 4 == 0 ? -1 : data[2] / 5 % 4 + 1;
        ctx.fields[2] = -1;
        int selected = read_bytes(data, size, &list, conf_select, &ctx, 0);
        check_records(&list);
        // A selection that succeeded holds words only (a failed one is left
        // as far as it got).
        for (const conf_record *r = list.first; r && selected == 0; r = r->next)
            if (!(r->flags & REC_WORD))
                abort();
        ctx.label_filter = nullptr;
        ctx.fields[0] = ctx.fields[1] = -1;
    }
    clear(&list);
    stderr = saved_stderr;
    return 0;
}
