// Options of one run of the command.
#pragma once

#include <stdint.h>

struct options {
    int add;
    int del;
    int change;
    int list;
    int reg;
    const char *table_path;
    int n_flag;
    const char *output_path;  // null: standard output
    int32_t timeout;          // seconds
    int operand_count;
    char **operands;
};

extern options g_opt;

#define HBA_ADDR_CONF_PATH "/etc/opt/KVXRtarnex/hba_addr.conf"

int is_option_extended(void);
int parse_options(int argc, char **argv);
void usage(void);
// The time-out as milliseconds for every input wait of the run, clamped to
// what a 32-bit poll time-out can hold.
int32_t timeout_ms(void);
