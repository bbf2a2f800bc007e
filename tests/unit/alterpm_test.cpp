// Items of the alternative list: the colon rules, the conversions and the
// report of each failure.
#include <gtest/gtest.h>

#include "conf/conf.h"
#include "pci/alterpm.h"
#include "support.h"

namespace {

struct item_case {
    const char *text;
    unsigned loc;        // 0: taken, as "vendor device revision wildcard"
    const char *result;  // taken: the four values; refused: the working copy logged
};

class AlterPmItem : public ::testing::TestWithParam<item_case> {};

TEST_P(AlterPmItem, TakenOrReported) {
    const item_case &c = GetParam();
    captured_log log;
    std::string text = c.text;
    conf_record r = {};
    r.text = &text[0];
    r.size = (uint32_t)text.size() + 1;
    r.flags = REC_WORD | REC_FIRST;
    uint16_t vendor = 0xeeee, device = 0xeeee;
    uint8_t revision = 0xee, wildcard = 0xee;
    testing::internal::CaptureStderr();
    int result = parse_d0_item(&r, &vendor, &device, &revision, &wildcard);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, c.text) << "the record's text is never split";
    if (c.loc == 0) {
        char values[32];
        snprintf(values, sizeof values, "%x %x %x %x", vendor, device, revision, wildcard);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(values, std::string(c.result));
        EXPECT_EQ(err, "");
    } else {
        char fatal[64];
        snprintf(fatal, sizeof fatal, "there was a fatal error(%x).\n", c.loc);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(vendor, 0xeeee);
        EXPECT_EQ(err, std::string("ERROR: ") + fatal);
        EXPECT_EQ(log.messages(), fatal + std::string(c.result) + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AlterPmItem, ::testing::Values(
    item_case{"11000:20030:1ff", 0, "1000 30 ff 0"},  // the low bits kept
    item_case{"123456789:0000000000001:0", 0, "ffff 1 0 0"},  // beyond 32 bits
    item_case{"aBcD:EfAb:*any:thing", 0, "abcd efab 2a 1"},
    item_case{"1000", 0xbd7, "1000"}, item_case{"1000:0030", 0xbd7, "1000"},
    item_case{"1000:0030:", 0xbd7, "1000"}, item_case{":::", 0xbd7, ":::"},
    item_case{"0x1000:0030:1", 0xbe4, "0x1000"}, item_case{"1000:+30:1", 0xbe4, "1000"},
    item_case{"1000:0030:0x1", 0xbe4, "1000"}, item_case{"1000:0030:1:2", 0xbe4, "1000"},
    item_case{"1000:0030::1", 0xbe4, "1000"}, item_case{"1000:0030:1\r", 0xbe4, "1000"},
    item_case{"zz", 0xbe4, "zz"}));  // checked before DEVICE is looked for

}  // namespace
