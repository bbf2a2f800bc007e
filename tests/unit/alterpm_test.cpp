// Items of the alternative list: the colon rules, the conversions and the
// reports of each failure. Whole files are tested in the sandbox
// (tests/sandbox/test_pci_d0.py).
#include <gtest/gtest.h>

#include <string>

#include "conf_test_support.h"
#include "pci/alterpm.h"

namespace {

struct item_case {
    const char *text;
    unsigned loc;         // 0: parses
    uint16_t vendor;      // when it parses
    uint16_t device;
    uint8_t revision;
    uint8_t wildcard;
    const char *logged;   // when it fails: the working copy in the log
};

// Wildcards, upper case and leading colons of whole files are shown in the
// sandbox; here the conversions and every failure.
const item_case cases[] = {
    {"11000:20030:1ff", 0, 0x1000, 0x0030, 0xff, 0, nullptr},        // low bits kept
    {"123456789:0000000000001:0", 0, 0xffff, 0x0001, 0, 0, nullptr},  // beyond 32 bits
    {"aBcD:EfAb:*any:thing", 0, 0xabcd, 0xefab, 0x2a, 1, nullptr},
    {"1000", 0xbd7, 0, 0, 0, 0, "1000"},
    {"1000:0030", 0xbd7, 0, 0, 0, 0, "1000"},
    {"1000:0030:", 0xbd7, 0, 0, 0, 0, "1000"},
    {":::", 0xbd7, 0, 0, 0, 0, ":::"},
    {"0x1000:0030:1", 0xbe4, 0, 0, 0, 0, "0x1000"},
    {"1000:+30:1", 0xbe4, 0, 0, 0, 0, "1000"},
    {"1000:0030:0x1", 0xbe4, 0, 0, 0, 0, "1000"},
    {"1000:0030:1:2", 0xbe4, 0, 0, 0, 0, "1000"},
    {"1000:0030::1", 0xbe4, 0, 0, 0, 0, "1000"},
    {"1000:0030:1\r", 0xbe4, 0, 0, 0, 0, "1000"},
    {"zz", 0xbe4, 0, 0, 0, 0, "zz"},  // checked before DEVICE is looked for
};

class AlterPmItem : public ::testing::Test {
protected:
    captured_log log_;
    size_t seen_ = 0;
    // The messages logged since the last call, one per line.
    std::string log_text() {
        std::vector<std::string> m = log_.messages();
        std::string out;
        for (size_t i = seen_; i < m.size(); i++)
            out += m[i];
        seen_ = m.size();
        return out;
    }
};

conf_record record(char *text, uint32_t size) {
    conf_record r = {};
    r.text = text;
    r.size = size;
    r.line = 3;
    r.column = 2;
    r.flags = REC_WORD | REC_FIRST;
    return r;
}

TEST_F(AlterPmItem, ColonRulesConversionsAndReports) {
    for (const item_case &c : cases) {
        std::string text = c.text;
        conf_record r = record(&text[0], (uint32_t)text.size() + 1);
        uint16_t vendor = 0xeeee, device = 0xeeee;
        uint8_t revision = 0xee, wildcard = 0xee;
        testing::internal::CaptureStderr();
        int result = parse_d0_item(&r, &vendor, &device, &revision, &wildcard);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(text, c.text);  // the record's text is never split
        if (c.loc == 0) {
            ASSERT_EQ(result, 0) << c.text;
            EXPECT_EQ(vendor, c.vendor) << c.text;
            EXPECT_EQ(device, c.device) << c.text;
            EXPECT_EQ(revision, c.revision) << c.text;
            EXPECT_EQ(wildcard, c.wildcard) << c.text;
            EXPECT_TRUE(r.flags & REC_PARSED);
            EXPECT_EQ(err, "");
        } else {
            char fatal[64];
            snprintf(fatal, sizeof fatal, "there was a fatal error(%x).\n", c.loc);
            EXPECT_EQ(result, -1) << c.text;
            EXPECT_EQ(vendor, 0xeeee) << c.text;
            EXPECT_EQ(err, std::string("ERROR: ") + fatal) << c.text;
            EXPECT_EQ(log_text(), std::string(fatal) + c.logged + "\n") << c.text;
            EXPECT_FALSE(r.flags & REC_PARSED);
        }
    }
}

TEST_F(AlterPmItem, TextWithoutTerminatorInItsSizeFailsWith0xbc6) {
    char text[] = "1000:0030:1";
    conf_record r = record(text, 5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_d0_item(&r, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(bc6).\n");
    EXPECT_EQ(log_text(), "there was a fatal error(bc6).\nlength 5 line 3 column 2\n");
}

}  // namespace
