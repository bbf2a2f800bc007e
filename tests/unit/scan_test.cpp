// Line stream reader: tokens, columns, block boundaries, time-outs and the
// detail code of every failing step.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "conf/scan.h"

namespace {

struct token {
    std::string text;
    unsigned size;
    unsigned line;
    unsigned column;
    int cls;
    bool operator==(const token &o) const {
        return text == o.text && size == o.size && line == o.line && column == o.column &&
               cls == o.cls;
    }
};

void PrintTo(const token &t, std::ostream *os) {
    *os << "{\"" << t.text << "\" size " << t.size << " at " << t.line << ":" << t.column
        << " class " << t.cls << "}";
}

token word(const std::string &s, unsigned line, unsigned column) {
    return {s, (unsigned)s.size() + 1, line, column, TOKEN_WORD};
}
token comment(const std::string &s, unsigned line, unsigned column) {
    return {s, (unsigned)s.size() + 1, line, column, TOKEN_COMMENT};
}
token eol(unsigned line, unsigned column) {
    return {"\n", 2, line, column, TOKEN_EOL};
}

// Records every callback; on_token answers with the scripted results.
struct recorder {
    std::vector<token> tokens;
    int begins = 0;
    int ends = 0;
    int begin_result = 1;
    int end_result = 1;
    int stop_after = -1;  // on_token returns 0 once this many tokens arrived
    int fail_after = -1;  // on_token returns -1 once this many tokens arrived
};

int rec_begin(void *c) {
    recorder *r = (recorder *)c;
    r->begins++;
    if (r->begin_result == -1)
        errno = EPERM;
    return r->begin_result;
}

int rec_token(void *c, const char *text, unsigned size, unsigned line, unsigned column, int cls) {
    recorder *r = (recorder *)c;
    EXPECT_EQ(strlen(text) + 1, size);
    r->tokens.push_back({text, size, line, column, cls});
    if ((int)r->tokens.size() == r->fail_after) {
        errno = EXDEV;
        return -1;
    }
    return (int)r->tokens.size() == r->stop_after ? 0 : 1;
}

int rec_end(void *c) {
    recorder *r = (recorder *)c;
    r->ends++;
    if (r->end_result == -1)
        errno = EMLINK;
    return r->end_result;
}

class ScanTest : public ::testing::Test {
protected:
    char path_[64];
    recorder rec_;
    scan_callbacks cb_ = {rec_begin, rec_token, rec_end, &rec_};
    unsigned detail_ = 0xdead;

    void SetUp() override {
        strcpy(path_, "/tmp/scan_test.XXXXXX");
        int fd = mkstemp(path_);
        ASSERT_NE(fd, -1);
        close(fd);
    }
    void TearDown() override { unlink(path_); }

    void put(const std::string &data) {
        FILE *f = fopen(path_, "wb");
        ASSERT_TRUE(f);
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
    }
    // Reads data from a file through the reader.
    int scan(const std::string &data, int32_t timeout = 1000) {
        put(data);
        return scan_stream(path_, -1, timeout, &cb_, &detail_);
    }
};

TEST_F(ScanTest, WordsCommentsAndLineEnds) {
    ASSERT_EQ(scan("ab cd\n"), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("ab", 1, 1), word("cd", 1, 4), eol(1, 5)}));

    rec_.tokens.clear();
    ASSERT_EQ(scan("\n"), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{eol(1, 0)}));

    rec_.tokens.clear();
    ASSERT_EQ(scan("  x\t#note # more\n"), 0);
    EXPECT_EQ(rec_.tokens,
              (std::vector<token>{word("x", 1, 3), comment("#note # more", 1, 5), eol(1, 16)}));

    // A "#" right after a word ends the word and starts the comment.
    rec_.tokens.clear();
    ASSERT_EQ(scan("ab#c\n"), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("ab", 1, 1), comment("#c", 1, 3), eol(1, 4)}));

    // Carriage return and form feed are word bytes; a tab counts one column.
    rec_.tokens.clear();
    ASSERT_EQ(scan("a\tb\r\n\f\n"), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("a", 1, 1), word("b\r", 1, 3), eol(1, 4),
                                               word("\f", 2, 1), eol(2, 1)}));
    EXPECT_EQ(rec_.begins, 5);
    EXPECT_EQ(rec_.ends, 5);
    EXPECT_EQ(detail_, 0xdeadu) << "success leaves the detail code alone";
}

