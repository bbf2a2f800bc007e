// Label edits on the in-memory table: first words longer than the reader
// takes are still compared whole.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "conf/conf.h"
#include "conf/scan.h"
#include "core/label_edit.h"

namespace {

// Builds the table list from entry lines given as (first word, bus ID).
void load(const std::vector<std::pair<std::string, std::string>> &entries) {
    conf_context ctx = {&g_hba_conf, "hba_addr.conf", 1, 1, nullptr, {-1, -1, -1, -1}};
    conf_begin(&ctx);
    unsigned line = 1;
    for (const auto &e : entries) {
        ASSERT_EQ(conf_collect(&ctx, e.first.c_str(), e.first.size() + 1, line, 1, TOKEN_WORD), 1);
        ASSERT_EQ(conf_collect(&ctx, e.second.c_str(), e.second.size() + 1, line,
                               e.first.size() + 2, TOKEN_WORD),
                  1);
        ASSERT_EQ(conf_collect(&ctx, "\n", 2, line++, 0, TOKEN_EOL), 1);
    }
}

std::vector<std::string> first_words() {
    std::vector<std::string> out;
    for (conf_record *r = g_hba_conf.first; r; r = r->next) {
        if (r->flags & REC_FIRST) {
            EXPECT_EQ(r->size, strlen(r->text) + 1) << r->text;
            out.push_back(r->text);
        }
    }
    return out;
}

void clear_table() {
    while (g_hba_conf.first)
        conf_remove(&g_hba_conf, g_hba_conf.first);
}

class LabelEdit : public ::testing::Test {
protected:
    void TearDown() override { clear_table(); }
};

// Words longer than a line can hold come only from a system whose line
// maximum is larger; the label is still compared whole.
TEST_F(LabelEdit, LongFirstWordIsComparedWhole) {
    std::string label(2100, 'L');
    std::string word = label + ",/dev/sdb";
    load({{word, "0000:05:00.0"}, {"A,/dev/sda", "0000:06:00.0"}});
    EXPECT_EQ(parse_hba_addr_conf_delete(label.substr(0, 2049).c_str()), 0);
    EXPECT_EQ(parse_hba_addr_conf_delete((label + "L").c_str()), 0);
    EXPECT_EQ(parse_hba_addr_conf_change(label.substr(0, 2049).c_str(), "B"), 0);
    EXPECT_EQ(parse_hba_addr_conf_change(label.c_str(), "B"), 1);
    EXPECT_EQ(first_words(), (std::vector<std::string>{"B,/dev/sdb", "A,/dev/sda"}));
    EXPECT_EQ(parse_hba_addr_conf_change("B", label.c_str()), -1) << "too long to read back";
}

}  // namespace
