// Label edits of the HBA address table (-d and -c); the two operations
// themselves are declared with the other modes in core/modes.h.
#pragma once

// Writes the three lines that state which bytes a NEW-LABEL may hold.
void print_new_label_rule(void);
