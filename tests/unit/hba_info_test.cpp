// Building the two records of a registration from a fixture machine and a
// table: assignment of adapters to bridges, duplicates, counts and sizes,
// adapter fields, and the failures that stop a registration.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "hotplug_test_support.h"

namespace {

class Records : public HotplugMachine {
protected:
    shpc_info_table *table = nullptr;
    hba_info_array *array = nullptr;

    void TearDown() override {
        hba_records_free(table, array);
        HotplugMachine::TearDown();
    }

    int build() {
        hba_records_free(table, array);
        return build_shpc_hba_info_dir(pci_dir.c_str(), &table, &array);
    }

    // The bus IDs of an array, in order.
    static std::vector<std::string> ids(const hba_info_array *a) {
        std::vector<std::string> out;
        for (uint32_t i = 0; i < a->count; i++)
            out.push_back(a->elements[i].bus_id);
        return out;
    }

    // The element of the table for the bridge with this bus ID.
    int element(const char *bus_id) {
        for (uint32_t i = 0; i < table->count; i++)
            if (strcmp(table->elements[i].bus_id, bus_id) == 0)
                return (int)i;
        ADD_FAILURE() << "no element " << bus_id;
        return 0;
    }

    const hba_info_array *hbas_of(int i) { return shpc_table_links(table)[i].hbas; }

