// Helpers shared by the configuration-file tests.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/log.h"

// Points the process-wide log at a file of its own while it lives.
class captured_log {
public:
    captured_log() {
        strcpy(path_, "/tmp/conf_test_log.XXXXXX");
        int fd = mkstemp(path_);
        close(fd);
        unlink(path_);
        g_log = log_open("conf_test", path_, 0x100000, 4, nullptr);
    }
    ~captured_log() {
        log_close(g_log);
        g_log = nullptr;
        unlink(path_);
    }
    captured_log(const captured_log &) = delete;
    captured_log &operator=(const captured_log &) = delete;

    // The messages logged so far, each after its "<sec.usec>" stamp.
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        FILE *f = fopen(path_, "r");
        if (!f)
            return out;
        char line[8192];
        while (fgets(line, sizeof line, f)) {
            const char *msg = strchr(line, '>');
            out.push_back(msg ? msg + 1 : line);
        }
        fclose(f);
        return out;
    }

private:
    char path_[64];
};
