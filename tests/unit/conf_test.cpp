// Record list, table check, field selection, bus IDs and the append.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "conf/conf.h"
#include "conf/scan.h"
#include "runtime/log.h"
#include "conf_test_support.h"

namespace {

struct rec_view {
    std::string text;
    unsigned line, column, field, flags;
    bool operator==(const rec_view &o) const {
        return text == o.text && line == o.line && column == o.column && field == o.field &&
               flags == o.flags;
    }
};

void PrintTo(const rec_view &r, std::ostream *os) {
    *os << "{\"" << r.text << "\" " << r.line << ":" << r.column << " field " << r.field
        << " flags 0x" << std::hex << r.flags << std::dec << "}";
}

std::vector<rec_view> records(const conf_list *list) {
    std::vector<rec_view> out;
    conf_record **prev = (conf_record **)&list->first;
    for (conf_record *r = list->first; r; r = r->next) {
        EXPECT_EQ(r->prev, prev) << "back link of " << r->text;
        EXPECT_EQ(r->size, strlen(r->text) + 1);
        prev = &r->next;
        out.push_back({r->text, r->line, r->column, r->field, r->flags});
    }
    EXPECT_EQ(list->last, prev) << "tail pointer";
    return out;
}

std::string texts(const conf_list *list) {
    std::string out;
    for (conf_record *r = list->first; r; r = r->next)
        out += std::string(out.empty() ? "" : "|") + (r->flags & REC_EOL ? "$" : r->text);
    return out;
}

class ConfTest : public ::testing::Test {
protected:
    char path_[64];
    conf_list list_ = {nullptr, &list_.first};
    conf_context ctx_ = {&list_, "t.conf", 1, 1, nullptr, {-1, -1, -1, -1}};
    unsigned detail_ = 0;

    void SetUp() override {
        strcpy(path_, "/tmp/conf_test.XXXXXX");
        int fd = mkstemp(path_);
        ASSERT_NE(fd, -1);
        close(fd);
    }
    void TearDown() override {
        unlink(path_);
        while (list_.first)
            conf_remove(&list_, list_.first);
    }

