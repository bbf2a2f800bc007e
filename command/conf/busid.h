// Bus IDs "domain:bus:device.function", as the HBA address table and the
// kernel write them, and the hexadecimal numbers they are made of.
#pragma once

#include <stdint.h>

struct pci_busid {
    uint16_t domain;
    uint8_t bus;
    uint8_t device;
    uint8_t function;
};

// Hexadecimal digits (nothing else, no prefix) to a number as a 32-bit
// strtoul gives it: all ones once it no longer fits. False when a byte is
// not a hexadecimal digit.
bool parse_hex32(const char *digits, uint32_t *value);

// Why split_busid refused a text; the part it stopped at goes to *part.
enum {
    BUSID_PART_MISSING = 1,
    BUSID_PART_NOT_HEX = 2,
};

// Splits text (cut in place at its separators, as strtok does) into the
// four hexadecimal parts of a bus ID: 0 with *id set, or the reason it
// failed. Runs of ":" before the domain and bus count as one, as do runs of
// "." before the device's end. Nothing is reported.
int split_busid(char *text, pci_busid *id, unsigned *part);

// Splits a bus ID looked at within len bytes; stores the parts through the
// pointers that are not null. 0, or -1 after reporting.
int get_busid(const char *text, unsigned len, uint16_t *domain, uint8_t *bus, uint8_t *dev,
              uint8_t *func);
