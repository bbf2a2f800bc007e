// Line stream reader: every text input of the command is split here into
// words, comments and line ends with line and column numbers.
#pragma once

#include <stdint.h>

enum {
    TOKEN_WORD = 1,
    TOKEN_COMMENT = 2,
    TOKEN_EOL = 3,
};

struct scan_callbacks {
    int (*on_begin)(void *context);
    int (*on_token)(void *context, const char *text, unsigned size, unsigned line, unsigned column,
                    int token_class);
    int (*on_end)(void *context);
    void *context;
};

int scan_stream(const char *path, int fd, int32_t timeout_ms, const scan_callbacks *cb,
                unsigned *detail);