    // A PCI Express downstream port with a powered slot on secondary bus.
    void add_port(const char *name, uint8_t secondary) {
        config_space port = bridge_space(secondary);
        add_pcie(port, PCI_EXP_TYPE_DOWNSTREAM, true, PCI_EXP_SLTCAP_PCP);
        add(name, port);
    }
};

TEST_F(Records, WithoutHotPlugBridgesEveryAdapterIsPlain) {
    add("0000:05:00.0", adapter_space(true, 0x1000, 0x0030, 0x07));
    add("0000:03:00.0", adapter_space());
    add("0000:00:1d.0", bridge_space(5));  // a bridge without hot-plug capability
    load_table("b,/dev/sdb 0000:05:00.0\n# comment\n\na,/dev/sda 0000:03:00.0 # HBA\n");
    ASSERT_EQ(build(), 0);

    EXPECT_EQ(table->count, 0u);
    EXPECT_EQ(table->total_size, 20u);
    EXPECT_EQ(table->max_hba_count, 0u);
    EXPECT_EQ(table->err_num, 0);
    EXPECT_EQ(table->device_err_num, 0);
    ASSERT_EQ(ids(array), (std::vector<std::string>{"0000:05:00.0", "0000:03:00.0"}));
    EXPECT_EQ(array->err_num, 0);

    const hba_info &h = array->elements[0];
    EXPECT_EQ(h.magic, HBA_INFO_MAGIC);
    EXPECT_EQ(h.alt_pm, 0u);
    EXPECT_EQ(h.domain, 0);
    EXPECT_EQ(h.bus, 5);
    EXPECT_EQ(h.device, 0);
    EXPECT_EQ(h.function, 0);
    EXPECT_EQ(h.revision_id, 0x07);
    EXPECT_EQ(h.pm_cap, 0x40);
    EXPECT_EQ(h.header_type, 0x80);
    char expected_id[BUS_ID_SIZE] = "0000:05:00.0";
    EXPECT_EQ(memcmp(h.bus_id, expected_id, BUS_ID_SIZE), 0);  // zero after the text
    EXPECT_EQ(g_pci_snapshot, nullptr);                     // freed once built
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(Records, EmptyTableSendsEmptyArrays) {
    add_port("0000:00:1c.0", 7);
    ASSERT_EQ(build(), 0);
    EXPECT_EQ(array->count, 0u);
    ASSERT_EQ(table->count, 1u);
    EXPECT_EQ(table->elements[0].hba_count, 0u);
    ASSERT_NE(hbas_of(0), nullptr);
    EXPECT_EQ(hbas_of(0)->count, 0u);
    EXPECT_EQ(table->total_size, 20u + 76u + 8u);
}

TEST_F(Records, AdaptersGoToTheBridgeOfTheirOwnBus) {
    add_port("0000:00:1c.0", 7);
    config_space shpc = bridge_space(5);
    add_shpc(shpc, 0x00000102);  // plain file: every register reads 0x102: mode 2, one slot at 1
    add("0000:00:1e.0", shpc);
    add("0000:07:00.0", adapter_space());
    add("0000:07:00.1", adapter_space());
    add("0000:07:01.0", bridge_space(8));  // a plain bridge below the port
    add("0000:08:00.0", adapter_space());  // one bridge further down: plain
    add("0000:05:01.0", adapter_space());
    add("0000:05:02.0", adapter_space());  // outside the SHPC's one slot: plain
    load_table("a,/dev/sda 0000:07:00.1\n"
               "b,/dev/sdb 0000:08:00.0\n"
               "c,/dev/sdc 0000:05:01.0\n"
               "d,/dev/sdd 0000:07:00.0\n"
               "e,/dev/sde 0000:05:02.0\n");
    ASSERT_EQ(build(), 0);

    ASSERT_EQ(table->count, 2u);
    int port = element("0000:00:1c.0");
    int hot = element("0000:00:1e.0");
    EXPECT_EQ(table->elements[port].magic, BRIDGE_PCIE);
    EXPECT_EQ(table->elements[hot].magic, BRIDGE_SHPC);
    EXPECT_EQ(ids(hbas_of(port)), (std::vector<std::string>{"0000:07:00.1", "0000:07:00.0"}));
    EXPECT_EQ(ids(hbas_of(hot)), (std::vector<std::string>{"0000:05:01.0"}));
    EXPECT_EQ(ids(array), (std::vector<std::string>{"0000:08:00.0", "0000:05:02.0"}));
    EXPECT_EQ(table->elements[port].hba_count, 2u);
    EXPECT_EQ(table->elements[hot].hba_count, 1u);
    EXPECT_EQ(table->max_hba_count, 2u);
    EXPECT_EQ(table->total_size, 20u + 2 * 76u + (8u + 2 * 36u) + (8u + 36u));
    EXPECT_EQ(table->elements[hot].first_device, 1);
    EXPECT_EQ(table->elements[hot].slot_count, 1);
    EXPECT_EQ(table->elements[port].first_device | table->elements[port].slot_count, 0);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(table->elements[i].hbas, record_address(hbas_of(i)));
        EXPECT_EQ(shpc_table_links(table)[i].count, table->elements[i].hba_count);
    }
}

TEST_F(Records, DuplicatesAreSentOnceAndMarked) {
    add("0000:05:00.0", adapter_space());
    add("0000:05:00.1", adapter_space());
    load_table("a,/dev/sda 0000:05:00.0\n"
               "b,/dev/sdb 0000:05:00.1\n"
               "c,/dev/sdc 0:5:0.0\n"  // the same function written differently
               "d,/dev/sdd 0000:05:00.0\n");
    ASSERT_EQ(build(), 0);
    EXPECT_EQ(ids(array), (std::vector<std::string>{"0000:05:00.0", "0000:05:00.1"}));
    std::vector<bool> marks;
    for (const conf_record *r = g_hba_conf.first; r; r = r->next)
        if (is_busid_entry(r))
            marks.push_back(is_duplicate(r));
    EXPECT_EQ(marks, (std::vector<bool>{false, false, true, true}));

    // A second registration in the same run marks the same entries.
    ASSERT_EQ(build(), 0);
    EXPECT_EQ(array->count, 2u);
}

TEST_F(Records, BusIdTooLongForTheRecordIsRefused) {
    add("0000:05:00.0", adapter_space());
    // 21 characters that still name 0000:05:00.0.
    load_table("a,/dev/sda 0000000000000:05:00.0\n");
    EXPECT_EQ(build(), -1);
    std::vector<std::string> expected = {
        "there was a fatal error(4103).",
        "device 0000000000000:05:00.0 bus ID is longer than 19 characters.",
        "callee build_shpc_hba_info_sub(3446).",
        "callee build_shpc_hba_info(3638).",
    };
    EXPECT_EQ(log_messages(), expected);

    load_table("a,/dev/sda 00000000000:05:00.0\n");  // 19 characters: the most that fits
    ASSERT_EQ(build(), 0);
    ASSERT_EQ(array->count, 1u);
    EXPECT_EQ(std::string(array->elements[0].bus_id, BUS_ID_SIZE),
              std::string("00000000000:05:00.0\0", BUS_ID_SIZE));
}

TEST_F(Records, MissingDevicesDirectoryFailsTheScan) {
    pci_dir = root + "/absent";
    EXPECT_EQ(build(), -1);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(array, nullptr);
    std::vector<std::string> expected = {"there was a fatal error(dc5).", "pci scan false(a)"};
    EXPECT_EQ(log_messages(), expected);
}

TEST_F(Records, TableLayoutKeepsLinksOutsideTheRecord) {
    size_t size = 0;
    shpc_info_table *t = shpc_table_alloc(3, &size);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->count, 3u);
    EXPECT_EQ(shpc_table_count(t), 3u);
    const char *record_end = (const char *)t + shpc_table_size(3);
    EXPECT_GE((const char *)shpc_table_links(t), record_end);
    EXPECT_EQ(shpc_table_size(3), 20u + 3 * 76u);
    EXPECT_EQ(hba_array_size(2), 8u + 2 * 36u);
    // What the driver may write into the record changes none of it.
    memset(t, 0xff, shpc_table_size(3));
    EXPECT_EQ(shpc_table_count(t), 3u);
    hba_info_array *a = hba_array_alloc(2, nullptr);
    ASSERT_NE(a, nullptr);
    shpc_element_set_hbas(t, 1, a, 2);
    EXPECT_EQ(shpc_table_links(t)[1].hbas, a);
    EXPECT_EQ(t->elements[1].hbas, record_address(a));
    hba_records_free(t, nullptr);
}

}  // namespace
