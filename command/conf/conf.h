// The HBA address table: the in-memory list of its records, its check, the
// append of an entry line, and its writer. Its bus-ID words are read with
// get_busid.
#pragma once

#include <stdio.h>

#include "conf/busid.h"
#include "conf/records.h"

// The in-memory HBA address table, filled once per run.
extern conf_list g_hba_conf;

// on_end callback: checks the whole list as an HBA address table; 1, or -1
// after reporting every badly formed line.
int hba_addr_conf_check(void *context);

// Appends the entry line "ENTRY BUSID" to the table; 1, or -1 after reporting.
int parse_hba_addr_conf_busid_add(const char *entry, const char *busid, unsigned busid_size);

// Writes the table list: to standard output when path is null, else
// replaces the file at path, keeping ten numbered backups.
int save_hba_addr_conf(const char *path);
int print_hba_addr_conf(FILE *stream, const char *path);