TEST_F(ScanTest, LinesAreNumberedAndColumnsStartAgain) {
    ASSERT_EQ(scan("a\n\n  # c\n\tb c\n"), 0);
    EXPECT_EQ(rec_.tokens,
              (std::vector<token>{word("a", 1, 1), eol(1, 1), eol(2, 0), comment("# c", 3, 3),
                                  eol(3, 5), word("b", 4, 2), word("c", 4, 4), eol(4, 4)}));
}

TEST_F(ScanTest, EmptyInputCallsBeginAndEndOnly) {
    ASSERT_EQ(scan(""), 0);
    EXPECT_TRUE(rec_.tokens.empty());
    EXPECT_EQ(rec_.begins, 1);
    EXPECT_EQ(rec_.ends, 1);
}

TEST_F(ScanTest, LastLineWithoutLineFeedIsCompleted) {
    // Neither the last word nor the comment is lost, and the line is closed
    // so that a line appended later starts on a line of its own.
    ASSERT_EQ(scan("a b\nc d"), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("a", 1, 1), word("b", 1, 3), eol(1, 3),
                                               word("c", 2, 1), word("d", 2, 3), eol(2, 3)}));
    rec_.tokens.clear();
    ASSERT_EQ(scan("c d  "), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("c", 1, 1), word("d", 1, 3), eol(1, 5)}));
    rec_.tokens.clear();
    ASSERT_EQ(scan("x # tail"), 0);
    EXPECT_EQ(rec_.tokens,
              (std::vector<token>{word("x", 1, 1), comment("# tail", 1, 3), eol(1, 8)}));
    // Blanks alone after the last line end make no line.
    rec_.tokens.clear();
    ASSERT_EQ(scan("x\n \t "), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("x", 1, 1), eol(1, 1)}));
}

TEST_F(ScanTest, ZeroByteFailsInsteadOfCuttingTheToken) {
    const std::string inputs[] = {std::string("ok\nab\0cd ef\n", 12), std::string("ok\n\0x\n", 6),
                                  std::string("ok\n# c\0mment\n", 13),
                                  std::string("ok\nend\0", 7)};
    for (const std::string &in : inputs) {
        rec_ = recorder();
        errno = 0;
        EXPECT_EQ(scan(in), -1);
        EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_ZERO_BYTE);
        EXPECT_EQ(errno, EILSEQ);
        EXPECT_EQ(rec_.ends, 1);
        // Only the complete first line came through.
        EXPECT_EQ(rec_.tokens, (std::vector<token>{word("ok", 1, 1), eol(1, 2)}));
    }
}

TEST_F(ScanTest, WordAcrossBlockBoundaryIsDeliveredOnceWithItsFirstColumn) {
    const unsigned L = scan_block_size();
    // The third line's word starts 3 bytes before the end of the first block.
    std::string line1(10, 'a'), line2(L - 10 - 2 - 5, 'b');
    std::string straddle = "0123456789";
    std::string data = line1 + "\n" + line2 + "\n  " + straddle + " z\n";
    ASSERT_EQ(data.find(straddle), (size_t)L - 3);
    ASSERT_EQ(scan(data), 0);
    EXPECT_EQ(rec_.tokens,
              (std::vector<token>{word(line1, 1, 1), eol(1, 10), word(line2, 2, 1),
                                  eol(2, (unsigned)line2.size()), word(straddle, 3, 3),
                                  word("z", 3, 14), eol(3, 14)}));
}

