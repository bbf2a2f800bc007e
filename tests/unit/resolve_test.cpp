// Limits of device resolution and of the PCI scan that the command cannot
// reach from its inputs: the majors table, a path buffer filled exactly, the
// error number of an entry name that is no bus ID.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "conf/conf.h"
#include "conf/scan.h"
#include "pci/pci_cfg.h"
#include "resolve/resolve.h"
#include "support.h"

namespace {

TEST(Limits, DeviceMajorsBeyondTheTableAreLeftOut) {
    std::string text = "Block devices:\n";
    for (int i = 0; i <= MXVOL_MAJORS_MAX; i++)
        text += std::to_string(1000 + i) + " mxvol\n";
    temp_file f(text);
    conf_context ctx = {&g_proc_devices, "/proc/devices", 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, collect_device_majors, &ctx};
    captured_log log;
    ASSERT_EQ(scan_stream(f.path, -1, 0, &cb, nullptr), 0);
    EXPECT_TRUE(is_mxvol_major(1000 + MXVOL_MAJORS_MAX - 1));
    EXPECT_FALSE(is_mxvol_major(1000 + MXVOL_MAJORS_MAX));
    EXPECT_EQ(log.messages(), "mxvol major " + std::to_string(1000 + MXVOL_MAJORS_MAX) +
                                  " is ignored.\n");
}

TEST(Limits, NameThatFillsThePathBufferIsRefused) {
    char buffer[64];
    captured_log log;
    EXPECT_EQ(build_absolute_dev_path(std::string(58, 'n').c_str(), buffer, sizeof buffer), buffer);
    EXPECT_EQ(strlen(buffer), 63u);
    EXPECT_EQ(build_absolute_dev_path(std::string(59, 'n').c_str(), buffer, sizeof buffer), nullptr);
    EXPECT_EQ(log.messages(), "callee build_absolute_dev_path(12290).\n");
}

TEST(Limits, EntryNameThatIsNoBusIdStopsTheScanWithEinval) {
    char dir[] = "/tmp/pci_scan_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bad = std::string(dir) + "/0000:00:1f.z";
    ASSERT_EQ(mkdir(bad.c_str(), 0755), 0);
    uint32_t code = 0;
    pci_snapshot *snapshot = pci_snap_init(&code);
    errno = 0;
    EXPECT_FALSE(pci_scan_dir(snapshot, dir, &code));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(code, (uint32_t)(PCI_SCAN_STOPPED | PCI_STEP_NAME));
    pci_snap_free(snapshot);
    rmdir(bad.c_str());
    rmdir(dir);
}

}  // namespace
