// Failing field selection, bus IDs and what the append refuses. The record
// list is shown end to end by the sandbox's table, listing and edit tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conf/conf.h"
#include "conf/scan.h"
#include "conf_test_support.h"

namespace {

// The list as "text@line.column:field:flags ...", line ends shown as "$";
// checks the links on the way.
std::string dump(const conf_list *list) {
    std::string out;
    conf_record *const *prev = &list->first;
    for (conf_record *r = list->first; r; prev = &r->next, r = r->next) {
        EXPECT_EQ(r->prev, prev);
        EXPECT_EQ(r->size, strlen(r->text) + 1);
        char tail[48];
        snprintf(tail, sizeof tail, "@%u.%u:%u:%x", r->line, r->column, r->field, r->flags);
        out += (out.empty() ? "" : " ") + std::string(r->flags & REC_EOL ? "$" : r->text) + tail;
    }
    EXPECT_EQ(list->last, prev);
    return out;
}

void clear(conf_list *list) {
    while (list->first)
        conf_remove(list, list->first);
}

// Reads text into list with the collecting callbacks and on_end.
int load(conf_list *list, const std::string &text, int (*on_end)(void *), const char *filter = nullptr,
         std::vector<int32_t> fields = {}) {
    clear(list);
    temp_file f(text);
    conf_context ctx = {list, "t.conf", 1, 1, filter, {-1, -1, -1, -1}};
    for (size_t i = 0; i < fields.size(); i++)
        ctx.fields[i] = fields[i];
    scan_callbacks cb = {conf_begin, conf_collect, on_end, &ctx};
    unsigned detail = 0;
    int r = scan_stream(f.path, -1, 1000, &cb, &detail);
    EXPECT_TRUE(r == 0 || detail == SCAN_DETAIL_END) << detail;
    return r;
}

class Conf : public ::testing::Test {
protected:
    conf_list list_ = {nullptr, &list_.first};
    captured_log log_;
    void TearDown() override { clear(&list_); }
};

// The words chosen from matching lines are shown end to end with the volume
// manager's output and the alternative list; here what fails the selection.
TEST_F(Conf, SelectFailsOnMissingWords) {
    // Neither the line end nor a comment stands in for a missing word.
    for (const char *in : {"disk p q r\ndisk a b\nc\n", "disk p q # c\n", "disk p q"}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(load(&list_, in, conf_select, "disk", {2, 4}), -1) << in;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(1c8).\n");
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(&list_, "disk p\n", conf_select, "disk", {-1, 2}), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: there was a fatal error(2020).\n");
    EXPECT_EQ(dump(&list_), "disk@1.1:1:11 p@1.6:2:10 $@1.6:3:42") << "left alone";
}

TEST_F(Conf, GetBusid) {
    uint16_t domain;
    uint8_t bus, dev, func;
    for (const char *text : {"0000:05:00.0", "::1::5:0.f", "12345:05:0.F"}) {
        ASSERT_EQ(get_busid(text, 32, &domain, &bus, &dev, &func), 0) << text;
        EXPECT_EQ(bus, 5);
        EXPECT_TRUE(func == 0 || func == 0xf);
    }
    EXPECT_EQ(domain, 0x2345) << "the low 16 bits of a wider domain";
    const struct {
        const char *text, *loc;
    } bad[] = {{"0000:05:00", "2035"}, {"0000:05:0g.0", "2038"}, {"", "2032"},
               {"1:2:3..4", "2039"}, {"1:2:3.4.5", "2039"}, {"0x1:2:3.4", "2036"}};
    for (const auto &c : bad) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(get_busid(c.text, 32, nullptr, nullptr, nullptr, nullptr), -1) << c.text;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("ERROR: failed to get a busID(") + c.loc +
                      ").\nERROR: please refer to the manual for more information.\n");
    }
    EXPECT_EQ(log_.messages().back(), "0x1.\n") << "the copy, split up to its first separator";
    char unterminated[4] = {'1', ':', '2', ':'};
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_busid(unterminated, 4, nullptr, nullptr, nullptr, nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(log_.messages().back(), "bus_id_len 4");
}

class BusidAdd : public Conf {
protected:
    conf_list saved_ = g_hba_conf;
    void SetUp() override { g_hba_conf = {nullptr, &g_hba_conf.first}; }
    void TearDown() override {
        clear(&g_hba_conf);
        g_hba_conf = saved_;
    }
};

TEST_F(BusidAdd, RefusesWhatCouldNotBeReadBack) {
    ASSERT_EQ(load(&g_hba_conf, "a,/dev/sda 0:1:2.3\n", hba_addr_conf_check), 0);
    const std::string before = dump(&g_hba_conf);
    const unsigned L = scan_block_size();
    std::string longest = "a," + std::string(L - 3, 'x');
    const struct {
        std::string entry, busid;
        const char *callee;
    } cases[] = {
        {"b,/dev/sdb", "0:1:2", "8256"},  // bus ID that get_busid refuses
        {"", "0:1:2.3", "8257"},          // not one word
        {"my disk,/dev/sdb", "0:1:2.3", "8257"},
        {"a#b,/dev/sdb", "0:1:2.3", "8257"},
        {"a,/dev/sd\tb", "0:1:2.3", "8257"},
        {"a,/dev/\xe9", "0:1:2.3", "8257"},
        {longest + "x", "0:1:2.3", "8261"},  // longer than the reader takes
        {"a,/dev/sda", std::string(L - 6, '0') + ":1:2.3", "8261"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_hba_addr_conf_busid_add(c.entry.c_str(), c.busid.c_str(), L + 1), -1);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(log_.messages().back(),
                  std::string("callee parse_hba_addr_conf_busid_add(") + c.callee + ").\n");
    }
    EXPECT_EQ(dump(&g_hba_conf), before);
    EXPECT_EQ(parse_hba_addr_conf_busid_add(longest.c_str(), "0:1:2.3", 32), 1);
}

}  // namespace
