// Bus IDs "domain:bus:device.function", as the HBA address table and the
// kernel write them.
#pragma once

#include <stdint.h>

// Splits a bus ID (hexadecimal parts) looked at within len bytes; stores
// the parts through the pointers that are not null. 0, or -1 after
// reporting.
int get_busid(const char *text, unsigned len, uint16_t *domain, uint8_t *bus, uint8_t *dev,
              uint8_t *func);
