#include "conf/scan.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

enum {
    BLOCK_SIZE_MAX = 4096,
};

// Byte classes of the splitter. Every byte not named here is an ordinary
// word byte (carriage return, form feed, bytes above 0x7f); the zero byte
// has a class of its own only so that it can be refused.
enum : unsigned char {
    CH_WORD = 0,
    CH_BLANK,    // space and tab separate words
    CH_EOL,      // line feed
    CH_COMMENT,  // "#" starts a comment
    CH_ZERO,
};

struct byte_classes {
    unsigned char of[256];
};

constexpr byte_classes make_byte_classes() {
    byte_classes t{};
    t.of[(unsigned char)' '] = CH_BLANK;
    t.of[(unsigned char)'\n'] = CH_EOL;
    t.of[(unsigned char)'\t'] = CH_BLANK;
    t.of[(unsigned char)'#'] = CH_COMMENT;
    t.of[0] = CH_ZERO;
    return t;
}

constexpr byte_classes byte_class = make_byte_classes();

enum splitter_state {
    BETWEEN_TOKENS,
    IN_WORD,
    IN_COMMENT,
};

// What the walk over a block ended with.
enum walk_result {
    WALK_BLOCK_DONE,
    WALK_STOP,  // on_token asked to stop reading
    WALK_FAILED,
};

struct scan_state {
    const scan_callbacks *cb;
    unsigned block_size;
    char *token;          // token buffer of block_size bytes
    unsigned token_len;   // bytes of the open token gathered so far
    splitter_state state;
    unsigned line;
    unsigned column;      // column of the next byte to be consumed
    bool line_has_token;  // a word or comment was delivered since the last line end
    unsigned detail;      // failing step, when a walk failed
    int err;              // errno captured right after the failing step
};

void fail_step(scan_state *s, unsigned detail, int err) {
    s->detail = detail;
    s->err = err;
}

// Adds n bytes of the open token to the token buffer.
bool append_token(scan_state *s, const char *bytes, unsigned n) {
    if (n > s->block_size - 1 - s->token_len) {
        fail_step(s, SCAN_DETAIL_TOKEN_TOO_LONG, E2BIG);
        return false;
    }
    memcpy(s->token + s->token_len, bytes, n);
    s->token_len += n;
    return true;
}

// Hands the gathered token to on_token and empties the buffer.
walk_result deliver(scan_state *s, int token_class, unsigned column) {
    s->token[s->token_len] = '\0';
    int r = s->cb->on_token(s->cb->context, s->token, s->token_len + 1, s->line, column, token_class);
    int err = errno;
    s->token_len = 0;
    s->state = BETWEEN_TOKENS;
    if (r == -1) {
        fail_step(s, SCAN_DETAIL_TOKEN, err);
        return WALK_FAILED;
    }
    return r == 0 ? WALK_STOP : WALK_BLOCK_DONE;
}

walk_result deliver_line_end(scan_state *s) {
    s->token[0] = '\n';
    s->token_len = 1;
    walk_result r = deliver(s, TOKEN_EOL, s->column - 1);
    s->line_has_token = false;
    return r;
}

// Completes the open word or comment; the current column is that of the
// byte after it, so its first byte lies token_len columns back.
walk_result deliver_open_token(scan_state *s) {
    int token_class = s->state == IN_WORD ? TOKEN_WORD : TOKEN_COMMENT;
    s->line_has_token = true;
    return deliver(s, token_class, s->column - s->token_len);
}

// Walks one block. A token still open at the block's end stays in the
// token buffer and continues with the next block's first byte.
walk_result walk_block(scan_state *s, const char *buf, unsigned n) {
    unsigned i = 0;
    while (i < n) {
        if (s->state == BETWEEN_TOKENS) {
            switch (byte_class.of[(unsigned char)buf[i]]) {
            case CH_BLANK:
                i++;
                s->column++;
                continue;
            case CH_EOL: {
                walk_result r = deliver_line_end(s);
                if (r != WALK_BLOCK_DONE)
                    return r;
                i++;
                s->line++;
                s->column = 1;
                continue;
            }
            case CH_COMMENT:
                s->state = IN_COMMENT;
                break;
            case CH_ZERO:
                fail_step(s, SCAN_DETAIL_ZERO_BYTE, EILSEQ);
                return WALK_FAILED;
            default:
                s->state = IN_WORD;
                break;
            }
        }

        unsigned start = i;
        if (s->state == IN_WORD) {
            while (i < n && byte_class.of[(unsigned char)buf[i]] == CH_WORD)
                i++;
        } else {
            while (i < n && buf[i] != '\n' && buf[i] != '\0')
                i++;
        }
        s->column += i - start;
        if (!append_token(s, buf + start, i - start))
            return WALK_FAILED;
        if (i == n)
            break;
        if (buf[i] == '\0') {
            fail_step(s, SCAN_DETAIL_ZERO_BYTE, EILSEQ);
            return WALK_FAILED;
        }
        // The byte that ended the token is looked at again between tokens.
        walk_result r = deliver_open_token(s);
        if (r != WALK_BLOCK_DONE)
            return r;
    }
    return WALK_BLOCK_DONE;
}

