// The configuration-file descriptor cache and the failures that must not
// touch any file, over a fixture tree in a temporary directory. The scan
// itself is tested in the sandbox (tests/sandbox/test_pci_scan.py).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pci/pci_cfg.h"

namespace {

class PciCache : public ::testing::Test {
protected:
    std::string root;
    pci_snapshot *snap = nullptr;
    pci_function *a = nullptr;  // 0000:00:01.0
    pci_function *b = nullptr;  // 0000:00:02.0

    void SetUp() override {
        char tmpl[] = "/tmp/pci-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char *name : {"0000:00:01.0", "0000:00:02.0"}) {
            ASSERT_EQ(mkdir((root + "/" + name).c_str(), 0755), 0);
            FILE *f = fopen(config(name).c_str(), "wb");
            ASSERT_NE(f, nullptr);
            unsigned char bytes[256] = {0x86, 0x80, 0x34, 0x12};
            fwrite(bytes, 1, sizeof bytes, f);
            fclose(f);
        }
        snap = pci_snap_init(nullptr);
        ASSERT_TRUE(pci_scan_dir(snap, root.c_str(), nullptr));
        a = pci_snap_find(snap, 0, 0, 1, 0);
        b = pci_snap_find(snap, 0, 0, 2, 0);
        ASSERT_TRUE(a && b);
    }
    void TearDown() override {
        pci_snap_free(snap);
        ASSERT_EQ(system(("rm -rf '" + root + "'").c_str()), 0);
    }
    std::string config(const char *name) { return root + "/" + name + "/config"; }

    // Takes f out of the list, as pci_snap_free does, and frees it.
    void unlink_and_free(pci_function *f) {
        *f->prev = f->next;
        if (f->next)
            f->next->prev = f->prev;
        else
            snap->last = f->prev;
        pci_function_free(f);
    }
};

bool fd_is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// Once the file's name is gone, an access that reopens fails with 0x03 and
// ENOENT while one that uses the cached descriptor still succeeds.
TEST_F(PciCache, TwoReadsOpenOnceAWriteThenAReadOpenTwice) {
    uint8_t v;
    uint32_t code = 0;
    ASSERT_TRUE(pci_cfg_read8(a, &v, 0x08, &code));
    int fd = snap->cached_fd;
    ASSERT_EQ(unlink(config("0000:00:01.0").c_str()), 0);
    EXPECT_TRUE(pci_cfg_read8(a, &v, 0x09, &code));
    EXPECT_EQ(snap->cached_fd, fd);
    // A failed open keeps the read descriptor cached.
    EXPECT_FALSE(pci_cfg_write8(a, 1, 0x40, &code));
    EXPECT_EQ(code, 0x1003u);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(snap->cached_function, a);
    EXPECT_EQ(snap->cached_mode, PCI_CFG_READ);
    EXPECT_EQ(snap->cached_fd, fd);

    ASSERT_TRUE(pci_cfg_write8(b, 2, 0x40, &code));
    EXPECT_FALSE(fd_is_open(fd) && snap->cached_fd != fd);  // a's descriptor closed
    ASSERT_TRUE(pci_cfg_read8(b, &v, 0x40, &code));
    EXPECT_EQ(v, 2);
    EXPECT_EQ(snap->cached_mode, PCI_CFG_READ);
    ASSERT_EQ(unlink(config("0000:00:02.0").c_str()), 0);
    EXPECT_FALSE(pci_cfg_write8(b, 3, 0x40, &code));  // the switch back reopens
    EXPECT_EQ(code, 0x1003u);
}

TEST_F(PciCache, FreeingTheHolderClosesTheDescriptorFreeingAnotherDoesNot) {
    uint8_t v;
    ASSERT_TRUE(pci_cfg_read8(b, &v, 0, nullptr));
    int fd = snap->cached_fd;
    unlink_and_free(a);
    EXPECT_EQ(snap->cached_function, b);
    EXPECT_TRUE(fd_is_open(fd));
    unlink_and_free(b);
    EXPECT_EQ(snap->cached_function, nullptr);
    EXPECT_EQ(snap->cached_mode, 128);
    EXPECT_EQ(snap->cached_fd, -1);
    EXPECT_FALSE(fd_is_open(fd));
    EXPECT_EQ(snap->first, nullptr);
    EXPECT_EQ(snap->last, &snap->first);
}

TEST_F(PciCache, FreeingTheSnapshotLeavesNoDescriptorOpen) {
    uint8_t v;
    ASSERT_TRUE(pci_cfg_read8(a, &v, 0, nullptr));
    int fd = snap->cached_fd;
    pci_snap_free(snap);
    snap = nullptr;
    EXPECT_FALSE(fd_is_open(fd));
}

TEST_F(PciCache, MisalignedOrUnknownModeFailsWithoutOpeningAnything) {
    ASSERT_EQ(unlink(config("0000:00:01.0").c_str()), 0);  // an open would give 0x03
    pci_snapshot before = *snap;  // the scan left the last function's descriptor
    uint16_t w = 0xbeef;
    uint32_t d = 0xdeadbeef;
    uint32_t code = 0;
    EXPECT_FALSE(pci_cfg_read16(a, &w, 0x03, &code));
    EXPECT_EQ(code, 0x0201u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(w, 0xbeef);
    EXPECT_FALSE(pci_cfg_read32(a, &d, 0x06, &code));
    EXPECT_EQ(code, 0x0401u);
    EXPECT_EQ(d, 0xdeadbeefu);
    EXPECT_FALSE(pci_cfg_write32(a, 0, 0x42, &code));
    EXPECT_EQ(code, 0x4001u);
    EXPECT_FALSE(pci_cfg_access(a, &w, 1, 0, 2, &code));
    EXPECT_EQ(code, 0x02u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(snap->cached_function, before.cached_function);
    EXPECT_EQ(snap->cached_fd, before.cached_fd);
}

TEST_F(PciCache, MissingDirectoryGivesTheOpendirCodeAlone) {
    uint32_t code = 0;
    EXPECT_FALSE(pci_scan_dir(snap, (root + "/absent").c_str(), &code));
    EXPECT_EQ(code, 0x0au);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
