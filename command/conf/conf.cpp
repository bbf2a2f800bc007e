#include "conf/conf.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "conf/scan.h"
#include "runtime/log.h"
#include "runtime/report.h"

conf_list g_hba_conf;

// A mapping that records are carved from (see alloc_record).
struct record_chunk {
    size_t bytes;  // the whole mapping, this header included
    size_t live;   // records carved from it and not yet removed
    alignas(conf_record) char room[];
};

namespace {

enum {
    LOC_COLLECT_RECORD = 0x2001,
    LOC_CHECK_BYTE = 0x2010,
    LOC_CHECK_WORDS = 0x2011,
    LOC_SELECT_EMPTY = 0x2020,
    LOC_SELECT_FIELDS = 0x1c8,
    LOC_BUSID_LENGTH = 0x2030,
    LOC_BUSID_COPY = 0x2031,
    LOC_BUSID_MISSING = 0x2032,  // + part index 0..3
    LOC_BUSID_NOT_HEX = 0x2036,  // + part index 0..3
    LOC_ADD_BUSID = 0x2040,
    LOC_ADD_ENTRY = 0x2041,
    LOC_ADD_APPEND = 0x2042,  // + step 0..2
    LOC_ADD_TOO_LONG = 0x2045,
};

const char TABLE_NAME[] = "hba_addr.conf";

bool is_word_byte(unsigned char c) {
    return c >= 0x21 && c <= 0x7e;
}

// A record and its text are carved together from chunks of many at once: a
// table of 100,000 lines is 300,000 records, and two allocations with their
// first-touch page faults per token would cost more than reading the file.
// The chunks are mapped with their pages already present. A removed
// record's room is not reused on its own; a chunk counts its records still
// in a list, and once none is left it is unmapped (or, the newest chunk,
// carved again from its start). So a process that reads and empties lists
// over and over, as a fuzzer does, keeps its memory.
enum {
    RECORD_CHUNK_BYTES = 256 * 1024,
};

record_chunk *g_chunk;  // the newest chunk
char *g_chunk_next;     // its unused part
char *g_chunk_end;

conf_record *alloc_record(unsigned text_size) {
    size_t need = (sizeof(conf_record) + text_size + alignof(conf_record) - 1) &
                  ~(alignof(conf_record) - 1);
    if ((size_t)(g_chunk_end - g_chunk_next) < need) {
        size_t bytes = sizeof(record_chunk) + need;
        if (bytes < (size_t)RECORD_CHUNK_BYTES)
            bytes = RECORD_CHUNK_BYTES;
        void *map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (map == MAP_FAILED)
            return nullptr;
        if (g_chunk && g_chunk->live == 0)
            munmap(g_chunk, g_chunk->bytes);
        g_chunk = (record_chunk *)map;
        g_chunk->bytes = bytes;
        g_chunk->live = 0;
        g_chunk_next = g_chunk->room;
        g_chunk_end = (char *)map + bytes;
    }
    conf_record *rec = (conf_record *)g_chunk_next;
    g_chunk_next += need;
    *rec = conf_record{};  // the room may have held records before
    rec->text = (char *)(rec + 1);
    rec->chunk = g_chunk;
    g_chunk->live++;
    return rec;
}

void release_record(conf_record *rec) {
    record_chunk *chunk = rec->chunk;
    if (!chunk || --chunk->live > 0)
        return;
    if (chunk == g_chunk)
        g_chunk_next = chunk->room;
    else
        munmap(chunk, chunk->bytes);
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

void report_bad_byte(const char *name, unsigned line, unsigned column, unsigned loc) {
    log_err("%s(%d:%d): badly formed line in file(%x).\n", name, (int)line, (int)column, loc);
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
    release_record(rec);
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

int hba_addr_conf_check(void *context) {
    conf_context *ctx = (conf_context *)context;
    unsigned errors = 0;
    uint32_t highest_word = 0;
    for (conf_record *rec = ctx->list->first; rec; rec = rec->next) {
        if (rec->flags & REC_FIRST)
            highest_word = 0;
        if (rec->flags & REC_WORD) {
            if (rec->field > highest_word)
                highest_word = rec->field;
            const unsigned char *text = (const unsigned char *)rec->text;
            uint32_t length = rec->size - 1;
            for (uint32_t i = 0; i < length; i++) {
                if (!is_word_byte(text[i])) {
                    report_bad_byte(ctx->name, rec->line, rec->column + i, LOC_CHECK_BYTE);
                    errors++;
                }
            }
        } else if (rec->flags & REC_EOL) {
            if (highest_word != 0 && highest_word != 2) {
                report_bad_byte(ctx->name, rec->line, rec->column, LOC_CHECK_WORDS);
                errors++;
            }
        }
    }
    return errors ? -1 : 1;
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

namespace {

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

int parse_hba_addr_conf_busid_add(const char *entry, const char *busid, unsigned busid_size) {
    static const char name[] = "parse_hba_addr_conf_busid_add";
    if (get_busid(busid, busid_size, nullptr, nullptr, nullptr, nullptr) == -1) {
        report_callee(name, LOC_ADD_BUSID);
        return -1;
    }
    // The entry must read back as one word, or the written table would
    // fail every later run: no blank, "#" or unprintable byte, not empty,
    // and (below) not longer than a token may be.
    size_t entry_len = strlen(entry);
    bool entry_ok = entry_len > 0;
    for (size_t i = 0; i < entry_len && entry_ok; i++)
        entry_ok = is_word_byte((unsigned char)entry[i]) && entry[i] != '#';
    if (!entry_ok) {
        report_fatal(LOC_ADD_ENTRY);
        report_callee(name, LOC_ADD_ENTRY);
        return -1;
    }

    // Neither word may be longer than the reader takes back in.
    size_t busid_len = strlen(busid);
    size_t longest = scan_block_size() - 1;
    if (entry_len > longest || busid_len > longest) {
        report_fatal(LOC_ADD_TOO_LONG);
        report_callee(name, LOC_ADD_TOO_LONG);
        return -1;
    }

    conf_list *list = &g_hba_conf;
    if (!list->last) {  // never loaded: start an empty table
        list->first = nullptr;
        list->last = &list->first;
    }
    conf_record *last = conf_last(list);
    unsigned line = last ? last->line + 1 : 1;
    conf_context ctx = {list, TABLE_NAME, 1, 1, nullptr, {-1, -1, -1, -1}};

    struct {
        const char *text;
        size_t len;
        unsigned column;
        int token_class;
    } const parts[3] = {
        {entry, entry_len, 1, TOKEN_WORD},
        {busid, busid_len, (unsigned)entry_len + 2, TOKEN_WORD},
        {"\n", 1, (unsigned)(entry_len + 1 + busid_len), TOKEN_EOL},
    };
    for (int i = 0; i < 3; i++) {
        if (conf_collect(&ctx, parts[i].text, (unsigned)parts[i].len + 1, line, parts[i].column,
                         parts[i].token_class) == -1) {
            report_callee(name, LOC_ADD_APPEND + i);
            for (int j = 0; j < i; j++)
                conf_remove(list, conf_last(list));
            return -1;
        }
    }
    return 1;
}
