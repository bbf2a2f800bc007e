// Helpers shared by the configuration-file tests.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/log.h"

// A file holding the given bytes while it lives.
struct temp_file {
    char path[64];
    explicit temp_file(const std::string &data) {
        strcpy(path, "/tmp/conf_test.XXXXXX");
        int fd = mkstemp(path);
        if (fd == -1 || write(fd, data.data(), data.size()) != (ssize_t)data.size())
            abort();
        close(fd);
    }
    ~temp_file() { unlink(path); }
};

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
