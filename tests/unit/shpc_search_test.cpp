// The capability walk, the hot-plug bridge search and the slot test.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "hotplug_test_support.h"
#include "pci/hotplug_regs.h"

namespace {

using CapabilityWalk = HotplugMachine;
using BridgeSearch = HotplugMachine;

pci_function *function_named(const char *addr) {
    unsigned d, b, dev, fn;
    if (sscanf(addr, "%x:%x:%x.%x", &d, &b, &dev, &fn) != 4)
        return nullptr;
    return pci_snap_find(g_pci_snapshot, (uint16_t)d, (uint8_t)b, (uint8_t)dev, (uint8_t)fn);
}

shpc_info bridge_record(const shpc_bridge *rec) {
    shpc_info info;
    memset(&info, 0, sizeof info);
    memcpy(&info, rec->info, sizeof rec->info);
    return info;
}

TEST_F(CapabilityWalk, FindsEachCapabilityAlongTheChain) {
    config_space c = adapter_space();  // PM at 0x40
    unsigned msi = c.cap(0x05, 0x18);
    unsigned exp = c.cap(PCI_CAP_ID_EXP, 0x3c);
    add("0000:01:00.0", c);
    snapshot();
    pci_function *f = function_named("0000:01:00.0");
    EXPECT_EQ(pci_find_capability(f, PCI_CAP_ID_PM), 0x40);
    EXPECT_EQ(pci_find_capability(f, 0x05), (int)msi);
    EXPECT_EQ(pci_find_capability(f, PCI_CAP_ID_EXP), (int)exp);
    EXPECT_EQ(pci_find_capability(f, PCI_CAP_ID_SHPC), 0);
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(CapabilityWalk, NoListBitOrEmptyListFindsNothing) {
    config_space no_bit = adapter_space();
    no_bit.put16(PCI_STATUS, 0);  // pointer and capability still in place
    add("0000:01:00.0", no_bit);
    config_space empty = adapter_space(false);
    empty.put16(PCI_STATUS, PCI_STATUS_CAP_LIST);  // bit set, pointer 0
    add("0000:01:01.0", empty);
    snapshot();
    EXPECT_EQ(pci_find_capability(function_named("0000:01:00.0"), PCI_CAP_ID_PM), 0);
    EXPECT_EQ(pci_find_capability(function_named("0000:01:01.0"), PCI_CAP_ID_PM), 0);
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(CapabilityWalk, PointerIsUsedAsReadWithItsLowBits) {
    config_space c = adapter_space(false);
    c.cap(0x05, 8, 0x41);  // an unaligned start is followed, not masked to 0x40
    c.cap(PCI_CAP_ID_PM, 8, 0x4a);
    add("0000:01:00.0", c);
    snapshot();
    EXPECT_EQ(pci_find_capability(function_named("0000:01:00.0"), PCI_CAP_ID_PM), 0x4a);
}

TEST_F(CapabilityWalk, LoopingChainEndsAndIsReported) {
    config_space c = adapter_space(false);
    unsigned a = c.cap(0x05, 8);
    unsigned b = c.cap(0x09, 8);
    c.b[b + PCI_CAP_NEXT] = (uint8_t)a;  // back to the first capability
    add("0000:01:00.0", c);
    config_space self = adapter_space(false);
    unsigned s = self.cap(0x05, 8);
    self.b[s + PCI_CAP_NEXT] = (uint8_t)s;  // points at itself
    add("0000:01:01.0", self);
    snapshot();
    EXPECT_EQ(pci_find_capability(function_named("0000:01:00.0"), PCI_CAP_ID_PM), 0);
    EXPECT_EQ(pci_find_capability(function_named("0000:01:01.0"), PCI_CAP_ID_PM), 0);
    std::vector<std::string> expected = {
        "there was a fatal error(4101).",
        "0000:01:00.0 capability list loops back to 0x40 at 0x49.",
        "there was a fatal error(4101).",
        "0000:01:01.0 capability list loops back to 0x40 at 0x41.",
    };
    EXPECT_EQ(log_messages(), expected);
}

TEST_F(CapabilityWalk, AllOnesPointerEndsAndIsReported) {
    config_space c = adapter_space(false);
    unsigned a = c.cap(0x05, 8);
    c.b[a + PCI_CAP_NEXT] = 0xff;
    add("0000:01:00.0", c);
    snapshot();
    EXPECT_EQ(pci_find_capability(function_named("0000:01:00.0"), PCI_CAP_ID_PM), 0);
    std::vector<std::string> expected = {
        "there was a fatal error(4102).",
        "0000:01:00.0 capability pointer 0xff at 0x41 is invalid.",
    };
    EXPECT_EQ(log_messages(), expected);
}

TEST_F(CapabilityWalk, ReadFailuresAreReportedAsNotFound) {
    config_space c = adapter_space(false);
    c.cap(0x05, 8, 0xf8);
    c.b[0xf9] = 0xfe;  // the next pointer leads to an ID past the end of a short file
    add("0000:01:00.0", c, 0xfc);
    snapshot();
    EXPECT_EQ(pci_find_capability(function_named("0000:01:00.0"), PCI_CAP_ID_PM), 0);
    std::vector<std::string> messages = log_messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], "there was a fatal error(a26).");
    EXPECT_EQ(messages[1], "0000:01:00.0(106)");
}

TEST_F(BridgeSearch, SearchStartsFromAnEmptyList) {
    config_space port = bridge_space(7);
    add_pcie(port, PCI_EXP_TYPE_DOWNSTREAM, true, PCI_EXP_SLTCAP_PCP);
    add("0000:02:01.0", port);
    snapshot();
    EXPECT_EQ(search_shpc(), 1);
    EXPECT_EQ(search_shpc(), 1);
    ASSERT_NE(g_shpc_bridges, nullptr);
    EXPECT_EQ(g_shpc_bridges->next, nullptr);
    EXPECT_EQ(g_shpc_bridges->prev, &g_shpc_bridges);
    shpc_info info = bridge_record(g_shpc_bridges);
    EXPECT_STREQ(info.bus_id, "0000:02:01.0");
    EXPECT_EQ(info.magic, BRIDGE_PCIE);
    EXPECT_EQ(info.secondary_bus, 7);
}

TEST_F(BridgeSearch, UnreadableRegistersFailTheSearch) {
    config_space shpc = bridge_space(5);
    add_shpc(shpc, 0x2);
    shpc.put32(0x40 + PCI_SHPC_DATA, 0);
    add("0000:00:1e.0", shpc, 0x44);  // the data DWORD lies past the end
    snapshot();
    EXPECT_EQ(search_shpc(), -1);
    std::vector<std::string> expected = {
        "there was a fatal error(9b5).",
        "0000:00:1e.0(406)",
        "callee search_shpc(2711).",
    };
    EXPECT_EQ(log_messages(), expected);
}

TEST_F(BridgeSearch, UnreadableSlotCapabilitiesFailTheSearch) {
    config_space port = bridge_space(7);
    unsigned cap = add_pcie(port, PCI_EXP_TYPE_DOWNSTREAM, true, PCI_EXP_SLTCAP_PCP);
    add("0000:02:01.0", port, cap + PCI_EXP_SLTCAP);
    snapshot();
    EXPECT_EQ(search_shpc(), -1);
    std::vector<std::string> expected = {
        "there was a fatal error(ad8).",
        "0000:02:01.0(64:206)",
    };
    EXPECT_EQ(log_messages(), expected);
}

shpc_info shpc_element(uint32_t mode, uint32_t avail1, uint32_t avail2, uint32_t slot_config) {
    shpc_info el;
    memset(&el, 0, sizeof el);
    el.magic = BRIDGE_SHPC;
    el.secondary_bus = 5;
    el.slots_available1 = avail1;
    el.slots_available2 = avail2;
    el.slot_config = slot_config;
    el.sec_bus_config = mode;
    strcpy(el.bus_id, "0000:00:1e.0");
    return el;
}

using SlotMatch = HotplugMachine;

TEST_F(SlotMatch, EachModeReadsItsOwnCountField) {
    // Each field holds a different count, so the wrong field shows.
    const uint32_t avail1 = 0x0d0c0b0a;  // 33 conv 10, 66 PCI-X 11, 100 PCI-X 12, 133 PCI-X 13
    const uint32_t avail2 = 0x00000007;  // 66 conv 7
    const uint8_t expected[SHPC_MODE_COUNT] = {10, 7, 11, 12, 13};
    for (uint32_t mode = 0; mode < SHPC_MODE_COUNT; mode++) {
        shpc_info el = shpc_element(mode | 0xf8, avail1 | 0xe0e0e0e0, avail2 | 0xffe0, 0x0300);
        EXPECT_EQ(shpc_slot_match(&el, 0, 5, 3), 1) << mode;
        EXPECT_EQ(el.slot_count, expected[mode]) << mode;
        EXPECT_EQ(el.first_device, 3) << mode;
        EXPECT_EQ(shpc_slot_match(&el, 0, 5, (uint8_t)(3 + expected[mode])), 0) << mode;
    }
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(SlotMatch, RangeEndingPastDeviceNumbersDoesNotWrap) {
    shpc_info el = shpc_element(SHPC_MODE_33_CONV, 0x1f, 0, 0x1f00);  // 31 slots from 31
    EXPECT_EQ(shpc_slot_match(&el, 0, 5, 31), 1);
    EXPECT_EQ(shpc_slot_match(&el, 0, 5, 30), 0);
    EXPECT_EQ(shpc_slot_match(&el, 0, 5, 0xff), 0);
    shpc_info none = shpc_element(SHPC_MODE_33_CONV, 0, 0, 0x0100);  // no slot at this speed
    EXPECT_EQ(shpc_slot_match(&none, 0, 5, 1), 0);
}

TEST_F(SlotMatch, PciExpressPortTakesItsWholeSecondaryBus) {
    shpc_info el;
    memset(&el, 0, sizeof el);
    el.magic = BRIDGE_PCIE;
    el.domain = 1;
    el.secondary_bus = 7;
    el.sec_bus_config = 7;  // never looked at
    EXPECT_EQ(shpc_slot_match(&el, 1, 7, 0), 1);
    EXPECT_EQ(shpc_slot_match(&el, 1, 7, 31), 1);
    EXPECT_EQ(shpc_slot_match(&el, 0, 7, 0), 0);
    EXPECT_EQ(shpc_slot_match(&el, 1, 8, 0), 0);
    EXPECT_EQ(el.first_device | el.slot_count, 0);
    EXPECT_TRUE(log_messages().empty());
}

}  // namespace
