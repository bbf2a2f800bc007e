// The HBA address table in memory: the check of a table as read, and the
// append of a new entry line.
#include "conf/conf.h"

#include <ctype.h>
#include <string.h>

#include "conf/scan.h"
#include "runtime/log.h"
#include "runtime/report.h"

conf_list g_hba_conf;

namespace {

enum {
    LOC_CHECK_BYTE = 0x2010,
    LOC_CHECK_WORDS = 0x2011,
    LOC_ADD_BUSID = 0x2040,
    LOC_ADD_ENTRY = 0x2041,
    LOC_ADD_APPEND = 0x2042,  // + step 0..2
    LOC_ADD_TOO_LONG = 0x2045,
};

const char TABLE_NAME[] = "hba_addr.conf";

// A byte a word of the table may hold: printable, not blank. The command
// never leaves the C locale, where isgraph is exactly 0x21 to 0x7e.
bool is_word_byte(unsigned char c) {
    return isgraph(c);
}

void report_bad_byte(const char *name, unsigned line, unsigned column, unsigned loc) {
    log_err("%s(%d:%d): badly formed line in file(%x).\n", name, (int)line, (int)column, loc);
}

}  // namespace

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
