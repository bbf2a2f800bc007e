// Fixtures for the hot-plug search and adapter record tests: configuration
// spaces built in memory and written to a temporary tree laid out like
// /sys/bus/pci/devices, a table loaded into g_hba_conf, and the log.
#pragma once

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "conf/conf.h"
#include "conf/scan.h"
#include "pci/alterpm.h"
#include "pci/hba_info.h"
#include "pci/pci_cfg.h"
#include "pci/pci_regs.h"
#include "pci/shpc.h"
#include "runtime/log.h"

// One function's configuration space. Capabilities are chained in the order
// they are added, from 0x40 upwards unless placed.
struct config_space {
    uint8_t b[PCI_CONFIG_SIZE] = {};
    unsigned next_free = 0x40;
    unsigned link_at = PCI_CAPABILITY_LIST;  // where the next capability's offset goes

    config_space(uint16_t vendor, uint16_t device, uint32_t cls, uint8_t revision = 0,
                 uint8_t header_type = 0) {
        put16(PCI_VENDOR_ID, vendor);
        put16(PCI_DEVICE_ID, device);
        b[PCI_REVISION_ID] = revision;
        b[PCI_PROG_IF] = (uint8_t)cls;
        b[PCI_SUBCLASS] = (uint8_t)(cls >> 8);
        b[PCI_BASE_CLASS] = (uint8_t)(cls >> 16);
        b[PCI_HEADER_TYPE] = header_type;
    }
    void put16(unsigned off, uint16_t v) {
        b[off] = (uint8_t)v;
        b[off + 1] = (uint8_t)(v >> 8);
    }
    void put32(unsigned off, uint32_t v) {
        put16(off, (uint16_t)v);
        put16(off + 2, (uint16_t)(v >> 16));
    }
    // Adds a capability of size bytes and returns its offset.
    unsigned cap(uint8_t id, unsigned size, unsigned at = 0) {
        if (at == 0)
            at = next_free;
        b[at] = id;
        b[at + 1] = 0;
        b[link_at] = (uint8_t)at;
        link_at = at + 1;
        next_free = (at + size + 3) & ~3u;
        put16(PCI_STATUS, PCI_STATUS_CAP_LIST);
        return at;
    }
};

inline config_space bridge_space(uint8_t secondary, uint8_t revision = 0) {
    config_space c(0x8086, 0x244e, 0x060400, revision, 0x01);
    c.b[PCI_PRIMARY_BUS] = 0;
    c.b[PCI_SECONDARY_BUS] = secondary;
    c.b[PCI_SUBORDINATE_BUS] = secondary;
    return c;
}

// An SHPC capability whose data DWORD holds value (a plain file shows the
// same value whatever register is selected).
inline unsigned add_shpc(config_space &c, uint32_t value) {
    unsigned at = c.cap(PCI_CAP_ID_SHPC, 8);
    c.put32(at + PCI_SHPC_DATA, value);
    return at;
}

inline unsigned add_pcie(config_space &c, unsigned type, bool slot, uint32_t slot_caps) {
    unsigned at = c.cap(PCI_CAP_ID_EXP, 0x3c);
    c.put16(at + PCI_EXP_FLAGS, (uint16_t)(2 | type << 4 | (slot ? PCI_EXP_FLAGS_SLOT : 0)));
    c.put32(at + PCI_EXP_SLTCAP, slot_caps);
    return at;
}

inline config_space adapter_space(bool pm = true, uint16_t vendor = 0x1000,
                                  uint16_t device = 0x0030, uint8_t revision = 1) {
    config_space c(vendor, device, 0x010000, revision, 0x80);
    if (pm)
        c.cap(PCI_CAP_ID_PM, 8);
    return c;
}

// A temporary machine: its PCI tree, its table and alterpm.conf, and a log.
class HotplugMachine : public ::testing::Test {
protected:
    std::string root;
    std::string pci_dir;
    std::string log_path;
    log_handle *saved_log = nullptr;

    void SetUp() override {
        char tmpl[] = "/tmp/hotplug-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        pci_dir = root + "/devices";
        ASSERT_EQ(mkdir(pci_dir.c_str(), 0755), 0);
        log_path = root + "/user.log";
        saved_log = g_log;
        g_log = log_open("tarnex", log_path.c_str(), 0x100000, 4, nullptr);
        ASSERT_NE(g_log, nullptr);
        g_alterpm_conf.first = nullptr;
        g_alterpm_conf.last = &g_alterpm_conf.first;
        load_table("");
    }
    void TearDown() override {
        shpc_bridges_clear();
        pci_snap_free(g_pci_snapshot);
        g_pci_snapshot = nullptr;
        log_close(g_log);
        g_log = saved_log;
        std::string cmd = "rm -rf '" + root + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string write_file(const std::string &name, const void *data, size_t size) {
        std::string p = root + "/" + name;
        FILE *f = fopen(p.c_str(), "wb");
        EXPECT_NE(f, nullptr) << p;
        if (f) {
            fwrite(data, 1, size, f);
            fclose(f);
        }
        return p;
    }

    void add(const char *name, const config_space &c, size_t size = PCI_CONFIG_SIZE) {
        std::string dir = pci_dir + "/" + name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
        write_file(std::string("devices/") + name + "/config", c.b, size);
    }

    std::vector<uint8_t> config_bytes(const char *name) {
        std::vector<uint8_t> out(PCI_CONFIG_SIZE);
        std::string p = pci_dir + "/" + name + "/config";
        FILE *f = fopen(p.c_str(), "rb");
        EXPECT_NE(f, nullptr);
        if (f) {
            out.resize(fread(out.data(), 1, out.size(), f));
            fclose(f);
        }
        return out;
    }

    // Takes the snapshot that search_shpc and build_hba_info walk.
    void snapshot() {
        pci_snap_free(g_pci_snapshot);
        g_pci_snapshot = pci_snap_init(nullptr);
        ASSERT_NE(g_pci_snapshot, nullptr);
        uint32_t code = 0;
        ASSERT_TRUE(pci_scan_dir(g_pci_snapshot, pci_dir.c_str(), &code)) << std::hex << code;
    }

    // Loads text as the HBA address table, as the command's entry does.
    void load_table(const char *text) {
        std::string p = write_file("hba_addr.conf", text, strlen(text));
        conf_context ctx = {&g_hba_conf, p.c_str(), 1, 1, nullptr, {-1, -1, -1, -1}};
        scan_callbacks cb = {conf_begin, conf_collect, hba_addr_conf_check, &ctx};
        unsigned detail = 0;
        ASSERT_EQ(scan_stream(p.c_str(), -1, 1000, &cb, &detail), 0) << detail;
    }

    void load_alterpm(const char *text) {
        std::string p = write_file("alterpm.conf", text, strlen(text));
        ASSERT_EQ(parse_d0_conf_file(p.c_str()), 0);
    }

    std::vector<std::string> log_messages() {
        std::vector<std::string> out;
        FILE *f = fopen(log_path.c_str(), "r");
        if (!f)
            return out;
        char line[4096];
        while (fgets(line, sizeof line, f)) {
            const char *stamp = strstr(line, ": <");
            const char *msg = stamp ? strchr(stamp, '>') : nullptr;
            std::string m = msg ? msg + 1 : line;
            if (!m.empty() && m.back() == '\n')
                m.pop_back();
            out.push_back(m);
        }
        fclose(f);
        return out;
    }
};
