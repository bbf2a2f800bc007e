// Which adapters a hot-plug bridge takes, and a registration without a PCI
// tree. The search and the records themselves are tested end to end in the
// sandbox (tests/sandbox/test_register.py).
#include <gtest/gtest.h>
#include <string.h>

#include "conf_test_support.h"
#include "pci/hba_info.h"
#include "pci/pci_regs.h"
#include "pci/shpc.h"

namespace {

shpc_info element(uint32_t magic, uint32_t mode, uint32_t avail1, uint32_t avail2,
                  uint32_t slot_config) {
    shpc_info el;
    memset(&el, 0, sizeof el);
    el.magic = magic;
    el.secondary_bus = 5;
    el.slots_available1 = avail1;
    el.slots_available2 = avail2;
    el.slot_config = slot_config;
    el.sec_bus_config = mode;
    return el;
}

TEST(SlotMatch, EachModeReadsItsOwnCountField) {
    captured_log log;
    // Each field holds a different count, so the wrong field shows.
    const uint32_t avail1 = 0x0d0c0b0a;  // 33 conv 10, 66 PCI-X 11, 100 PCI-X 12, 133 PCI-X 13
    const uint32_t avail2 = 0x00000007;  // 66 conv 7
    const uint8_t expected[SHPC_MODE_COUNT] = {10, 7, 11, 12, 13};
    for (uint32_t mode = 0; mode < SHPC_MODE_COUNT; mode++) {
        shpc_info el = element(BRIDGE_SHPC, mode | 0xf8, avail1 | 0xe0e0e0e0, avail2 | 0xffe0, 0x0300);
        EXPECT_EQ(shpc_slot_match(&el, 0, 5, 3), 1) << mode;
        EXPECT_EQ(el.slot_count, expected[mode]) << mode;
        EXPECT_EQ(el.first_device, 3) << mode;
        EXPECT_EQ(shpc_slot_match(&el, 0, 5, (uint8_t)(3 + expected[mode])), 0) << mode;
    }
    EXPECT_TRUE(log.messages().empty());
}

TEST(SlotMatch, RangesDoNotWrapAndPortsTakeTheirWholeBus) {
    shpc_info el = element(BRIDGE_SHPC, SHPC_MODE_33_CONV, 0x1f, 0, 0x1f00);  // 31 slots from 31
    EXPECT_EQ(shpc_slot_match(&el, 0, 5, 31), 1);
    EXPECT_EQ(shpc_slot_match(&el, 0, 5, 30), 0);
    EXPECT_EQ(shpc_slot_match(&el, 0, 5, 0xff), 0);
    shpc_info none = element(BRIDGE_SHPC, SHPC_MODE_33_CONV, 0, 0, 0x0100);  // no slot at this speed
    EXPECT_EQ(shpc_slot_match(&none, 0, 5, 1), 0);

    shpc_info port = element(BRIDGE_PCIE, 7, 0, 0, 0);  // the mode is never looked at
    port.domain = 1;
    EXPECT_EQ(shpc_slot_match(&port, 1, 5, 0), 1);
    EXPECT_EQ(shpc_slot_match(&port, 1, 5, 31), 1);
    EXPECT_EQ(shpc_slot_match(&port, 0, 5, 0), 0);
    EXPECT_EQ(shpc_slot_match(&port, 1, 6, 0), 0);
    EXPECT_EQ(port.first_device | port.slot_count, 0);
}

TEST(Records, MissingDevicesDirectoryFailsTheScan) {
    captured_log log;
    shpc_info_table *table = nullptr;
    hba_info_array *array = nullptr;
    EXPECT_EQ(build_shpc_hba_info_dir("/nonexistent/devices", &table, &array), -1);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"there was a fatal error(dc5).\n",
                                                        "pci scan false(a)\n"}));
}

}  // namespace