    int load(const std::string &data, int (*on_end)(void *)) {
        while (ctx_.list->first)
            conf_remove(ctx_.list, ctx_.list->first);
        FILE *f = fopen(path_, "wb");
        fwrite(data.data(), 1, data.size(), f);
        fclose(f);
        scan_callbacks cb = {conf_begin, conf_collect, on_end, &ctx_};
        return scan_stream(path_, -1, 1000, &cb, &detail_);
    }
};

TEST_F(ConfTest, CollectNumbersFieldsAndMarksLineStarts) {
    ASSERT_EQ(load("a b # c\n\n  # d\nx", nullptr), 0);
    EXPECT_EQ(records(&list_), (std::vector<rec_view>{
                                   {"a", 1, 1, 1, REC_FIRST | REC_WORD},
                                   {"b", 1, 3, 2, REC_WORD},
                                   {"# c", 1, 5, 3, REC_COMMENT},
                                   {"\n", 1, 7, 4, REC_EOL_RECORD},
                                   {"\n", 2, 0, 1, REC_FIRST | REC_EOL_RECORD},
                                   {"# d", 3, 3, 1, REC_FIRST | REC_COMMENT},
                                   {"\n", 3, 5, 2, REC_EOL_RECORD},
                                   {"x", 4, 1, 1, REC_FIRST | REC_WORD},
                                   {"\n", 4, 1, 2, REC_EOL_RECORD},
                               }));
    EXPECT_EQ(conf_collect(&ctx_, "x", 2, 5, 1, 7), -1) << "unknown class";
    EXPECT_EQ(list_.first->text[0], 'a');
}

TEST_F(ConfTest, BeginEmptiesTheListWithoutFreeing) {
    ASSERT_EQ(load("a b\n", nullptr), 0);
    conf_record *kept = list_.first;
    ASSERT_EQ(conf_begin(&ctx_), 1);
    EXPECT_EQ(list_.first, nullptr);
    EXPECT_EQ(list_.last, &list_.first);
    EXPECT_STREQ(kept->text, "a");
    // The records are still there, for whoever kept hold of them.
    conf_list other = {kept, &kept->next->next->next};
    kept->prev = &other.first;
    while (other.first)
        conf_remove(&other, other.first);
}

TEST_F(ConfTest, RemoveKeepsLinksAndTail) {
    ASSERT_EQ(load("a b c\n", nullptr), 0);
    conf_remove(&list_, list_.first->next);  // middle
    EXPECT_EQ(texts(&list_), "a|c|$");
    conf_remove(&list_, conf_last(&list_));  // tail
    EXPECT_EQ(texts(&list_), "a|c");
    conf_remove(&list_, list_.first);  // head
    EXPECT_EQ(texts(&list_), "c");
    records(&list_);
    conf_remove(&list_, list_.first);
    EXPECT_EQ(conf_last(&list_), nullptr);
    EXPECT_EQ(list_.last, &list_.first);
}

TEST_F(ConfTest, WellFormedTablesPass) {
    captured_log log;
    const char *good[] = {
        "",
        "a,/dev/sda 0000:05:00.0\n",
        "\n# only a comment\n  \t\n  a,/dev/sda\t0000:05:00.0   # trailing\n",
        "a,/dev/sda 0000:05:00.0 #x\nb,/dev/sdb 0000:06:00.0",
    };
    for (const char *t : good)
        EXPECT_EQ(load(t, hba_addr_conf_check), 0) << t;
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(ConfTest, BadWordCountsAreReportedAtTheirLineEnds) {
    captured_log log;
    EXPECT_EQ(load("one\na b\nx y z # c\n# fine\nlast", hba_addr_conf_check), -1);
    EXPECT_EQ(detail_, (unsigned)SCAN_DETAIL_END);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "t.conf(1:3): badly formed line in file(2011).\n",
                                  "t.conf(3:9): badly formed line in file(2011).\n",
                                  "t.conf(5:4): badly formed line in file(2011).\n",
                              }));
}

TEST_F(ConfTest, EveryBadByteIsReportedAtItsColumn) {
    captured_log log;
    // CR LF line ends: one report per carriage return, at its column.
    EXPECT_EQ(load("a,/dev/sda 0000:05:00.0\r\nb,/dev/s\x7f\xe9 1:2:3.4\r\n", hba_addr_conf_check), -1);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "t.conf(1:24): badly formed line in file(2010).\n",
                                  "t.conf(2:9): badly formed line in file(2010).\n",
                                  "t.conf(2:10): badly formed line in file(2010).\n",
                                  "t.conf(2:19): badly formed line in file(2010).\n",
                              }));
}

TEST_F(ConfTest, SelectKeepsTheChosenFieldsOfMatchingLines) {
    ctx_.label_filter = "disk";
    ctx_.fields[0] = 2;
    ctx_.fields[1] = 4;
    ASSERT_EQ(load("header line\ndisk p q r\n# note\nclass x\n\ndisk s t u v # c\n", conf_select), 0);
    EXPECT_EQ(records(&list_), (std::vector<rec_view>{
                                   {"p", 2, 6, 2, REC_WORD},
                                   {"r", 2, 10, 4, REC_WORD},
                                   {"s", 6, 6, 2, REC_WORD},
                                   {"u", 6, 10, 4, REC_WORD},
                               }));
}

TEST_F(ConfTest, SelectWithoutFilterTakesEachFirstWord) {
    ctx_.fields[0] = 1;
    ASSERT_EQ(load("# c\n1000:0001:* more words\n\n  8086:10d3:02 # x\n", conf_select), 0);
    EXPECT_EQ(texts(&list_), "1000:0001:*|8086:10d3:02");
}

