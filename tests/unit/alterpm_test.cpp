// The power-management alternative list: item parsing with its colon rules
// and reports, and reading whole files through the line reader.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "conf/conf.h"
#include "pci/alterpm.h"
#include "runtime/log.h"

namespace {

// A temporary log, so the tests see the report lines; the message of each
// record is what follows the "<sec.usec>" stamp.
class AlterPm : public ::testing::Test {
protected:
    std::string dir;
    std::string log_path;
    log_handle *saved_log = nullptr;

    void SetUp() override {
        char tmpl[] = "/tmp/alterpm-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        log_path = dir + "/user.log";
        unsigned detail = 0;
        saved_log = g_log;
        g_log = log_open("tarnex", log_path.c_str(), 0x100000, 4, &detail);
        ASSERT_NE(g_log, nullptr) << detail;
    }
    void TearDown() override {
        log_close(g_log);
        g_log = saved_log;
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::vector<std::string> log_messages() {
        std::vector<std::string> out;
        FILE *f = fopen(log_path.c_str(), "r");
        if (!f)
            return out;
        char line[4096];
        while (fgets(line, sizeof line, f)) {
            const char *stamp = strstr(line, ": <");
            const char *msg = stamp ? strchr(stamp, '>') : nullptr;
            out.push_back(msg ? msg + 1 : line);
        }
        fclose(f);
        return out;
    }

    std::string write_file(const char *name, const char *text) {
        std::string p = dir + "/" + name;
        FILE *f = fopen(p.c_str(), "w");
        EXPECT_NE(f, nullptr);
        fputs(text, f);
        fclose(f);
        return p;
    }
};

struct item_record {
    conf_record rec;
    std::string text;
    explicit item_record(const char *t) : rec(), text(t) {
        rec.text = &text[0];
        rec.size = (uint32_t)text.size() + 1;
        rec.line = 3;
        rec.column = 2;
        rec.field = 1;
        rec.flags = REC_WORD | REC_FIRST;
    }
};

struct parsed {
    int result;
    uint16_t vendor;
    uint16_t device;
    uint8_t revision;
    uint8_t wildcard;
};

parsed parse(const char *text) {
    item_record r(text);
    parsed p = {0, 0xeeee, 0xeeee, 0xee, 0xee};
    p.result = parse_d0_item(&r.rec, &p.vendor, &p.device, &p.revision, &p.wildcard);
    return p;
}

// Result and the standard error text of one parse.
std::string parse_stderr(const char *text, int *result) {
    item_record r(text);
    testing::internal::CaptureStderr();
    *result = parse_d0_item(&r.rec, nullptr, nullptr, nullptr, nullptr);
    return testing::internal::GetCapturedStderr();
}

TEST_F(AlterPm, ExactItemGivesItsThreeValues) {
    parsed p = parse("1000:0030:01");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.vendor, 0x1000);
    EXPECT_EQ(p.device, 0x0030);
    EXPECT_EQ(p.revision, 0x01);
    EXPECT_EQ(p.wildcard, 0);
}

TEST_F(AlterPm, WildcardRevisionsAndDigitCase) {
    parsed p = parse("10DF:fe00:*");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.vendor, 0x10df);
    EXPECT_EQ(p.device, 0xfe00);
    EXPECT_EQ(p.revision, 0x2a);
    EXPECT_EQ(p.wildcard, 1);
    // Whatever follows the "*" is not looked at, colons included.
    p = parse("10df:FE00:*any:thing");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.wildcard, 1);
    EXPECT_EQ(p.revision, 0x2a);
    p = parse("aBcD:EfAb:fF");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.vendor, 0xabcd);
    EXPECT_EQ(p.device, 0xefab);
    EXPECT_EQ(p.revision, 0xff);
}

TEST_F(AlterPm, LeadingColonsAndColonRunsBeforeDeviceCountAsNothing) {
    parsed p = parse(":::1000::::0030:2");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.vendor, 0x1000);
    EXPECT_EQ(p.device, 0x0030);
    EXPECT_EQ(p.revision, 2);
}

