// What the unit tests share: a file holding given bytes, and the process-
// wide log pointed at a file of its own whose messages can be read back.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "runtime/log.h"

struct temp_file {
    char path[32] = "/tmp/unit_test.XXXXXX";
    explicit temp_file(const std::string &data) {
        int fd = mkstemp(path);
        if (fd == -1 || write(fd, data.data(), data.size()) != (ssize_t)data.size())
            abort();
        close(fd);
    }
    ~temp_file() { unlink(path); }
};

struct captured_log {
    temp_file file{""};
    captured_log() { g_log = log_open("unit", file.path, 0x100000, 4, nullptr); }
    ~captured_log() { log_close(g_log), g_log = nullptr; }
    // The messages logged so far, each after its "<sec.usec>" stamp.
    std::string messages() const {
        std::string out;
        char line[8192];
        FILE *f = fopen(file.path, "r");
        while (f && fgets(line, sizeof line, f))
            out += strchr(line, '>') ? strchr(line, '>') + 1 : line;
        if (f)
            fclose(f);
        return out;
    }
};
