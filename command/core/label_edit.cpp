// Label edits: -d removes every entry line of a label, -c renames every
// entry line of a label.
//
// The label of an entry line is the text of its first word before the
// first ",". Labels are compared whole, byte for byte, and the first word
// is looked at in place, so a word of any length is compared in full and a
// label never matches a longer one it only begins.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "conf/conf.h"
#include "conf/scan.h"
#include "core/label_edit.h"
#include "runtime/log.h"
#include "runtime/report.h"

namespace {

enum {
    LOC_CHANGE_FIRST_BYTE = 0x1101,  // NEW-LABEL: invalid first byte
    LOC_CHANGE_OTHER_BYTE = 0x1102,  // NEW-LABEL: invalid further byte
    LOC_CHANGE_NO_COMMA = 0x1103,    // an entry's first word has no ","
    LOC_CHANGE_TOO_LONG = 0x1104,    // the renamed word would not read back
    LOC_CHANGE_ALLOC = 0x1105,       // no memory for the renamed word
};

const char LABEL_SEPARATOR = ',';
const char change_name[] = "parse_hba_addr_conf_change";

// The bytes a NEW-LABEL may hold. The command never leaves the C locale,
// where isalnum is exactly 0-9 A-Z a-z.
bool is_label_first_byte(unsigned char c) {
    return isalnum(c) || c == '/';
}

bool is_label_other_byte(unsigned char c) {
    return is_label_first_byte(c) || c == '-' || c == '_' || c == '.' || c == ':';
}

// The first record of an entry line: a word that starts its line.
bool is_first_word(const conf_record *rec) {
    return (rec->flags & REC_FIRST) && (rec->flags & REC_WORD);
}

// Length of the label of a first word, or -1 when the word has no ",".
long label_length(const char *word) {
    const char *comma = strchr(word, LABEL_SEPARATOR);
    return comma ? comma - word : -1;
}

bool label_equals(const char *word, const char *label) {
    long len = label_length(word);
    return len >= 0 && (size_t)len == strlen(label) && memcmp(word, label, (size_t)len) == 0;
}

// 0 when NEW-LABEL is valid, else the location code of the byte's kind.
unsigned check_new_label(const char *label) {
    const unsigned char *p = (const unsigned char *)label;
    if (!is_label_first_byte(p[0]))
        return LOC_CHANGE_FIRST_BYTE;
    for (p++; *p; p++)
        if (!is_label_other_byte(*p))
            return LOC_CHANGE_OTHER_BYTE;
    return 0;
}

// Gives rec the text new_label "," rest, rest being what followed the
// first "," of its word. 0, or -1 after reporting.
int rename_word(conf_record *rec, const char *new_label) {
    const char *rest = rec->text + label_length(rec->text) + 1;
    size_t len = strlen(new_label) + 1 + strlen(rest);
    // A word the line reader cannot take back would make every later run
    // fail on the written table.
    if (len > scan_block_size() - 1) {
        report_no_resources((long long)len + 1, LOC_CHANGE_TOO_LONG);
        report_callee(change_name, LOC_CHANGE_TOO_LONG);
        return -1;
    }
    char *text = (char *)malloc(len + 1);
    if (!text) {
        report_no_resources((long long)len + 1, LOC_CHANGE_ALLOC);
        report_callee(change_name, LOC_CHANGE_ALLOC);
        return -1;
    }
    snprintf(text, len + 1, "%s%c%s", new_label, LABEL_SEPARATOR, rest);
    conf_set_text(rec, text, (uint32_t)len + 1);
    return 0;
}

}  // namespace

void print_new_label_rule(void) {
    fputs("ERROR: invalid character used in NEW-LABEL.\n", stderr);
    fputs("ERROR:   the first character  is   a-z  A-Z  0-9  /\n", stderr);
    fputs("ERROR:   the other characters are  a-z  A-Z  0-9  /  -  _  .  :\n", stderr);
}

int parse_hba_addr_conf_delete(const char *label) {
    conf_list *list = &g_hba_conf;
    int count = 0;

    // Marking pass: a matching line is marked from its first word up to and
    // including its line end, so its comment goes with it.
    bool marking = false;
    for (conf_record *rec = list->first; rec; rec = rec->next) {
        if (!marking && is_first_word(rec) && label_equals(rec->text, label)) {
            marking = true;
            count++;
        }
        if (marking) {
            rec->flags |= REC_DELETED;
            if (rec->flags & REC_EOL)
                marking = false;
        }
    }

    // Removal pass, so that the next delete of the run sees the result.
    conf_record *next;
    for (conf_record *rec = list->first; rec; rec = next) {
        next = rec->next;
        if (rec->flags & REC_DELETED)
            conf_remove(list, rec);
    }
    return count;
}

int parse_hba_addr_conf_change(const char *old_label, const char *new_label) {
    unsigned bad = check_new_label(new_label);
    if (bad) {
        print_new_label_rule();
        report_callee(change_name, bad);
        return -1;
    }
    int count = 0;
    for (conf_record *rec = g_hba_conf.first; rec; rec = rec->next) {
        if (!is_first_word(rec))
            continue;
        if (label_length(rec->text) < 0) {
            report_callee(change_name, LOC_CHANGE_NO_COMMA);
            return -1;
        }
        if (!label_equals(rec->text, old_label))
            continue;
        if (rename_word(rec, new_label) == -1)
            return -1;
        count++;
    }
    return count;
}
