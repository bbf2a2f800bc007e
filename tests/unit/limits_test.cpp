// Limits the command cannot reach from its inputs: the log's message size,
// a path buffer filled exactly, the errno of a PCI entry name not a bus ID.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "pci/pci_cfg.h"
#include "resolve/resolve.h"
#include "support.h"

namespace {

TEST(Limits, LogMessageOf4095CharactersWithItsLineFeed) {
    captured_log log;
    std::string fits(4094, 'x'), too_long(4095, 'y');
    ASSERT_EQ(log_write(g_log, LOG_TO_FILE, 6, nullptr, "%s\n", fits.c_str()), 0);
    unsigned detail = 0;
    errno = 0;
    EXPECT_EQ(log_write(g_log, LOG_TO_FILE, 6, &detail, "%s\n", too_long.c_str()), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(detail, 13u);
    EXPECT_EQ(log.messages(), fits + "\n");
}

TEST(Limits, NameThatFillsThePathBufferIsRefused) {
    char buffer[64];
    const std::string fits(58, 'n'), fills = fits + "n";  // "/dev/" and 58 or 59 bytes
    captured_log log;
    EXPECT_EQ(build_absolute_dev_path(fits.c_str(), buffer, sizeof buffer), buffer);
    EXPECT_EQ(strlen(buffer), 63u);
    EXPECT_EQ(build_absolute_dev_path(fills.c_str(), buffer, sizeof buffer), nullptr);
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
    EXPECT_EQ(system(("rm -r " + std::string(dir)).c_str()), 0);
}

}  // namespace
