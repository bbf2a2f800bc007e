// Token record lists: the HBA address table and every other text input,
// kept word for word with comments and line ends so they can be written back.
#pragma once

#include <stdint.h>
#include <stdio.h>

enum {
    REC_FIRST = 0x01,
    REC_EOL = 0x02,
    REC_EOL_RECORD = 0x42,  // flags of a line end record
    REC_WORD = 0x10,
    REC_COMMENT = 0x20,
    REC_DELETED = 0x100,
    // 0x200, 0x400 and 0x2000 belong to the users of a list.
};

struct conf_record {
    conf_record *next;
    conf_record **prev;
    char *text;
    uint32_t size;
    uint32_t line;
    uint32_t column;
    uint32_t field;
    uint32_t spare[3];
    uint32_t flags;
};

struct conf_list {
    conf_record *first;
    conf_record **last;
};

struct conf_context {
    conf_list *list;
    const char *name;
    uint32_t field_counter;
    uint32_t line_start;
    const char *label_filter;
    int32_t fields[4];
};

// The in-memory HBA address table, filled once per run.
extern conf_list g_hba_conf;

int conf_begin(void *context);
int conf_collect(void *context, const char *text, unsigned size, unsigned line, unsigned column,
                 int token_class);
int hba_addr_conf_check(void *context);
int conf_select(void *context);

int get_busid(const char *text, unsigned len, uint16_t *domain, uint8_t *bus, uint8_t *dev,
              uint8_t *func);
int parse_hba_addr_conf_busid_add(const char *entry, const char *busid, unsigned busid_size);

// Unlinks a record from its list and frees it with its text.
void conf_remove(conf_list *list, conf_record *rec);

// Writes the table list: to standard output when path is null, else
// replaces the file at path, keeping ten numbered backups.
int save_hba_addr_conf(const char *path);
int print_hba_addr_conf(FILE *stream, const char *path);