TEST_F(AlterPm, WideNumbersKeepTheirLowBits) {
    parsed p = parse("11000:20030:1ff");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.vendor, 0x1000);
    EXPECT_EQ(p.device, 0x0030);
    EXPECT_EQ(p.revision, 0xff);
    // Beyond 32 bits the conversion saturates: all ones, on every host.
    p = parse("123456789:0000000000001:0");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.vendor, 0xffff);
    EXPECT_EQ(p.device, 0x0001);
}

TEST_F(AlterPm, MissingPartsFailWith0xbd7AndShowTheCopyUpToTheFirstColon) {
    const char *cases[] = {"1000", "1000:0030", "1000:0030:", ":::", "1000:::"};
    for (const char *c : cases) {
        int result = 0;
        EXPECT_EQ(parse_stderr(c, &result), "ERROR: there was a fatal error(bd7).\n") << c;
        EXPECT_EQ(result, -1) << c;
    }
    std::vector<std::string> log = log_messages();
    ASSERT_EQ(log.size(), 10u);
    EXPECT_EQ(log[0], "there was a fatal error(bd7).\n");
    EXPECT_EQ(log[1], "1000\n");
    EXPECT_EQ(log[3], "1000\n");  // split at the first colon
    EXPECT_EQ(log[5], "1000\n");
    EXPECT_EQ(log[7], ":::\n");   // nothing was split
    EXPECT_EQ(log[9], "1000\n");
}

TEST_F(AlterPm, NonHexadecimalPartsFailWith0xbe4) {
    const char *cases[] = {
        "0x1000:0030:1",   // prefix
        "1000:0x30:1",
        "1000:0030:0x1",
        "+1000:0030:1",    // sign
        "1000:-30:1",
        "1000:0030:1:2",   // third colon inside an exact revision
        "1000:0030::1",    // revision starts with a colon
        "10g0:0030:1",
        "1000:0030:1\r",   // carriage return of a CR LF file
        "zz",              // vendor checked before the device is looked for
    };
    for (const char *c : cases) {
        int result = 0;
        EXPECT_EQ(parse_stderr(c, &result), "ERROR: there was a fatal error(be4).\n") << c;
        EXPECT_EQ(result, -1) << c;
    }
    std::vector<std::string> log = log_messages();
    ASSERT_EQ(log.size(), 20u);
    EXPECT_EQ(log[1], "0x1000\n");
    EXPECT_EQ(log[19], "zz\n");
}

TEST_F(AlterPm, FailedItemIsNotMarkedParsed) {
    item_record r("1000:0030");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_d0_item(&r.rec, nullptr, nullptr, nullptr, nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.rec.flags & REC_PARSED, 0u);
    EXPECT_STREQ(r.rec.text, "1000:0030");  // the record's text is not split
}

TEST_F(AlterPm, TextWithoutTerminatorFailsWith0xbc6) {
    item_record r("1000:0030:1");
    r.rec.size = 5;  // no NUL within the first five bytes
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_d0_item(&r.rec, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(bc6).\n");
    std::vector<std::string> log = log_messages();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "length 5 line 3 column 2\n");
}