// End of input: a last line without its line feed is completed, so that
// neither its last token is lost nor a line appended later runs into it.
walk_result finish_input(scan_state *s) {
    if (s->state != BETWEEN_TOKENS) {
        walk_result r = deliver_open_token(s);
        if (r != WALK_BLOCK_DONE)
            return r;
    }
    if (s->line_has_token)
        return deliver_line_end(s);
    return WALK_BLOCK_DONE;
}

}  // namespace

unsigned scan_block_size(void) {
    long line_max = sysconf(_SC_LINE_MAX);
    if (line_max >= 1 && line_max <= BLOCK_SIZE_MAX)
        return (unsigned)line_max;
    return BLOCK_SIZE_MAX;
}

int scan_stream(const char *path, int fd, int32_t timeout_ms, const scan_callbacks *cb,
                unsigned *detail) {
    return scan_stream_limited(path, fd, timeout_ms, cb, 0, detail);
}

int scan_stream_limited(const char *path, int fd, int32_t timeout_ms, const scan_callbacks *cb,
                        size_t max_bytes, unsigned *detail) {
    int saved_errno = errno;
    unsigned code = 0;
    int err = 0;
    bool call_end = false;
    bool opened = false;
    size_t total = 0;
    char *block = nullptr;
    scan_state *s = nullptr;
    unsigned block_size = scan_block_size();

    if (!cb || !cb->on_token) {
        code = SCAN_DETAIL_NO_CALLBACK;
        err = EINVAL;
        goto out;
    }
    if (path) {
        // A FIFO without a writer would block open itself, before the
        // time-out can act; opened non-blocking, it waits in poll instead.
        // The reads block again as for a descriptor handed in.
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd == -1) {
            code = SCAN_DETAIL_OPEN;
            err = errno;
            goto out;
        }
        opened = true;
        int flags = fcntl(fd, F_GETFL);
        if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
            code = SCAN_DETAIL_OPEN;
            err = errno;
            goto out;
        }
    } else if (fd < 0) {
        code = SCAN_DETAIL_BAD_FD;
        err = EINVAL;
        goto out;
    }

    block = (char *)malloc(block_size);
    if (!block) {
        code = SCAN_DETAIL_READ_BUFFER_MEM;
        err = ENOMEM;
        goto out;
    }
    s = (scan_state *)calloc(1, sizeof *s);
    if (!s) {
        code = SCAN_DETAIL_STATE_MEM;
        err = ENOMEM;
        goto out;
    }
    // One more byte than the longest token, for its terminating zero.
    s->token = (char *)malloc(block_size);
    if (!s->token) {
        code = SCAN_DETAIL_TOKEN_BUFFER_MEM;
        err = ENOMEM;
        goto out;
    }
    s->cb = cb;
    s->block_size = block_size;
    s->state = BETWEEN_TOKENS;
    s->line = 1;
    s->column = 1;

    if (cb->on_begin && cb->on_begin(cb->context) == -1) {
        code = SCAN_DETAIL_BEGIN;
        err = errno;
        goto out;
    }

    // From here on every failure still lets on_end see what was collected.
    call_end = true;
    for (;;) {
        if (timeout_ms != 0) {
            struct pollfd pfd = {fd, POLLIN | POLLPRI, 0};
            int ready = poll(&pfd, 1, timeout_ms);
            if (ready == -1) {
                code = SCAN_DETAIL_POLL;
                err = errno;
                goto out;
            }
            if (ready == 0) {
                code = SCAN_DETAIL_TIMEOUT;
                err = ETIMEDOUT;
                goto out;
            }
        }
        ssize_t got = read(fd, block, block_size);
        if (got == -1) {
            code = SCAN_DETAIL_READ;
            err = errno;
            goto out;
        }
        // Nothing past the bound is looked at, so what a caller collects
        // stays bounded however much the input holds.
        total += (size_t)got;
        if (max_bytes && total > max_bytes) {
            code = SCAN_DETAIL_TOO_MUCH;
            err = EFBIG;
            goto out;
        }
        walk_result r = got == 0 ? finish_input(s) : walk_block(s, block, (unsigned)got);
        if (r == WALK_FAILED) {
            code = s->detail;
            err = s->err;
            goto out;
        }
        if (got == 0 || r == WALK_STOP)
            break;
    }

    call_end = false;
    if (cb->on_end && cb->on_end(cb->context) == -1) {
        code = SCAN_DETAIL_END;
        err = errno;
    }

out:
    if (call_end && cb->on_end)
        cb->on_end(cb->context);
    if (s)
        free(s->token);
    free(s);
    free(block);
    if (opened)
        close(fd);
    if (!code) {
        errno = saved_errno;
        return 0;
    }
    if (detail)
        *detail = code;
    if (err)
        errno = err;
    return -1;
}
