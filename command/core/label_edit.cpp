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

// Removes every entry line whose first word match accepts, from that word up
// to and including its line end, so its comment goes with it; returns the
// number of lines removed.
int delete_matching(bool (*match)(void *context, const char *word), void *context) {
    conf_list *list = &g_hba_conf;
    int count = 0;
    bool marking = false;
    for (conf_record *rec = list->first; rec; rec = rec->next) {
        if (!marking && is_first_word(rec) && match(context, rec->text)) {
            marking = true;
            count++;
        }
        if (marking) {
            rec->flags |= REC_DELETED;
            if (rec->flags & REC_EOL)
                marking = false;
        }
    }
    // Removed at once, so that a later delete of the run sees the result.
    conf_record *next;
    for (conf_record *rec = list->first; rec; rec = next) {
        next = rec->next;
        if (rec->flags & REC_DELETED)
            conf_remove(list, rec);
    }
    return count;
}

bool matches_label(void *label, const char *word) {
    return label_equals(word, (const char *)label);
}

// The labels of a delete as a hash set, so that each line is looked up
// once however many labels are given: open addressing over the labels'
// indices, -1 marking an empty slot.
struct label_set {
    char *const *labels;
    int *slots;
    size_t mask;            // number of slots (a power of two) minus 1
    unsigned char *found;   // per label: it removed lines
};

// The slot of the label of len bytes, or the empty slot where it belongs.
size_t find_slot(const label_set *set, const char *label, size_t len) {
    size_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < len; i++)
        h = (h ^ (unsigned char)label[i]) * 16777619u;
    size_t slot = h & set->mask;
    for (int i; (i = set->slots[slot]) != -1; slot = (slot + 1) & set->mask)
        if (strlen(set->labels[i]) == len && memcmp(set->labels[i], label, len) == 0)
            break;
    return slot;
}

bool matches_set(void *context, const char *word) {
    label_set *set = (label_set *)context;
    long len = label_length(word);
    int i = len < 0 ? -1 : set->slots[find_slot(set, word, (size_t)len)];
    if (i != -1)
        set->found[i] = 1;
    return i != -1;
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
    return delete_matching(matches_label, (void *)label);
}

int parse_hba_addr_conf_delete_labels(int count, char *const labels[]) {
    size_t slots = 2;
    while (slots < (size_t)count * 2)
        slots <<= 1;
    label_set set = {labels, (int *)malloc(slots * sizeof(int)), slots - 1,
                     (unsigned char *)calloc((size_t)count + 1, 1)};
    if (set.slots && set.found) {
        memset(set.slots, 0xff, slots * sizeof(int));
        for (int i = 0; i < count; i++) {
            size_t slot = find_slot(&set, labels[i], strlen(labels[i]));
            if (set.slots[slot] == -1)  // a repeated label finds nothing left
                set.slots[slot] = i;
        }
        delete_matching(matches_set, &set);
    }
    // The messages are gathered and written at once: a write per label
    // would cost more than the whole delete.
    char *text = nullptr;
    size_t len = 0;
    FILE *messages = open_memstream(&text, &len);
    int found = 0;
    for (int i = 0; i < count; i++) {
        // Without room for the set, one walk per label does the same.
        if (set.slots && set.found ? set.found[i] : parse_hba_addr_conf_delete(labels[i]) > 0)
            found++;
        else
            fprintf(messages ? messages : stderr, "ERROR: label %s is not found.\n", labels[i]);
    }
    if (messages && fclose(messages) == 0)
        fwrite(text, 1, len, stderr);
    free(text);
    free(set.slots);
    free(set.found);
    return found;
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
