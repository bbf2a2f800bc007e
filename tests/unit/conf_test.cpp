// Bus IDs: what get_busid takes, and the report of what it refuses.
#include <gtest/gtest.h>

#include "conf/conf.h"
#include "support.h"

namespace {

struct busid_case {
    std::string text;
    unsigned len;
    const char *loc;     // null: taken
    std::string logged;  // taken: "domain bus device function"; refused: the third log line
};

class Busid : public ::testing::TestWithParam<busid_case> {};

TEST_P(Busid, TakenOrReported) {
    const busid_case &c = GetParam();
    captured_log log;
    uint16_t domain = 0xeeee;
    uint8_t bus = 0xee, dev = 0xee, func = 0xee;
    testing::internal::CaptureStderr();
    int r = get_busid(c.text.data(), c.len, &domain, &bus, &dev, &func);
    std::string err = testing::internal::GetCapturedStderr();
    if (!c.loc) {
        ASSERT_EQ(r, 0);
        char parts[32];
        snprintf(parts, sizeof parts, "%x %x %x %x", domain, bus, dev, func);
        EXPECT_EQ(parts, c.logged);
        return;
    }
    std::string failed = std::string("failed to get a busID(") + c.loc +
                         ").\nplease refer to the manual for more information.\n";
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, "ERROR: " + failed.substr(0, failed.find('\n') + 1) + "ERROR: " +
                       failed.substr(failed.find('\n') + 1));
    EXPECT_EQ(log.messages(), failed + c.logged);
}

INSTANTIATE_TEST_SUITE_P(Rows, Busid, ::testing::Values(
    busid_case{"0000:05:00.0", 32, nullptr, "0 5 0 0"},
    busid_case{"::1::5:0.f", 32, nullptr, "1 5 0 f"},
    busid_case{"12345:05:0.F", 32, nullptr, "2345 5 0 f"},  // the low 16 bits
    busid_case{"0000:05:00", 32, "2035", "0000.\n"},
    busid_case{"0000:05:0g.0", 32, "2038", "0000.\n"},
    busid_case{"", 32, "2032", ".\n"},
    busid_case{"1:2:3..4", 32, "2039", "1.\n"},
    busid_case{"1:2:3.4.5", 32, "2039", "1.\n"},
    busid_case{"0x1:2:3.4", 32, "2036", "0x1.\n"},  // the copy, up to its first separator
    busid_case{"1:2:", 4, "2030", "bus_id_len 4"}));  // no terminator within len

}  // namespace
