// PCI snapshot and configuration accessors over fixture trees laid out like
// /sys/bus/pci/devices in a temporary directory, and the host's own tree
// read-only.
//
// Large-file interfaces for the test's own readdir, as in the code under
// test: directory offsets on the host may not fit 32 bits.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "pci/pci_cfg.h"
#include "pci/pci_regs.h"

namespace {

struct fixture_function {
    const char *name;
    uint16_t vendor;
    uint16_t device;
    uint8_t revision;
    uint32_t cls;  // base class, subclass, prog-if
    uint8_t header_type;
};

class PciTree : public ::testing::Test {
protected:
    std::string root;

    void SetUp() override {
        char tmpl[] = "/tmp/pci-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string config_path(const char *name) { return root + "/" + name + "/config"; }

    void add_raw(const char *name, const uint8_t *bytes, size_t size) {
        std::string dir = root + "/" + name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
        FILE *f = fopen(config_path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(bytes, 1, size, f), size);
        fclose(f);
    }

    void add(const fixture_function &fn, size_t size = PCI_CONFIG_SIZE) {
        uint8_t c[PCI_CONFIG_SIZE] = {};
        for (unsigned i = 0; i < PCI_CONFIG_SIZE; i++)
            c[i] = (uint8_t)(0xa0 ^ i);  // every other byte distinct from the registers
        c[0] = (uint8_t)fn.vendor;
        c[1] = (uint8_t)(fn.vendor >> 8);
        c[2] = (uint8_t)fn.device;
        c[3] = (uint8_t)(fn.device >> 8);
        c[8] = fn.revision;
        c[9] = (uint8_t)fn.cls;
        c[10] = (uint8_t)(fn.cls >> 8);
        c[11] = (uint8_t)(fn.cls >> 16);
        c[14] = fn.header_type;
        add_raw(fn.name, c, size);
    }

    void add_simple(const char *name, uint16_t vendor = 0x8086) {
        add({name, vendor, 0x1234, 0, 0x010000, 0});
    }

    std::vector<uint8_t> file_bytes(const char *name) {
        std::vector<uint8_t> out(PCI_CONFIG_SIZE);
        FILE *f = fopen(config_path(name).c_str(), "rb");
        EXPECT_NE(f, nullptr);
        if (!f)
            return out;
        out.resize(fread(out.data(), 1, out.size(), f));
        fclose(f);
        return out;
    }

    // The names readdir gives for root, dot entries left out, in its order.
    std::vector<std::string> directory_order() {
        std::vector<std::string> names;
        DIR *d = opendir(root.c_str());
        EXPECT_NE(d, nullptr);
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
        return names;
    }
};

std::string address(const pci_function *f) {
    char buf[32];
    snprintf(buf, sizeof buf, "%04x:%02x:%02x.%x", f->domain, f->bus, f->device, f->function);
    return buf;
}

std::vector<std::string> list_addresses(const pci_snapshot *s) {
    std::vector<std::string> out;
    for (const pci_function *f = s->first; f; f = f->next)
        out.push_back(address(f));
    return out;
}

// Walks the links both ways: every prev names the link that points at it,
// and last names the final next field.
void expect_links_consistent(pci_snapshot *s) {
    pci_function **link = &s->first;
    for (pci_function *f = s->first; f; f = f->next) {
        EXPECT_EQ(f->prev, link);
        EXPECT_EQ(f->snapshot, s);
        link = &f->next;
    }
    EXPECT_EQ(s->last, link);
}

bool fd_is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// A snapshot built by hand around one function, without scanning.
struct lone_function {
    pci_snapshot *snap;
    pci_function fn;
    explicit lone_function(const std::string &path) : snap(pci_snap_init(nullptr)), fn() {
        fn.snapshot = snap;
        fn.config_path = strdup(path.c_str());
    }
    ~lone_function() {
        if (snap->cached_function == &fn && snap->cached_fd >= 0)
            close(snap->cached_fd);
        free(fn.config_path);
        free(snap);
    }
};

TEST(PciSnapshot, InitGivesAnEmptyListAndNoCache) {
    uint32_t code = 0x55;
    pci_snapshot *s = pci_snap_init(&code);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->first, nullptr);
    EXPECT_EQ(s->last, &s->first);
    EXPECT_EQ(s->cached_function, nullptr);
    EXPECT_EQ(s->cached_mode, 128);
    EXPECT_EQ(s->cached_fd, -1);
    EXPECT_EQ(code, 0x55u);
    pci_snap_free(s);
}

TEST_F(PciTree, ScanKeepsEveryIdentifyingRegisterAndThePath) {
    add({"0001:02:1f.3", 0x1000, 0x0030, 0x07, 0x010601, 0x81});
    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), &code)) << std::hex << code;
    ASSERT_NE(s->first, nullptr);
    pci_function *f = s->first;
    EXPECT_EQ(f->next, nullptr);
    EXPECT_EQ(f->domain, 1);
    EXPECT_EQ(f->bus, 2);
    EXPECT_EQ(f->device, 0x1f);
    EXPECT_EQ(f->function, 3);
    EXPECT_EQ(f->vendor_id, 0x1000);
    EXPECT_EQ(f->device_id, 0x0030);
    EXPECT_EQ(f->revision_id, 0x07);
    EXPECT_EQ(f->prog_if, 0x01);
    EXPECT_EQ(f->subclass, 0x06);
    EXPECT_EQ(f->base_class, 0x01);
    EXPECT_EQ(f->header_type, 0x81);  // multi-function bit kept
    EXPECT_STREQ(f->config_path, config_path("0001:02:1f.3").c_str());
    expect_links_consistent(s);
    pci_snap_free(s);
}