TEST_F(ScanTest, TokenOfLMinusOneBytesFitsAndOfLBytesFails) {
    const unsigned L = scan_block_size();
    ASSERT_GE(L, 2u);
    std::string longest(L - 1, 'w');
    ASSERT_EQ(scan("x\n" + longest + "\n"), 0);
    ASSERT_EQ(rec_.tokens.size(), 4u);
    EXPECT_EQ(rec_.tokens[2], word(longest, 2, 1));
    // The same for a comment, which crosses the block boundary here.
    rec_.tokens.clear();
    std::string longest_comment = "#" + std::string(L - 2, 'c');
    ASSERT_EQ(scan("x\n" + longest_comment + "\n"), 0);
    EXPECT_EQ(rec_.tokens[2], comment(longest_comment, 2, 1));

    const std::string too_long[] = {"x\n" + std::string(L, 'w') + "\n",
                                    "x\n#" + std::string(L - 1, 'c') + "\n",
                                    std::string(L, 'w')};
    for (const std::string &in : too_long) {
        rec_ = recorder();
        errno = 0;
        EXPECT_EQ(scan(in), -1);
        EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_TOKEN_TOO_LONG);
        EXPECT_EQ(errno, E2BIG);
        EXPECT_EQ(rec_.ends, 1);
        for (const token &t : rec_.tokens)
            EXPECT_LT(t.text.size(), (size_t)L);
    }
}

// The splitter as a plain byte-at-a-time reference, over the whole input.
std::vector<token> reference_tokens(const std::string &in) {
    std::vector<token> out;
    unsigned line = 1, col = 1;
    size_t i = 0;
    bool on_line = false;
    while (i < in.size()) {
        char c = in[i];
        if (c == ' ' || c == '\t') {
            i++;
            col++;
        } else if (c == '\n') {
            out.push_back(eol(line, col - 1));
            on_line = false;
            i++;
            line++;
            col = 1;
        } else {
            size_t j = i + 1;
            if (c == '#')
                while (j < in.size() && in[j] != '\n')
                    j++;
            else
                while (j < in.size() && !strchr(" \t\n#", in[j]))
                    j++;
            std::string t = in.substr(i, j - i);
            out.push_back(c == '#' ? comment(t, line, col) : word(t, line, col));
            on_line = true;
            col += (unsigned)(j - i);
            i = j;
        }
    }
    if (on_line)
        out.push_back(eol(line, col - 1));
    return out;
}

TEST_F(ScanTest, RandomInputsMatchTheReferenceSplitter) {
    const unsigned L = scan_block_size();
    const char alphabet[] = "ab \t\n#\r";
    unsigned seed = 12345;
    for (int round = 0; round < 80; round++) {
        std::string in;
        size_t len = rand_r(&seed) % (3 * L + 2);
        // Long runs of one byte make tokens that reach into the next block.
        while (in.size() < len) {
            char c = alphabet[rand_r(&seed) % (sizeof alphabet - 1)];
            size_t run = rand_r(&seed) % 4 == 0 ? rand_r(&seed) % (L / 2) : 1;
            in.append(run, c);
        }
        in.resize(len);
        // Up to a token that is too long, the same tokens; then the failure.
        std::vector<token> expected = reference_tokens(in);
        int expected_result = 0;
        for (size_t t = 0; t < expected.size(); t++) {
            if (expected[t].text.size() >= L) {
                expected.resize(t);
                expected_result = -1;
                break;
            }
        }
        rec_.tokens.clear();
        ASSERT_EQ(scan(in), expected_result) << "round " << round << " detail " << detail_;
        if (expected_result == -1) {
            ASSERT_EQ(detail_, (unsigned)SCAN_DETAIL_TOKEN_TOO_LONG);
        }
        ASSERT_EQ(rec_.tokens, expected) << "round " << round;
    }
}

TEST_F(ScanTest, OnTokenResultsStopOrFail) {
    rec_.stop_after = 1;
    ASSERT_EQ(scan("a b\nc\n"), 0);
    EXPECT_EQ(rec_.tokens.size(), 1u);
    EXPECT_EQ(rec_.ends, 1);

    rec_ = recorder();
    rec_.fail_after = 2;
    EXPECT_EQ(scan("a b\nc\n"), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_TOKEN);
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(rec_.tokens.size(), 2u);
    EXPECT_EQ(rec_.ends, 1);

    // A stop on the line end that a missing line feed supplies is a stop too.
    rec_ = recorder();
    rec_.stop_after = 2;
    ASSERT_EQ(scan("a"), 0);
    EXPECT_EQ(rec_.tokens, (std::vector<token>{word("a", 1, 1), eol(1, 1)}));
}

TEST_F(ScanTest, BeginAndEndFailures) {
    rec_.begin_result = -1;
    EXPECT_EQ(scan("a\n"), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_BEGIN);
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(rec_.tokens.empty());
    EXPECT_EQ(rec_.ends, 0);

    rec_ = recorder();
    rec_.end_result = -1;
    EXPECT_EQ(scan("a\n"), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_END);
    EXPECT_EQ(errno, EMLINK);
    EXPECT_EQ(rec_.ends, 1);
}