TEST_F(ConfTest, SelectFailures) {
    captured_log log;
    ctx_.label_filter = "disk";
    ctx_.fields[0] = 2;
    ctx_.fields[1] = 4;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load("disk p q r\ndisk a b\ndisk c d e\n", conf_select), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(1c8).\n");
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"there was a fatal error(1c8).\n"}));
    EXPECT_EQ(texts(&list_), "p|r|a|disk|c|d|e|$") << "reduced as far as it got";

    // Neither the line end nor a comment stands in for a missing word.
    const char *short_lines[] = {"disk p q\n", "disk p q # c\n", "disk p q"};
    for (const char *in : short_lines) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(load(in, conf_select), -1) << in;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(1c8).\n");
    }

    int32_t empty[4] = {-1, 2, 3, 4};
    memcpy(ctx_.fields, empty, sizeof empty);
    testing::internal::CaptureStderr();
    EXPECT_EQ(load("disk p q r\n", conf_select), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(2020).\n");
    EXPECT_EQ(texts(&list_), "disk|p|q|r|$") << "nothing removed";
}

struct busid_case {
    const char *text;
    int result;
    uint16_t domain;
    uint8_t bus, dev, func;
};

TEST(GetBusid, GoodForms) {
    const busid_case cases[] = {
        {"0000:05:00.0", 0, 0, 5, 0, 0},
        {"1:2:3.4", 0, 1, 2, 3, 4},
        {"12345:ff:1F.7", 0, 0x2345, 0xff, 0x1f, 7},
        {"::1::2:3.4", 0, 1, 2, 3, 4},   // runs of separators count as one
        {"1:2:3..4", -1, 0, 0, 0, 0},    // but the function is the whole rest
        {"1:2:3.4.5", -1, 0, 0, 0, 0},   // the rest after the first "." is one part
        {"0:123:4.5", 0, 0, 0x23, 4, 5},
        {"0:1:2.fffffffff", 0, 0, 1, 2, 0xff},  // too big for 32 bits: all ones
    };
    for (const busid_case &c : cases) {
        uint16_t domain = 0xeeee;
        uint8_t bus = 0xee, dev = 0xee, func = 0xee;
        testing::internal::CaptureStderr();
        EXPECT_EQ(get_busid(c.text, 32, &domain, &bus, &dev, &func), c.result) << c.text;
        testing::internal::GetCapturedStderr();
        if (c.result == 0) {
            EXPECT_EQ(domain, c.domain) << c.text;
            EXPECT_EQ(bus, c.bus) << c.text;
            EXPECT_EQ(dev, c.dev) << c.text;
            EXPECT_EQ(func, c.func) << c.text;
        }
    }
    uint8_t bus = 0;
    EXPECT_EQ(get_busid("a:b:c.d", 8, nullptr, &bus, nullptr, nullptr), 0);
    EXPECT_EQ(bus, 0xb);
}

