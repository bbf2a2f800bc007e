// Line stream reader: every text input of the command is split here into
// words, comments and line ends with line and column numbers.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    TOKEN_WORD = 1,
    TOKEN_COMMENT = 2,
    TOKEN_EOL = 3,
};

// Detail codes stored by scan_stream when it fails, one per failing step.
enum {
    SCAN_DETAIL_NO_CALLBACK = 4,     // callback record or its on_token missing (EINVAL)
    SCAN_DETAIL_OPEN = 5,            // opening the path failed (errno of open)
    SCAN_DETAIL_BAD_FD = 6,          // no path and a negative descriptor (EINVAL)
    SCAN_DETAIL_BEGIN = 7,           // on_begin returned -1
    SCAN_DETAIL_POLL = 8,            // poll failed (errno of poll)
    SCAN_DETAIL_TIMEOUT = 9,         // no input within the time-out (ETIMEDOUT)
    SCAN_DETAIL_READ = 10,           // read failed (errno of read)
    SCAN_DETAIL_TOKEN = 11,          // on_token returned -1
    SCAN_DETAIL_END = 12,            // on_end returned -1 at the end
    SCAN_DETAIL_ZERO_BYTE = 13,      // a zero byte in the input (EILSEQ)
    SCAN_DETAIL_NO_ROOM = 0x200000,  // bit of every failure for lack of room
    SCAN_DETAIL_OVERFLOW = 0x100000,  // bit of the token buffer's overflow
    SCAN_DETAIL_TOKEN_BUFFER = 0x400,  // bit of the token buffer's allocation
    SCAN_DETAIL_READ_BUFFER_MEM = 0x200001,   // read buffer allocation (ENOMEM)
    SCAN_DETAIL_STATE_MEM = 0x200002,         // state record allocation (ENOMEM)
    SCAN_DETAIL_TOKEN_BUFFER_MEM = 0x200401,  // token buffer allocation (ENOMEM)
    SCAN_DETAIL_TOKEN_TOO_LONG = 0x300003,    // token of L bytes or more (E2BIG)
    SCAN_DETAIL_TOO_MUCH = 0x200004,          // more input than the caller's bound (EFBIG)
};

struct scan_callbacks {
    // Called once before the first wait; -1 fails the read.
    int (*on_begin)(void *context);
    // Called for every completed token: text is zero-terminated and valid
    // only during the call, size is its length plus 1, column the 1-based
    // column of its first byte (for a line end the column of the byte
    // before it, 0 on an empty line). -1 fails, 0 stops reading, anything
    // else goes on.
    int (*on_token)(void *context, const char *text, unsigned size, unsigned line, unsigned column,
                    int token_class);
    // Called once at the end, and after most failures (result then ignored).
    int (*on_end)(void *context);
    void *context;
};

// Reads path (or, when path is null, the open descriptor fd, which is left
// open) and hands every token to the callbacks. timeout_ms bounds each wait
// for input: negative waits without limit, 0 never waits. Returns 0 with
// errno as it was on entry, or -1 with errno set and *detail (if detail is
// not null) naming the failing step.
//
// A last line without its line feed is completed as if it had one: its
// open word or comment is delivered, followed by a line end token. A zero
// byte is never part of a text: the read fails with SCAN_DETAIL_ZERO_BYTE,
// since the token would otherwise reach the callback cut short.
int scan_stream(const char *path, int fd, int32_t timeout_ms, const scan_callbacks *cb,
                unsigned *detail);
// The same, failing with SCAN_DETAIL_TOO_MUCH (EFBIG) as soon as more than
// max_bytes bytes have been read; 0 means no bound.
int scan_stream_limited(const char *path, int fd, int32_t timeout_ms, const scan_callbacks *cb,
                        size_t max_bytes, unsigned *detail);

// The block size L: the system's line maximum when it lies in 1..4096, else
// 4096. A token may be at most L - 1 bytes long.
unsigned scan_block_size(void);
