// Label edits of the HBA address table (-d and -c). Both change the
// in-memory table only; the entry registers the result and writes it back.
#pragma once

// Removes every line labelled label; returns the count.
int parse_hba_addr_conf_delete(const char *label);
// Renames every line labelled old_label; returns the count, 0 when none
// matched, or -1.
int parse_hba_addr_conf_change(const char *old_label, const char *new_label);
// Writes the three lines that state which bytes a NEW-LABEL may hold.
void print_new_label_rule(void);