TEST(GetBusid, FailuresReportTheirPlace) {
    captured_log log;
    struct {
        const char *text;
        const char *err;
        const char *last_log;
    } const cases[] = {
        {"0000:05:00", "2035", "0000.\n"},    // no function
        {"0000:05:0g.0", "2038", "0000.\n"},  // not hexadecimal
        {"", "2032", ".\n"},
        {"0x1:2:3.4", "2036", "0x1.\n"},
        {"1:2:3.4 ", "2039", "1.\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(get_busid(c.text, 32, nullptr, nullptr, nullptr, nullptr), -1) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("ERROR: failed to get a busID(") + c.err +
                      ").\nERROR: please refer to the manual for more information.\n");
        EXPECT_EQ(log.messages().back(), c.last_log) << c.text;
    }
    // No terminating zero within the bytes that may be looked at.
    char unterminated[4] = {'1', ':', '2', ':'};
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_busid(unterminated, 4, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: failed to get a busID(2030).\n"
              "ERROR: please refer to the manual for more information.\n");
    std::vector<std::string> m = log.messages();
    ASSERT_GE(m.size(), 3u);
    EXPECT_EQ(m[m.size() - 3], "failed to get a busID(2030).\n");
    EXPECT_EQ(m[m.size() - 2], "please refer to the manual for more information.\n");
    // This message has no line feed of its own.
    EXPECT_EQ(m.back(), "bus_id_len 4");
}

class BusidAdd : public ConfTest {
protected:
    void SetUp() override {
        ConfTest::SetUp();
        saved_ = g_hba_conf;
        g_hba_conf.first = nullptr;
        g_hba_conf.last = &g_hba_conf.first;
        ctx_.list = &g_hba_conf;
    }
    void TearDown() override {
        while (g_hba_conf.first)
            conf_remove(&g_hba_conf, g_hba_conf.first);
        g_hba_conf = saved_;
        ConfTest::TearDown();
    }
    conf_list saved_;
};

TEST_F(BusidAdd, AppendsOneLineAfterTheLastRecord) {
    ASSERT_EQ(parse_hba_addr_conf_busid_add("/dev/sda1,/dev/sda", "0000:05:00.0", 20), 1);
    EXPECT_EQ(records(&g_hba_conf), (std::vector<rec_view>{
                                        {"/dev/sda1,/dev/sda", 1, 1, 1, REC_FIRST | REC_WORD},
                                        {"0000:05:00.0", 1, 20, 2, REC_WORD},
                                        {"\n", 1, 31, 3, REC_EOL_RECORD},
                                    }));

    // The line number follows the last record, blank and comment lines too.
    ASSERT_EQ(load("a,/dev/sda 0:1:2.3\n\n# c\n\n\n\n# last", hba_addr_conf_check), 0);
    ASSERT_EQ(parse_hba_addr_conf_busid_add("b,/dev/sdb,tovrd", "0:1:2.4", 32), 1);
    std::vector<rec_view> r = records(&g_hba_conf);
    ASSERT_EQ(r.size(), 14u);
    EXPECT_EQ(r[10].line, 7u);
    EXPECT_EQ(r[11], (rec_view{"b,/dev/sdb,tovrd", 8, 1, 1, REC_FIRST | REC_WORD}));
    EXPECT_EQ(r[12], (rec_view{"0:1:2.4", 8, 18, 2, REC_WORD}));
    EXPECT_EQ(r[13], (rec_view{"\n", 8, 24, 3, REC_EOL_RECORD}));
}

TEST_F(BusidAdd, RefusesWhatCouldNotBeReadBack) {
    captured_log log;
    ASSERT_EQ(load("a,/dev/sda 0:1:2.3\n", hba_addr_conf_check), 0);
    const std::string before = texts(&g_hba_conf);

    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_hba_addr_conf_busid_add("b,/dev/sdb", "0:1:2", 32), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.messages().back(), "callee parse_hba_addr_conf_busid_add(8256).\n");

    const char *bad_entries[] = {"", "my disk,/dev/sdb", "a#b,/dev/sdb", "a,/dev/sd\tb",
                                 "a,/dev/\xe9"};
    for (const char *e : bad_entries) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_hba_addr_conf_busid_add(e, "0:1:2.3", 32), -1) << e;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(2041).\n");
        EXPECT_EQ(log.messages().back(), "callee parse_hba_addr_conf_busid_add(8257).\n");
    }
    // Words the reader could not take back in are refused as well.
    const unsigned L = scan_block_size();
    std::string longest = "a," + std::string(L - 3, 'x');
    std::string too_long = longest + "x";
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_hba_addr_conf_busid_add(too_long.c_str(), "0:1:2.3", 32), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(2045).\n");
    EXPECT_EQ(log.messages().back(), "callee parse_hba_addr_conf_busid_add(8261).\n");
    std::string long_busid = std::string(L - 6, '0') + ":1:2.3";
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_hba_addr_conf_busid_add("a,/dev/sda", long_busid.c_str(), L + 1), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(texts(&g_hba_conf), before);
    records(&g_hba_conf);

    ASSERT_EQ(parse_hba_addr_conf_busid_add(longest.c_str(), "0:1:2.3", 32), 1);
    EXPECT_EQ(conf_last(&g_hba_conf)->line, 2u);
}

}  // namespace
