// Registration of the HBA address table with the tarnex driver: the entry
// operation of the PCI subsystem.
#pragma once

#include <stdint.h>

// Reads alterpm.conf (each wait for input bounded by timeout_ms), builds the
// records from the PCI configuration space and the in-memory table, and
// hands them to the driver: 0, or -1 after reporting when it was not
// accepted.
int register_hba_addr_conf(int32_t timeout_ms);