TEST_F(ScanTest, ArgumentAndOpenFailuresCallNothing) {
    scan_callbacks no_token = {rec_begin, nullptr, rec_end, &rec_};
    EXPECT_EQ(scan_stream(path_, -1, 0, nullptr, &detail_), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_NO_CALLBACK);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(scan_stream(path_, -1, 0, &no_token, &detail_), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_NO_CALLBACK);

    EXPECT_EQ(scan_stream("/nonexistent/scan_test", -1, 0, &cb_, &detail_), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_OPEN);
    EXPECT_EQ(errno, ENOENT);

    EXPECT_EQ(scan_stream(nullptr, -1, 0, &cb_, &detail_), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_BAD_FD);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(scan_stream(nullptr, -2, 0, &cb_, nullptr), -1) << "no detail pointer is fine";

    EXPECT_EQ(rec_.begins + rec_.ends, 0);
    EXPECT_TRUE(rec_.tokens.empty());
}

TEST_F(ScanTest, ReadFailureAndErrnoOnSuccess) {
    int dir = open("/tmp", O_RDONLY | O_DIRECTORY);
    ASSERT_NE(dir, -1);
    EXPECT_EQ(scan_stream(nullptr, dir, 1000, &cb_, &detail_), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_READ);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(rec_.ends, 1);
    EXPECT_NE(fcntl(dir, F_GETFD), -1) << "a caller's descriptor stays open";
    close(dir);

    put("a\n");
    errno = ERANGE;
    EXPECT_EQ(scan_stream(path_, -1, 1000, &cb_, &detail_), 0);
    EXPECT_EQ(errno, ERANGE);
}

TEST(ScanPipe, SilentPipeTimesOutAfterOnEnd) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "a b\n", 4), 4);
    recorder rec;
    scan_callbacks cb = {rec_begin, rec_token, rec_end, &rec};
    unsigned detail = 0;
    EXPECT_EQ(scan_stream(nullptr, p[0], 100, &cb, &detail), -1);
    EXPECT_EQ(detail, (unsigned)SCAN_DETAIL_TIMEOUT);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(rec.tokens.size(), 3u) << "what came before the silence was delivered";
    EXPECT_EQ(rec.ends, 1);
    close(p[0]);
    close(p[1]);
}

TEST(ScanPipe, TimeOutZeroWaitsInRead) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        close(p[0]);
        usleep(300 * 1000);
        _exit(write(p[1], "late word\n", 10) == 10 ? 0 : 1);
    }
    close(p[1]);
    recorder rec;
    scan_callbacks cb = {rec_begin, rec_token, rec_end, &rec};
    unsigned detail = 0;
    struct timeval t0, t1;
    gettimeofday(&t0, nullptr);
    EXPECT_EQ(scan_stream(nullptr, p[0], 0, &cb, &detail), 0) << detail;
    gettimeofday(&t1, nullptr);
    long waited_ms = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_usec - t0.tv_usec) / 1000;
    EXPECT_GE(waited_ms, 250);
    EXPECT_EQ(rec.tokens, (std::vector<token>{word("late", 1, 1), word("word", 1, 6), eol(1, 9)}));
    int status;
    waitpid(child, &status, 0);
    close(p[0]);
}

void on_alarm(int) {}

TEST(ScanPipe, InterruptedWaitIsAPollFailure) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    struct sigaction sa = {}, old_sa;
    sa.sa_handler = on_alarm;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old_sa), 0);
    struct itimerval it = {{0, 0}, {0, 100 * 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &it, nullptr), 0);
    recorder rec;
    scan_callbacks cb = {rec_begin, rec_token, rec_end, &rec};
    unsigned detail = 0;
    EXPECT_EQ(scan_stream(nullptr, p[0], 10000, &cb, &detail), -1);
    EXPECT_EQ(detail, (unsigned)SCAN_DETAIL_POLL);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(rec.ends, 1);
    sigaction(SIGALRM, &old_sa, nullptr);
    close(p[0]);
    close(p[1]);
}

}  // namespace
