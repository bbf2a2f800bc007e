// The log's message limit: 4095 characters with the line feed.
#include <errno.h>
#include <gtest/gtest.h>

#include "support.h"

namespace {

TEST(Log, MessageLimitIs4095Characters) {
    captured_log log;
    std::string fits(4094, 'x'), too_long(4095, 'y');
    ASSERT_EQ(log_write(g_log, LOG_TO_FILE, 6, nullptr, "%s\n", fits.c_str()), 0);
    unsigned detail = 0;
    errno = 0;
    EXPECT_EQ(log_write(g_log, LOG_TO_FILE, 6, &detail, "%s\n", too_long.c_str()), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(detail, 13u);
    detail = 0;
    EXPECT_EQ(log_write(g_log, LOG_TO_FILE, 6, &detail, "%s", ""), -1);
    EXPECT_EQ(detail, 13u);
    EXPECT_EQ(log.messages(), fits + "\n");
}

}  // namespace
