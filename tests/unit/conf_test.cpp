// Bus IDs and alternative-list items: the values taken, and the reports of
// what is refused.
#include <gtest/gtest.h>

#include "conf/conf.h"
#include "pci/alterpm.h"
#include "support.h"

namespace {

struct item_case {
    bool alterpm;      // an alternative-list item, else a bus ID looked at within len bytes
    std::string text;
    unsigned len;
    unsigned loc;      // 0: taken
    std::string last;  // taken: the four values; refused: the last line logged
};

class Item : public ::testing::TestWithParam<item_case> {};

TEST_P(Item, TakenOrReported) {
    const item_case &c = GetParam();
    captured_log log;
    std::string text = c.text;
    conf_record r = {};
    r.text = &text[0];
    r.size = (uint32_t)text.size() + 1;
    r.flags = REC_WORD | REC_FIRST;
    uint16_t a = 0xeeee, b = 0xeeee;
    uint8_t x = 0xee, y = 0xee, z = 0xee;
    testing::internal::CaptureStderr();
    int result = c.alterpm ? parse_d0_item(&r, &a, &b, &x, &y)
                           : get_busid(text.data(), c.len, &a, &x, &y, &z);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, c.text) << "the text is never split";
    char values[32], head[128];
    snprintf(values, sizeof values, "%x %x %x %x", a, c.alterpm ? b : x, c.alterpm ? x : y,
             c.alterpm ? y : z);
    if (!c.loc) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(values, c.last);
        EXPECT_EQ(err, "");
        return;
    }
    snprintf(head, sizeof head, c.alterpm ? "there was a fatal error(%x).\n"
             : "failed to get a busID(%x).\nplease refer to the manual for more information.\n",
             c.loc);
    std::string lines = head, on_stderr;
    for (size_t at = 0, nl; (nl = lines.find('\n', at)) != std::string::npos; at = nl + 1)
        on_stderr += "ERROR: " + lines.substr(at, nl + 1 - at);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(std::string(values), c.alterpm ? "eeee eeee ee ee" : "eeee ee ee ee");
    EXPECT_EQ(err, on_stderr);
    EXPECT_EQ(log.messages(), lines + c.last);
}

item_case id(std::string t, unsigned loc, std::string last, unsigned len = 32) {
    return {false, t, len, loc, last};
}
item_case pm(std::string t, unsigned loc, std::string last) { return {true, t, 0, loc, last}; }

INSTANTIATE_TEST_SUITE_P(BusIds, Item, ::testing::Values(
    id("0000:05:00.0", 0, "0 5 0 0"), id("::1::5:0.f", 0, "1 5 0 f"),
    id("12345:05:0.F", 0, "2345 5 0 f"),  // the low 16 bits
    id("0000:05:00", 0x2035, "0000.\n"), id("0000:05:0g.0", 0x2038, "0000.\n"),  // the copy, cut
    id("", 0x2032, ".\n"), id("1:2:3..4", 0x2039, "1.\n"), id("1:2:3.4.5", 0x2039, "1.\n"),
    id("0x1:2:3.4", 0x2036, "0x1.\n"),
    id("1:2:", 0x2030, "bus_id_len 4", 4)));  // no terminator within len

INSTANTIATE_TEST_SUITE_P(AlterPmItems, Item, ::testing::Values(
    pm("11000:20030:1ff", 0, "1000 30 ff 0"),  // the low bits
    pm("123456789:0000000000001:0", 0, "ffff 1 0 0"),  // beyond 32 bits
    pm("aBcD:EfAb:*any:thing", 0, "abcd efab 2a 1"), pm("1000", 0xbd7, "1000\n"),
    pm("1000:0030", 0xbd7, "1000\n"), pm("1000:0030:", 0xbd7, "1000\n"), pm(":::", 0xbd7, ":::\n"),
    pm("0x1000:0030:1", 0xbe4, "0x1000\n"), pm("1000:+30:1", 0xbe4, "1000\n"),
    pm("1000:0030:0x1", 0xbe4, "1000\n"), pm("1000:0030:1:2", 0xbe4, "1000\n"),
    pm("1000:0030::1", 0xbe4, "1000\n"), pm("1000:0030:1\r", 0xbe4, "1000\n"),
    pm("zz", 0xbe4, "zz\n")));  // refused before DEVICE is looked for

}  // namespace