TEST_F(AlterPm, SecondCallReturnsTheKeptValuesAndFillsOnlyGivenOutputs) {
    item_record r("1000:0030:*");
    ASSERT_EQ(parse_d0_item(&r.rec, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(r.rec.flags, (uint32_t)(REC_WORD | REC_FIRST | REC_PARSED));
    // Changing the text no longer matters: the kept values answer.
    r.text = "junk";
    r.rec.text = &r.text[0];
    uint16_t vendor = 0, device = 0;
    uint8_t revision = 0, wildcard = 0;
    ASSERT_EQ(parse_d0_item(&r.rec, &vendor, nullptr, nullptr, &wildcard), 0);
    EXPECT_EQ(vendor, 0x1000);
    EXPECT_EQ(device, 0);
    EXPECT_EQ(wildcard, 1);
    ASSERT_EQ(parse_d0_item(&r.rec, nullptr, &device, &revision, nullptr), 0);
    EXPECT_EQ(device, 0x0030);
    EXPECT_EQ(revision, 0x2a);
}

// Whole files, through the line reader and the collecting callbacks.
std::vector<std::string> list_texts() {
    std::vector<std::string> out;
    for (conf_record *r = g_alterpm_conf.first; r; r = r->next)
        out.push_back(r->text);
    return out;
}

TEST_F(AlterPm, FileKeepsTheFirstWordOfEachLineParsed) {
    std::string p = write_file("alterpm.conf",
                               "# models that need the alternative handling\n"
                               "\n"
                               "1000:0030:01\n"
                               "  \t10df:FE00:*   # every revision\n"
                               "8086:1234:2 9999:9999:9 ignored\n"
                               "   # indented comment\n"
                               "abcd:ef01:*x#tail\n");
    ASSERT_EQ(parse_d0_conf_file(p.c_str()), 0);
    std::vector<std::string> want = {"1000:0030:01", "10df:FE00:*", "8086:1234:2", "abcd:ef01:*x"};
    EXPECT_EQ(list_texts(), want);
    for (conf_record *r = g_alterpm_conf.first; r; r = r->next)
        EXPECT_TRUE(r->flags & REC_PARSED) << r->text;
    conf_record *second = g_alterpm_conf.first->next;
    uint16_t vendor = 0;
    uint8_t wildcard = 0;
    ASSERT_EQ(parse_d0_item(second, &vendor, nullptr, nullptr, &wildcard), 0);
    EXPECT_EQ(vendor, 0x10df);
    EXPECT_EQ(wildcard, 1);
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(AlterPm, EmptyAndCommentOnlyFilesGiveAnEmptyList) {
    std::string empty = write_file("empty.conf", "");
    ASSERT_EQ(parse_d0_conf_file(empty.c_str()), 0);
    EXPECT_EQ(g_alterpm_conf.first, nullptr);
    std::string comments = write_file("comments.conf", "# nothing\n\n   \t\n#1000:0030:1\n");
    ASSERT_EQ(parse_d0_conf_file(comments.c_str()), 0);
    EXPECT_EQ(g_alterpm_conf.first, nullptr);
    EXPECT_EQ(g_alterpm_conf.last, &g_alterpm_conf.first);
}

TEST_F(AlterPm, ANewReadReplacesTheOldList) {
    std::string one = write_file("one.conf", "1000:0030:1\n2000:0040:2\n");
    std::string two = write_file("two.conf", "3000:0050:3\n");
    ASSERT_EQ(parse_d0_conf_file(one.c_str()), 0);
    ASSERT_EQ(parse_d0_conf_file(two.c_str()), 0);
    EXPECT_EQ(list_texts(), std::vector<std::string>{"3000:0050:3"});
}

TEST_F(AlterPm, OneBadItemFailsTheWholeFileWithTheCalleeLine) {
    std::string p = write_file("bad.conf", "1000:0030:1\n1000:0030\n2000:0040:*\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_d0_conf_file(p.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(bd7).\n");
    std::vector<std::string> log = log_messages();
    std::vector<std::string> want = {"there was a fatal error(bd7).\n", "1000\n",
                                     "callee parse_d0_conf(3139).\n"};
    EXPECT_EQ(log, want);
}

TEST_F(AlterPm, MissingFileFailsWithTheReadersDetailAt0xc3b) {
    std::string p = dir + "/absent.conf";
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_d0_conf_file(p.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    std::string want = p + ": failed to access file(5:c3b).\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: " + want);
    EXPECT_EQ(log_messages(), std::vector<std::string>{want});
}

}  // namespace
