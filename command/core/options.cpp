#include "core/options.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "runtime/log.h"

options g_opt;

namespace {

const options default_options = {
    0, 0, 0, 0, 0, HBA_ADDR_CONF_PATH, 0, nullptr, 120, 0, nullptr,
};

}  // namespace

int is_option_extended(void) {
    const char *value = getenv("KVXRtarnex");
    if (!value || strcmp(value, "KOBRANT") != 0)
        return 0;
    log_info("option has been extended.\n");
    return 1;
}

void usage(void) {
    fputs("ERROR: usage: tarnex -a DEVICE-PATH\n", stderr);
    fputs("ERROR:   or:  tarnex -d LABEL\n", stderr);
    fputs("ERROR:   or:  tarnex -c OLD-LABEL NEW-LABEL\n", stderr);
    fputs("ERROR:   or:  tarnex -l | -r\n", stderr);
}

int parse_options(int argc, char **argv) {
    const char *optstring = is_option_extended() ? ":adlcrf:no:t:" : ":adlcr";
    g_opt = default_options;
    bool output_given = false;
    bool bad = false;
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        switch (c) {
        case 'a': g_opt.add = 1; break;
        case 'd': g_opt.del = 1; break;
        case 'l': g_opt.list = 1; break;
        case 'c': g_opt.change = 1; break;
        case 'r': g_opt.reg = 1; break;
        case 'f':
            g_opt.table_path = optarg;
            log_info("specify -f %s.\n", optarg);
            break;
        case 'n':
            g_opt.n_flag = 1;
            log_info("specify -n.\n");
            break;
        case 'o':
            g_opt.output_path = optarg;
            output_given = true;
            log_info("specify -o %s.\n", optarg);
            break;
        case 't':
            g_opt.timeout = (int32_t)strtol(optarg, nullptr, 0);
            log_info("specify -t %d\n", (int)g_opt.timeout);
            break;
        case ':':
            fprintf(stderr, "ERROR: option -%c requires an argument.\n", optopt);
            bad = true;
            break;
        default: {
            // getopt hands bytes above 0x7f over as negative chars.
            unsigned char code = (unsigned char)optopt;
            if (isprint(code))
                fprintf(stderr, "ERROR: unknown option -%c.\n", code);
            else
                fprintf(stderr, "ERROR: unknown option character 0x%x.\n", code);
            bad = true;
            break;
        }
        }
    }
    int operands = argc - optind;
    int modes = g_opt.add + g_opt.del + g_opt.change + g_opt.list + g_opt.reg;
    if (bad || modes != 1 || ((g_opt.add || g_opt.del) && operands < 1) ||
        (g_opt.change && operands != 2) || (g_opt.list && operands != 0)) {
        usage();
        return -1;
    }
    g_opt.operand_count = operands;
    g_opt.operands = argv + optind;
    if (!output_given)
        g_opt.output_path = g_opt.table_path;
    else if (strcmp(g_opt.output_path, "-") == 0)
        g_opt.output_path = nullptr;
    return 0;
}

int32_t timeout_ms(void) {
    long long ms = (long long)g_opt.timeout * 1000;
    if (ms > INT32_MAX)
        return INT32_MAX;
    if (ms < INT32_MIN)
        return INT32_MIN;
    return (int32_t)ms;
}
