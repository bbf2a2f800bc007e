// Token record lists: the HBA address table and every other text input,
// kept word for word with comments and line ends so they can be written
// back, and the callbacks through which the line stream reader fills them.
#pragma once

#include <stdint.h>

enum {
    REC_FIRST = 0x01,        // first record of its line (on a blank line, its line end)
    REC_EOL = 0x02,          // line end record
    REC_EOL_RECORD = 0x42,   // flags of a line end record
    REC_WORD = 0x10,         // word
    REC_COMMENT = 0x20,      // comment
    REC_DELETED = 0x100,     // marked by a delete; never printed
    // 0x200, 0x400 and 0x2000 belong to the users of a list.
};

struct conf_record {
    conf_record *next;   // null for the last record
    conf_record **prev;  // the next field of the preceding record, or the head's first
    char *text;          // owned, zero-terminated; "\n" for a line end
    uint32_t size;       // length of text plus 1
    uint32_t line;       // 1-based
    uint32_t column;     // 1-based column of the first byte
    uint32_t field;      // 1-based position on its line, the comment and line end included
    uint32_t spare[3];   // free for the user of a list
    uint32_t flags;
};

struct conf_list {
    conf_record *first;  // null when empty
    conf_record **last;  // the next field of the last record, or &first when empty
};

struct conf_context {
    conf_list *list;
    const char *name;  // the input's name in messages
    uint32_t field_counter;
    uint32_t line_start;
    const char *label_filter;  // conf_select only
    int32_t fields[4];         // conf_select only; ended by the first -1
};

// Collecting callbacks of the line stream reader.
int conf_begin(void *context);
int conf_collect(void *context, const char *text, unsigned size, unsigned line, unsigned column,
                 int token_class);
// on_end callback: reduces a list to the selected fields of its matching
// lines; 1, or -1 after reporting.
int conf_select(void *context);

// The last record of a list, or null when it is empty.
conf_record *conf_last(const conf_list *list);
// Unlinks a record from its list and frees its text.
void conf_remove(conf_list *list, conf_record *rec);
// Gives a record a new text of size bytes (with its zero) taken from
// malloc; the record owns it from then on.
void conf_set_text(conf_record *rec, char *text, uint32_t size);