TEST_F(PciTree, ScanListRunsInReverseDirectoryOrderAndSkipsDotsAndAbsentVendors) {
    const char *names[] = {"0000:00:00.0", "0000:00:1f.0", "0000:05:00.0", "0000:05:00.1",
                           "0000:0a:02.0", "0000:80:00.0"};
    for (const char *n : names)
        add_simple(n);
    add_simple("0000:07:00.0", 0xffff);
    // A dot entry that would stop the scan if it were parsed.
    ASSERT_EQ(mkdir((root + "/.hidden").c_str(), 0755), 0);

    std::vector<std::string> expected;
    for (const std::string &n : directory_order())
        if (n != "0000:07:00.0")
            expected.insert(expected.begin(), n);

    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), &code)) << std::hex << code;
    EXPECT_EQ(list_addresses(s), expected);
    expect_links_consistent(s);
    for (const pci_function *f = s->first; f; f = f->next)
        EXPECT_NE(f->vendor_id, 0xffff);
    pci_snap_free(s);
}

TEST_F(PciTree, EmptyTreeGivesEmptyList) {
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    EXPECT_EQ(s->first, nullptr);
    EXPECT_EQ(s->last, &s->first);
    pci_snap_free(s);
}

TEST_F(PciTree, UnparsableNameStopsTheScanKeepingEarlierFunctions) {
    const char *good[] = {"0000:00:01.0", "0000:00:02.0", "0000:00:03.0", "0000:00:04.0"};
    for (const char *n : good)
        add_simple(n);
    add_simple("0000:00:05.g");  // function part not hexadecimal
    std::vector<std::string> before;
    for (const std::string &n : directory_order()) {
        if (n == "0000:00:05.g")
            break;
        before.insert(before.begin(), n);
    }
    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    EXPECT_FALSE(pci_scan_dir(s, root.c_str(), &code));
    EXPECT_EQ(code, 0x20007u);
    EXPECT_EQ(list_addresses(s), before);
    expect_links_consistent(s);
    pci_snap_free(s);
}

TEST_F(PciTree, ReadFailureDuringScanCarriesAccessAndScanBits) {
    // Config file missing: the vendor read cannot open it.
    ASSERT_EQ(mkdir((root + "/0000:00:01.0").c_str(), 0755), 0);
    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    EXPECT_FALSE(pci_scan_dir(s, root.c_str(), &code));
    EXPECT_EQ(code, 0x30203u);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s->cached_fd, -1);
    pci_snap_free(s);
}

