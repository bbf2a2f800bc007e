// Line stream reader: tokens and columns, block boundaries, the token
// limit, time-outs and the detail code of the failing steps.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "conf/scan.h"
#include "conf_test_support.h"

namespace {

// Every callback, rendered as text: "ab@1.1 #c@1.3 $@1.4" (a line end is "$").
struct seen {
    std::string tokens;
    int ends = 0;
    int answer_at = 0;  // on_token answers `answer` at this token
    int answer = 1;
};

int on_token(void *c, const char *text, unsigned size, unsigned line, unsigned column, int cls) {
    seen *s = (seen *)c;
    EXPECT_EQ(strlen(text) + 1, size);
    s->tokens += (s->tokens.empty() ? "" : " ") + std::string(cls == TOKEN_EOL ? "$" : text) +
                 "@" + std::to_string(line) + "." + std::to_string(column);
    return ++s->answer_at == 0 ? s->answer : 1;
}
int on_end(void *c) { return ((seen *)c)->ends++, 1; }

struct scan_run {
    int result;
    unsigned detail = 0;
    int err = 0;
    seen s;
};

scan_run scan_fd(int fd, int32_t timeout, int stop_at = 0, int answer = 1) {
    scan_run r;
    r.s.answer_at = -stop_at;
    r.s.answer = answer;
    scan_callbacks cb = {nullptr, on_token, on_end, &r.s};
    r.result = scan_stream(nullptr, fd, timeout, &cb, &r.detail);
    r.err = errno;
    return r;
}

scan_run scan(const std::string &data, int stop_at = 0, int answer = 1) {
    temp_file f(data);
    int fd = open(f.path, O_RDONLY);
    scan_run r = scan_fd(fd, 1000, stop_at, answer);
    close(fd);
    return r;
}

TEST(Scan, TokensAndColumns) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"ab cd\n", "ab@1.1 cd@1.4 $@1.5"},
        {"\n", "$@1.0"},
        {"  x\t#note # more\n", "x@1.3 #note # more@1.5 $@1.16"},
        {"ab#c\n", "ab@1.1 #c@1.3 $@1.4"},
        {"a b\r\n\f\n", "a@1.1 b\r@1.3 $@1.4 \f@2.1 $@2.1"},
        {"a\n\n  # c\n\tb c\n", "a@1.1 $@1.1 $@2.0 # c@3.3 $@3.5 b@4.2 c@4.4 $@4.4"},
        {"", ""},
        // A last line without its line feed is completed, not dropped.
        {"a b\nc d", "a@1.1 b@1.3 $@1.3 c@2.1 d@2.3 $@2.3"},
        {"c d  ", "c@1.1 d@1.3 $@1.5"},
        {"x # tail", "x@1.1 # tail@1.3 $@1.8"},
        {"x\n \t ", "x@1.1 $@1.1"},
    };
    for (const auto &c : cases) {
        scan_run r = scan(c.in);
        EXPECT_EQ(r.result, 0) << c.in;
        EXPECT_EQ(r.s.tokens, c.out) << c.in;
        EXPECT_EQ(r.s.ends, 1);
    }
}

TEST(Scan, ZeroByteFailsInsteadOfCuttingTheToken) {
    const std::string inputs[] = {std::string("ok\nab\0cd\n", 9), std::string("ok\n\0x\n", 6),
                                  std::string("ok\n# c\0d\n", 9), std::string("ok\nend\0", 7)};
    for (const std::string &in : inputs) {
        scan_run r = scan(in);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.detail, (unsigned)SCAN_DETAIL_ZERO_BYTE);
        EXPECT_EQ(r.err, EILSEQ);
        EXPECT_EQ(r.s.tokens, "ok@1.1 $@1.2");
        EXPECT_EQ(r.s.ends, 1);
    }
}

TEST(Scan, BlockBoundariesAndTheTokenLimit) {
    const unsigned L = scan_block_size();
    // The word on line 3 starts three bytes before the end of the first block.
    std::string a(10, 'a'), b(L - 17, 'b');
    scan_run r = scan(a + "\n" + b + "\n  0123456789 z\n");
    EXPECT_EQ(r.s.tokens, a + "@1.1 $@1.10 " + b + "@2.1 $@2." + std::to_string(L - 17) +
                              " 0123456789@3.3 z@3.14 $@3.14");

    std::string word(L - 1, 'w'), comment = "#" + std::string(L - 2, 'c');
    EXPECT_EQ(scan("x\n" + word + "\n" + comment + "\n").s.tokens,
              "x@1.1 $@1.1 " + word + "@2.1 $@2." + std::to_string(L - 1) + " " + comment +
                  "@3.1 $@3." + std::to_string(L - 1));
    for (const std::string &in : {"x\n" + word + "w\n", "x\n" + comment + "c\n", word + "w"}) {
        r = scan(in);
        EXPECT_EQ(r.result, -1);
        EXPECT_EQ(r.detail, (unsigned)SCAN_DETAIL_TOKEN_TOO_LONG);
        EXPECT_EQ(r.err, E2BIG);
        EXPECT_EQ(r.s.ends, 1);
        EXPECT_EQ(r.s.tokens, in[0] == 'x' ? "x@1.1 $@1.1" : "");
    }
}

TEST(Scan, CallbackResults) {
    scan_run r = scan("a b\nc\n", 1, 0);  // stop after the first token
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.s.tokens, "a@1.1");
    EXPECT_EQ(r.s.ends, 1);
    r = scan("a b\nc\n", 2, -1);
    EXPECT_EQ(r.detail, (unsigned)SCAN_DETAIL_TOKEN);
    EXPECT_EQ(r.s.ends, 1);

    seen s;
    unsigned detail = 0;
    scan_callbacks cb = {[](void *) { return -1; }, on_token, on_end, &s};
    EXPECT_EQ(scan_stream("/dev/null", -1, 0, &cb, &detail), -1);
    EXPECT_EQ(detail, (unsigned)SCAN_DETAIL_BEGIN);
    EXPECT_EQ(scan_stream("/nonexistent/x", -1, 0, &cb, &detail), -1);
    EXPECT_EQ(detail, (unsigned)SCAN_DETAIL_OPEN);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s.ends, 0) << "no on_end before the reading began";
}

TEST(Scan, PipeTimeOuts) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "a b\n", 4), 4);
    scan_run r = scan_fd(p[0], 100);  // the writer stays silent
    EXPECT_EQ(r.detail, (unsigned)SCAN_DETAIL_TIMEOUT);
    EXPECT_EQ(r.err, ETIMEDOUT);
    EXPECT_EQ(r.s.tokens, "a@1.1 b@1.3 $@1.3");
    EXPECT_EQ(r.s.ends, 1);

    // Time-out 0 waits in read instead, here for a writer that is late.
    pid_t child = fork();
    if (child == 0) {
        usleep(300 * 1000);
        _exit(write(p[1], "late\n", 5) == 5 ? 0 : 1);
    }
    close(p[1]);
    r = scan_fd(p[0], 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.s.tokens, "late@1.1 $@1.4");
    waitpid(child, nullptr, 0);
    close(p[0]);
}

}  // namespace
