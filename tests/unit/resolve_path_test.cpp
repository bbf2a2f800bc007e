// Path helpers of the label add.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "conf/scan.h"
#include "resolve/resolve.h"

namespace {

TEST(SplitVolumePath, ClassIsTwoDirectoriesAboveTheVolume) {
    struct {
        const char *path, *cls, *volume;
    } const cases[] = {
        {"/dev/mxvol/CLS/dsk/vol1", "CLS", "vol1"},
        {"/dev/mxvol/c-1/d/v.2", "c-1", "v.2"},
        {"/dev/vol", "/", "vol"},
    };
    for (const auto &c : cases) {
        char *cls = nullptr;
        char *volume = nullptr;
        ASSERT_EQ(split_volume_path(c.path, &cls, &volume), 0) << c.path;
        EXPECT_STREQ(cls, c.cls) << c.path;
        EXPECT_STREQ(volume, c.volume) << c.path;
        free(cls);
        free(volume);
    }
}

TEST(ComposeEntry, WordMustFitTheBufferAndTheLineReader) {
    char buf[4096];
    ASSERT_EQ(compose_entry(buf, sizeof buf, "L", "/dev/sdb", 0, "t"), 0);
    EXPECT_STREQ(buf, "L,/dev/sdb");
    ASSERT_EQ(compose_entry(buf, sizeof buf, "L", "/dev/sdb", 1, "t"), 0);
    EXPECT_STREQ(buf, "L,/dev/sdb,tovrd");

    size_t most = scan_block_size() - 1;  // longest word the reader takes back
    std::string label(most - strlen(",/dev/sdb"), 'L');
    EXPECT_EQ(compose_entry(buf, sizeof buf, label.c_str(), "/dev/sdb", 0, "t"), 0);
    EXPECT_EQ(strlen(buf), most);
    label += "L";
    EXPECT_EQ(compose_entry(buf, sizeof buf, label.c_str(), "/dev/sdb", 0, "t"), -1);
    EXPECT_EQ(compose_entry(buf, 11, "L", "/dev/sdb", 1, "t"), -1) << "buffer too small";
}

TEST(DevicePaths, AbsoluteDevPathAndRealPath) {
    char buf[16];
    EXPECT_STREQ(build_absolute_dev_path("sdb", buf, sizeof buf), "/dev/sdb");
    EXPECT_EQ(build_absolute_dev_path("0123456789a", buf, sizeof buf), nullptr);
    char *own = build_absolute_dev_path("sdc", nullptr, 0);
    ASSERT_NE(own, nullptr);
    EXPECT_STREQ(own, "/dev/sdc");
    free(own);

    device_status st;
    char *real = resolve_device_path("/dev/../dev/null", &st);
    ASSERT_NE(real, nullptr);
    EXPECT_STREQ(real, "/dev/null");
    EXPECT_TRUE(S_ISCHR(st.mode));
    free(real);
    EXPECT_EQ(resolve_device_path("/nonexistent/sdb", &st), nullptr);
}

}  // namespace