TEST_F(PciTree, ConfigCutShortStopsTheScanAtTheFirstMissingRegister) {
    // Ten bytes hold vendor, device, revision, prog-if and subclass but not
    // the base class at 0x0b.
    add({"0000:00:01.0", 0x8086, 0x1234, 0, 0x010000, 0}, 10);
    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    EXPECT_FALSE(pci_scan_dir(s, root.c_str(), &code));
    EXPECT_EQ(code, 0x30106u);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(s->first, nullptr);
    // The freed function took its descriptor with it.
    EXPECT_EQ(s->cached_function, nullptr);
    EXPECT_EQ(s->cached_fd, -1);
    pci_snap_free(s);
}

TEST_F(PciTree, MissingDirectoryGivesOpendirCodeAlone) {
    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    EXPECT_FALSE(pci_scan_dir(s, (root + "/absent").c_str(), &code));
    EXPECT_EQ(code, 0x0au);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s->first, nullptr);
    pci_snap_free(s);
}

TEST_F(PciTree, MisalignedAccessFailsWithoutOpeningAnything) {
    // The path does not exist: an open would fail with 0x03 instead.
    lone_function lf(root + "/nothing/config");
    uint16_t v16 = 0xbeef;
    uint32_t v32 = 0xdeadbeef;
    uint32_t code = 0;
    errno = 0;
    EXPECT_FALSE(pci_cfg_read16(&lf.fn, &v16, 0x03, &code));
    EXPECT_EQ(code, 0x0201u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(v16, 0xbeef);
    EXPECT_FALSE(pci_cfg_read32(&lf.fn, &v32, 0x06, &code));
    EXPECT_EQ(code, 0x0401u);
    EXPECT_EQ(v32, 0xdeadbeefu);
    EXPECT_FALSE(pci_cfg_write16(&lf.fn, 1, 0x41, &code));
    EXPECT_EQ(code, 0x2001u);
    EXPECT_FALSE(pci_cfg_write32(&lf.fn, 1, 0x42, &code));
    EXPECT_EQ(code, 0x4001u);
    EXPECT_EQ(lf.snap->cached_fd, -1);
    EXPECT_EQ(lf.snap->cached_mode, 128);

    uint8_t byte = 0;
    EXPECT_FALSE(pci_cfg_access(&lf.fn, &byte, 1, 0, 2, &code));
    EXPECT_EQ(code, 0x02u);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(PciTree, ReadAtOrBeyondTheEndFailsWithShortTransfer) {
    add({"0000:00:01.0", 0x8086, 0x1234, 0, 0, 0}, 62);
    add_simple("0000:00:02.0");
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    pci_function *cut = pci_snap_find(s, 0, 0, 1, 0);
    pci_function *whole = pci_snap_find(s, 0, 0, 2, 0);
    ASSERT_NE(cut, nullptr);
    ASSERT_NE(whole, nullptr);
    uint8_t b = 0x5a;
    uint32_t d = 0;
    uint32_t code = 0;
    errno = 0;
    EXPECT_FALSE(pci_cfg_read8(cut, &b, 0x40, &code));
    EXPECT_EQ(code, 0x0106u);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(b, 0x5a);
    EXPECT_TRUE(pci_cfg_read8(cut, &b, 0x3d, &code));
    EXPECT_FALSE(pci_cfg_read8(whole, &b, 0x100, &code));
    EXPECT_EQ(code, 0x0106u);
    // Partly past the end: fewer bytes than asked is a failure too.
    EXPECT_FALSE(pci_cfg_read32(cut, &d, 0x3c, &code));
    EXPECT_EQ(code, 0x0406u);
    // A failed transfer keeps the descriptor.
    EXPECT_EQ(s->cached_function, cut);
    EXPECT_TRUE(fd_is_open(s->cached_fd));
    pci_snap_free(s);
}

TEST_F(PciTree, RegistersMoveLittleEndianBothWays) {
    add_simple("0000:00:01.0");
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    pci_function *f = s->first;
    uint16_t w = 0;
    uint32_t d = 0;
    uint8_t b = 0;
    ASSERT_TRUE(pci_cfg_read16(f, &w, 0x00, nullptr));
    EXPECT_EQ(w, 0x8086);
    ASSERT_TRUE(pci_cfg_read32(f, &d, 0x00, nullptr));
    EXPECT_EQ(d, 0x12348086u);
    ASSERT_TRUE(pci_cfg_write32(f, 0x11223344, 0x44, nullptr));
    ASSERT_TRUE(pci_cfg_write16(f, 0xa1b2, 0x4a, nullptr));
    ASSERT_TRUE(pci_cfg_write8(f, 0xc3, 0x4f, nullptr));
    std::vector<uint8_t> bytes = file_bytes("0000:00:01.0");
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_EQ(bytes[0x44], 0x44);
    EXPECT_EQ(bytes[0x45], 0x33);
    EXPECT_EQ(bytes[0x46], 0x22);
    EXPECT_EQ(bytes[0x47], 0x11);
    EXPECT_EQ(bytes[0x4a], 0xb2);
    EXPECT_EQ(bytes[0x4b], 0xa1);
    EXPECT_EQ(bytes[0x4f], 0xc3);
    EXPECT_EQ(bytes[0x48], 0xa0 ^ 0x48);  // neighbours untouched
    ASSERT_TRUE(pci_cfg_read32(f, &d, 0x44, nullptr));
    EXPECT_EQ(d, 0x11223344u);
    ASSERT_TRUE(pci_cfg_read8(f, &b, 0x4f, nullptr));
    EXPECT_EQ(b, 0xc3);
    pci_snap_free(s);
}

// The descriptor cache is observed through the file's name: once the name
// is gone, an access that reopens fails with 0x03 and ENOENT, one that uses
// the cached descriptor still succeeds.
TEST_F(PciTree, TwoReadsOpenOnceAWriteThenAReadOpenTwice) {
    add_simple("0000:00:01.0");
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    pci_function *f = s->first;
    uint8_t b;
    uint32_t code = 0;

    ASSERT_TRUE(pci_cfg_read8(f, &b, 0x08, &code));
    EXPECT_EQ(s->cached_function, f);
    EXPECT_EQ(s->cached_mode, 0);
    int fd = s->cached_fd;
    ASSERT_EQ(unlink(config_path("0000:00:01.0").c_str()), 0);
    EXPECT_TRUE(pci_cfg_read8(f, &b, 0x09, &code));
    EXPECT_EQ(s->cached_fd, fd);

    // Switching direction needs a new open, which now fails; the read
    // descriptor stays open and cached.
    EXPECT_FALSE(pci_cfg_write8(f, 1, 0x40, &code));
    EXPECT_EQ(code, 0x1003u);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s->cached_fd, fd);
    EXPECT_EQ(s->cached_mode, 0);
    EXPECT_TRUE(fd_is_open(fd));
    pci_snap_free(s);
}

TEST_F(PciTree, ReadAfterWriteReopensAndClosesTheWriteDescriptor) {
    add_simple("0000:00:01.0");
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    pci_function *f = s->first;
    uint8_t b;
    uint32_t code = 0;
    ASSERT_TRUE(pci_cfg_write8(f, 2, 0x40, &code));
    EXPECT_EQ(s->cached_mode, 1);
    int write_fd = s->cached_fd;
    ASSERT_TRUE(pci_cfg_read8(f, &b, 0x40, &code));
    EXPECT_EQ(b, 2);
    EXPECT_EQ(s->cached_mode, 0);
    // The write descriptor went away when the read one came.
    EXPECT_TRUE(s->cached_fd == write_fd || !fd_is_open(write_fd));
    ASSERT_EQ(unlink(config_path("0000:00:01.0").c_str()), 0);
    EXPECT_FALSE(pci_cfg_write8(f, 3, 0x40, &code));
    EXPECT_EQ(code, 0x1003u);
    pci_snap_free(s);
}

TEST_F(PciTree, CacheFollowsTheFunctionAndFreeingItsHolderClosesIt) {
    add_simple("0000:00:01.0");
    add_simple("0000:00:02.0");
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    pci_function *a = pci_snap_find(s, 0, 0, 1, 0);
    pci_function *b = pci_snap_find(s, 0, 0, 2, 0);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(pci_snap_find(s, 0, 0, 3, 0), nullptr);
    uint8_t v;
    ASSERT_TRUE(pci_cfg_read8(a, &v, 0, nullptr));
    int fd_a = s->cached_fd;
    ASSERT_TRUE(pci_cfg_read8(b, &v, 0, nullptr));
    EXPECT_EQ(s->cached_function, b);
    int fd_b = s->cached_fd;
    EXPECT_TRUE(fd_b == fd_a || !fd_is_open(fd_a));

    // Unlink and free a: b keeps the cache.
    *a->prev = a->next;
    if (a->next)
        a->next->prev = a->prev;
    else
        s->last = a->prev;
    pci_function_free(a);
    EXPECT_EQ(s->cached_function, b);
    EXPECT_EQ(s->cached_fd, fd_b);
    EXPECT_TRUE(fd_is_open(fd_b));

    *b->prev = b->next;
    if (b->next)
        b->next->prev = b->prev;
    else
        s->last = b->prev;
    pci_function_free(b);
    EXPECT_EQ(s->cached_function, nullptr);
    EXPECT_EQ(s->cached_mode, 128);
    EXPECT_EQ(s->cached_fd, -1);
    EXPECT_FALSE(fd_is_open(fd_b));
    EXPECT_EQ(s->first, nullptr);
    pci_snap_free(s);
}

TEST_F(PciTree, FreeingTheSnapshotLeavesNoDescriptorOpen) {
    add_simple("0000:00:01.0");
    pci_snapshot *s = pci_snap_init(nullptr);
    ASSERT_TRUE(pci_scan_dir(s, root.c_str(), nullptr));
    uint8_t v;
    ASSERT_TRUE(pci_cfg_read8(s->first, &v, 0, nullptr));
    int fd = s->cached_fd;
    ASSERT_TRUE(fd_is_open(fd));
    pci_snap_free(s);
    EXPECT_FALSE(fd_is_open(fd));
}

// The host's own tree, read only: every function the kernel lists with a
// vendor other than 0xffff is in the snapshot with the IDs its attribute
// files give.
unsigned read_attribute(const std::string &dir, const char *name) {
    FILE *f = fopen((dir + "/" + name).c_str(), "r");
    if (!f)
        return 0xffffffffu;
    unsigned v = 0xffffffffu;
    if (fscanf(f, "%x", &v) != 1)
        v = 0xffffffffu;
    fclose(f);
    return v;
}

TEST(PciHostTree, SnapshotMatchesTheKernelsAttributes) {
    DIR *d = opendir(PCI_DEVICES_DIR);
    if (!d)
        GTEST_SKIP() << PCI_DEVICES_DIR " is missing here";
    size_t listed = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            listed++;
    closedir(d);
    if (listed == 0)
        GTEST_SKIP() << PCI_DEVICES_DIR " is empty here";

    pci_snapshot *s = pci_snap_init(nullptr);
    uint32_t code = 0;
    ASSERT_TRUE(pci_scan(s, &code)) << std::hex << code << " errno " << errno;
    size_t found = 0;
    for (pci_function *f = s->first; f; f = f->next, found++) {
        std::string dir = std::string(PCI_DEVICES_DIR "/") + address(f);
        EXPECT_STREQ(f->config_path, (dir + "/config").c_str());
        EXPECT_EQ(f->vendor_id, read_attribute(dir, "vendor")) << dir;
        EXPECT_EQ(f->device_id, read_attribute(dir, "device")) << dir;
        unsigned cls = read_attribute(dir, "class");
        EXPECT_EQ((unsigned)f->base_class << 16 | f->subclass << 8 | f->prog_if, cls) << dir;
    }
    EXPECT_LE(found, listed);
    EXPECT_GT(found, 0u);
    pci_snap_free(s);
}

}  // namespace
