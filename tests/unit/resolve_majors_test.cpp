// The volume manager's majors from /proc/devices.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "conf/conf.h"
#include "conf/scan.h"
#include "resolve/resolve.h"

namespace {

// Reads text as /proc/devices would be read; returns scan_stream's result.
int read_devices(const std::string &text) {
    char path[] = "/tmp/resolve_majors_test.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    close(fd);
    mxvol_majors.character.count = 0;
    mxvol_majors.block.count = 0;
    conf_context ctx = {&g_proc_devices, "/proc/devices", 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, collect_device_majors, &ctx};
    int r = scan_stream(path, -1, 0, &cb, nullptr);
    unlink(path);
    EXPECT_EQ(g_proc_devices.first, nullptr) << "every record is freed";
    return r;
}

// Both sections are shown end to end in tests/sandbox/test_add.py.
TEST(DeviceMajors, OnlyNamesInTheSectionsCountAndOnlyAsManyAsTheTablesHold) {
    ASSERT_EQ(read_devices("240 mxvol\nBlock devices:\n 8 sd mxvol\nmxvol 9\n"), 0);
    EXPECT_EQ(mxvol_majors.character.count + mxvol_majors.block.count, 0u);

    std::string text = "Block devices:\n";
    for (int i = 0; i < MXVOL_MAJORS_MAX + 44; i++)
        text += std::to_string(1000 + i) + " mxvol\n";
    ASSERT_EQ(read_devices(text), 0);
    EXPECT_EQ(mxvol_majors.block.count, (unsigned)MXVOL_MAJORS_MAX);
    EXPECT_EQ(mxvol_majors.character.count, 0u);
    EXPECT_TRUE(is_mxvol_major(1000 + MXVOL_MAJORS_MAX - 1));
    EXPECT_FALSE(is_mxvol_major(1000 + MXVOL_MAJORS_MAX));
}

}  // namespace
