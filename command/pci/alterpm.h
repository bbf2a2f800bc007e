// The power-management alternative list: adapter models (vendor ID, device ID
// and revision, or every revision) for which the driver uses its alternative
// power handling. One item, VENDOR:DEVICE:REVISION, per line of alterpm.conf.
#pragma once

#include <stdint.h>

#include "conf/records.h"

#define ALTERPM_CONF_PATH "/etc/opt/KVXRtarnex/alterpm.conf"

enum {
    REC_PARSED = 0x2000,  // the record's spare words hold its parsed item
};

enum {
    ALTERPM_WILDCARD_REVISION = 0x2a,  // revision kept for a "*" item
};

// The items of the last read, in file order.
extern conf_list g_alterpm_conf;

// Reads alterpm.conf into g_alterpm_conf and parses every item: 0, or -1
// after reporting. timeout_ms bounds each wait for input as in scan_stream;
// tools and tests that read regular files may leave it out.
int parse_d0_conf(int32_t timeout_ms = 0);
// The same over another file, for tools and tests.
int parse_d0_conf_file(const char *path, int32_t timeout_ms = 0);

// Parses one item (once; later calls return the kept values) and fills the
// outputs that are not null: 0, or -1 after reporting.
int parse_d0_item(conf_record *record, uint16_t *vendor_out, uint16_t *device_out,
                  uint8_t *revision_out, uint8_t *wildcard_out);
