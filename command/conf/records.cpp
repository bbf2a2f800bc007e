#include "conf/records.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "conf/scan.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_COLLECT_RECORD = 0x2001,
    LOC_SELECT_EMPTY = 0x2020,
    LOC_SELECT_FIELDS = 0x1c8,
};

// A record and its text are carved together from chunks of many at once: a
// table of 100,000 lines is 300,000 records, and two allocations with their
// first-touch page faults per token would cost more than reading the file.
// The chunks are mapped with their pages already present. Like every list,
// they live until the process exits: a removed record's room is not reused,
// only a text given to the record later (conf_set_text) is freed with it.
enum {
    RECORD_CHUNK_BYTES = 256 * 1024,
};

char *g_chunk_next;  // unused part of the newest chunk
char *g_chunk_end;

conf_record *alloc_record(unsigned text_size) {
    size_t need = (sizeof(conf_record) + text_size + alignof(conf_record) - 1) &
                  ~(alignof(conf_record) - 1);
    if ((size_t)(g_chunk_end - g_chunk_next) < need) {
        size_t bytes = need > (size_t)RECORD_CHUNK_BYTES ? need : (size_t)RECORD_CHUNK_BYTES;
        void *chunk = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (chunk == MAP_FAILED)
            return nullptr;
        g_chunk_next = (char *)chunk;
        g_chunk_end = g_chunk_next + bytes;
    }
    conf_record *rec = (conf_record *)g_chunk_next;  // fresh mappings are zero-filled
    g_chunk_next += need;
    rec->text = (char *)(rec + 1);
    return rec;
}

bool text_is_inline(const conf_record *rec) {
    return rec->text == (const char *)(rec + 1);
}

void link_tail(conf_list *list, conf_record *rec) {
    rec->next = nullptr;
    rec->prev = list->last;
    *list->last = rec;
    list->last = &rec->next;
}

}  // namespace

conf_record *conf_last(const conf_list *list) {
    if (!list->first)
        return nullptr;
    // last points at the next field of the last record, its first member.
    return (conf_record *)((char *)list->last - offsetof(conf_record, next));
}

void conf_remove(conf_list *list, conf_record *rec) {
    *rec->prev = rec->next;
    if (rec->next)
        rec->next->prev = rec->prev;
    else
        list->last = rec->prev;
    if (!text_is_inline(rec))
        free(rec->text);
    rec->text = nullptr;
}

void conf_set_text(conf_record *rec, char *text, uint32_t size) {
    if (!text_is_inline(rec))
        free(rec->text);
    rec->text = text;
    rec->size = size;
}

int conf_begin(void *context) {
    conf_context *ctx = (conf_context *)context;
    ctx->list->first = nullptr;
    ctx->list->last = &ctx->list->first;
    return 1;
}

int conf_collect(void *context, const char *text, unsigned size, unsigned line, unsigned column,
                 int token_class) {
    conf_context *ctx = (conf_context *)context;
    uint32_t flags;
    switch (token_class) {
    case TOKEN_WORD:
        flags = REC_WORD;
        break;
    case TOKEN_COMMENT:
        flags = REC_COMMENT;
        break;
    case TOKEN_EOL:
        flags = REC_EOL_RECORD;
        break;
    default:
        errno = EINVAL;
        return -1;
    }
    if (size == 0) {
        errno = EINVAL;
        return -1;
    }

    conf_record *rec = alloc_record(size);
    if (!rec) {
        report_no_resources((long long)sizeof *rec + size, LOC_COLLECT_RECORD);
        return -1;
    }
    memcpy(rec->text, text, size - 1);
    rec->text[size - 1] = '\0';
    rec->size = size;
    rec->line = line;
    rec->column = column;
    rec->field = ctx->field_counter++;
    if (ctx->line_start) {
        flags |= REC_FIRST;
        ctx->line_start = 0;
    }
    if (token_class == TOKEN_EOL) {
        ctx->line_start = 1;
        ctx->field_counter = 1;
    }
    rec->flags = flags;
    link_tail(ctx->list, rec);
    return 1;
}

int conf_select(void *context) {
    conf_context *ctx = (conf_context *)context;
    if (ctx->fields[0] == -1) {
        report_fatal(LOC_SELECT_EMPTY);
        return -1;
    }
    unsigned wanted = 0;
    while (wanted < 4 && ctx->fields[wanted] != -1)
        wanted++;

    conf_list *list = ctx->list;
    bool matched = false;
    unsigned kept = 0;
    conf_record *next;
    for (conf_record *rec = list->first; rec; rec = next) {
        next = rec->next;
        if (!matched) {
            // Until a line matches, everything up to its matching word goes.
            if (!(rec->flags & REC_WORD) ||
                (ctx->label_filter && strcmp(rec->text, ctx->label_filter) != 0)) {
                conf_remove(list, rec);
                continue;
            }
            matched = true;
            kept = 0;
        }
        // Only words are selected: a comment or the line end sitting at a
        // wanted field number would hide that the line lacks that word.
        bool selected = false;
        for (unsigned i = 0; i < wanted && (rec->flags & REC_WORD); i++)
            if ((uint32_t)ctx->fields[i] == rec->field)
                selected = true;
        bool line_end = rec->flags & REC_EOL;
        if (selected)
            kept++;
        else
            conf_remove(list, rec);
        if (line_end) {
            if (kept != wanted) {
                report_fatal(LOC_SELECT_FIELDS);
                return -1;
            }
            matched = false;
        }
    }
    return 1;
}
