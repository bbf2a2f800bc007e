// The operations the entry dispatches to, one per mode.
#pragma once

// Resolves each device path operand and appends its entry lines to the
// table; returns the number of lines added, or -1.
int parse_hba_addr_conf_add(int count, char **paths);
// Renames every line labelled old_label; returns the count, 0 when none
// matched, or -1.
int parse_hba_addr_conf_change(const char *old_label, const char *new_label);
// Removes every line labelled label; returns the count.
int parse_hba_addr_conf_delete(const char *label);
// Removes every line labelled with one of the labels, in one walk over the
// table, and writes "label ... is not found" for each label (in order) that
// removed nothing, a repeated one included; returns the number of labels
// that removed lines.
int parse_hba_addr_conf_delete_labels(int count, char *const labels[]);
// Hands the table to the driver; 0, or -1 when it was not accepted.
int register_hba_addr_conf(void);
