#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "runtime/log.h"

namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/logtest-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/user.log";
    }
    void TearDown() override {
        log_close(h);
        std::string cmd = "rm -rf " + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    log_handle *open_log(unsigned *detail = nullptr) {
        h = log_open("tarnex", path.c_str(), 0x100000, 4, detail);
        return h;
    }
    std::string dir, path;
    log_handle *h = nullptr;
};

// Every record: time stamp, host, name[pid], level (UNKNOWN outside the
// syslog range), <seconds.microseconds in hex>, message.
TEST_F(LogTest, RecordFormatAndLevels) {
    ASSERT_NE(open_log(), nullptr);
    ASSERT_EQ(log_write(h, LOG_TO_FILE, 3, nullptr, "%s: failed(%x:%x).\n", "/x", 2, 0x3de), 0);
    for (int level : {6, 7, 8, -1})
        log_write(h, LOG_TO_FILE, level, nullptr, "m%d\n", level);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::regex record("[A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} " + std::string(host) +
                      " tarnex\\[" + std::to_string(getpid()) +
                      "\\]: ([A-Z]+): <[1-9a-f][0-9a-f]*\\.[0-9a-f]+>(.*)");
    std::istringstream text(slurp(path));
    std::string line, seen;
    std::smatch m;
    while (std::getline(text, line))
        seen += std::regex_match(line, m, record) ? m[1].str() + " " + m[2].str() + "|" : "BAD|";
    EXPECT_EQ(seen, "ERR /x: failed(2:3de).|INFO m6|DEBUG m7|UNKNOWN m8|UNKNOWN m-1|");
}

TEST_F(LogTest, MessageLimitIs4095Characters) {
    ASSERT_NE(open_log(), nullptr);
    std::string fits(4094, 'x');
    ASSERT_EQ(log_write(h, LOG_TO_FILE, 6, nullptr, "%s\n", fits.c_str()), 0);
    size_t size = slurp(path).size();
    EXPECT_NE(slurp(path).find(fits + "\n"), std::string::npos);

    unsigned detail = 0;
    std::string too_long(4095, 'y');
    errno = 0;
    EXPECT_EQ(log_write(h, LOG_TO_FILE, 6, &detail, "%s\n", too_long.c_str()), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(detail, 13u);
    detail = 0;
    EXPECT_EQ(log_write(h, LOG_TO_FILE, 6, &detail, "%s", ""), -1);
    EXPECT_EQ(detail, 13u);
    EXPECT_EQ(slurp(path).size(), size);
}

TEST_F(LogTest, WritesOnlyWithLogToFileAndKeepsErrno) {
    ASSERT_NE(open_log(), nullptr);
    errno = ENOSPC;
    EXPECT_EQ(log_write(h, 2, 6, nullptr, "not written\n"), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(slurp(path), "");
    errno = EACCES;
    EXPECT_EQ(log_write(h, LOG_TO_FILE, 6, nullptr, "written\n"), 0);
    EXPECT_EQ(errno, EACCES);
    unsigned detail = 0;
    EXPECT_EQ(log_write(nullptr, LOG_TO_FILE, 6, &detail, "x\n"), -1);
    EXPECT_EQ(detail, 12u);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(LogTest, ALogDeletedDuringTheRunIsCreatedAgain) {
    ASSERT_NE(open_log(), nullptr);
    log_write(h, LOG_TO_FILE, 6, nullptr, "one\n");
    ASSERT_EQ(unlink(path.c_str()), 0);
    mode_t old = umask(022);
    log_write(h, LOG_TO_FILE, 6, nullptr, "two\n");
    log_write(h, LOG_TO_FILE, 6, nullptr, "three\n");
    umask(old);
    std::string text = slurp(path);
    // "two" went to the deleted file's stream; the reopen made a new file.
    EXPECT_EQ(text.find("two"), std::string::npos);
    EXPECT_NE(text.find("three"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// Shifting the generations is shown by the writer's backups and the
// sandbox's rotation at the limit; here names that do not fit.
TEST_F(LogTest, RotationFailsWhenNamesDoNotFitTheScratchBuffer) {
    char scratch[4096];
    unsigned detail = 0;
    // "path.4" does not fit.
    EXPECT_EQ(rotate_file(4, scratch, path.size() + 2, path.c_str(), &detail), -1);
    EXPECT_EQ(detail, 2u);
    EXPECT_EQ(errno, EOVERFLOW);
    // "path.4" fits, "path.3" behind it does not.
    EXPECT_EQ(rotate_file(4, scratch, path.size() + 3 + 2, path.c_str(), &detail), -1);
    EXPECT_EQ(detail, 4u);
}

}  // namespace
