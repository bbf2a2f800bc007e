// Line stream reader: tokens across block boundaries, the token limit and
// the zero byte. Columns and line ends are shown by the sandbox's table reports.
#include <errno.h>
#include <gtest/gtest.h>

#include "conf/scan.h"
#include "support.h"

namespace {

const unsigned L = scan_block_size();
const std::string word(L - 1, 'w'), comment = "#" + std::string(L - 2, 'c');

struct scan_case {
    std::string in, tokens;  // every token as "text@line.column", a line end as "$"
    unsigned detail;         // 0: read to the end
    int err;
};

int on_token(void *c, const char *text, unsigned, unsigned line, unsigned column, int cls) {
    *(std::string *)c += std::string(cls == TOKEN_EOL ? "$" : text) + "@" + std::to_string(line) +
                         "." + std::to_string(column) + " ";
    return 1;
}

class Scan : public ::testing::TestWithParam<scan_case> {};

TEST_P(Scan, TokensOrTheFailingStep) {
    const scan_case &c = GetParam();
    temp_file f(c.in);
    std::string tokens;
    scan_callbacks cb = {nullptr, on_token, nullptr, &tokens};
    unsigned detail = 0;
    errno = 0;
    EXPECT_EQ(scan_stream(f.path, -1, 1000, &cb, &detail), c.detail ? -1 : 0);
    EXPECT_EQ(detail, c.detail);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(tokens, c.tokens + " ");
}

INSTANTIATE_TEST_SUITE_P(Rows, Scan, ::testing::Values(
    // The word on line 3 starts three bytes before the end of the first block.
    scan_case{"a\n" + std::string(L - 8, 'b') + "\n  0123456789 z\n", "a@1.1 $@1.1 " +
              std::string(L - 8, 'b') + "@2.1 $@2." + std::to_string(L - 8) +
              " 0123456789@3.3 z@3.14 $@3.14", 0, 0},
    scan_case{word + "\n" + comment, word + "@1.1 $@1." + std::to_string(L - 1) + " " +
              comment + "@2.1 $@2." + std::to_string(L - 1), 0, 0},
    scan_case{"x\n" + word + "w\n", "x@1.1 $@1.1", SCAN_DETAIL_TOKEN_TOO_LONG, E2BIG},
    scan_case{"x\n" + comment + "c", "x@1.1 $@1.1", SCAN_DETAIL_TOKEN_TOO_LONG, E2BIG},
    scan_case{std::string("ok\nab\0cd\n", 9), "ok@1.1 $@1.2", SCAN_DETAIL_ZERO_BYTE, EILSEQ},
    scan_case{std::string("ok\n# c\0d\n", 9), "ok@1.1 $@1.2", SCAN_DETAIL_ZERO_BYTE, EILSEQ},
    scan_case{std::string("ok\nend\0", 7), "ok@1.1 $@1.2", SCAN_DETAIL_ZERO_BYTE, EILSEQ}));

}  // namespace
