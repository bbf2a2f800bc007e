// Table writer: backups, held-back signals, and a replace killed at random
// moments. A table that cannot be written is shown in the sandbox.

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "conf/conf.h"
#include "conf/scan.h"
#include "conf_test_support.h"

namespace {

std::string slurp(const std::string &path, bool *exists = nullptr) {
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (exists)
        *exists = f;
    for (int c; f && (c = getc(f)) != EOF;)
        out += (char)c;
    if (f)
        fclose(f);
    return out;
}

// Replaces the table list by the tokens of text.
void set_table(const std::string &text) {
    while (g_hba_conf.first)
        conf_remove(&g_hba_conf, g_hba_conf.first);
    g_hba_conf.last = &g_hba_conf.first;
    // In memory: a child killed in here leaves no file behind.
    int fd = memfd_create("table", 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    lseek(fd, 0, SEEK_SET);
    conf_context ctx = {&g_hba_conf, "t", 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, nullptr, &ctx};
    ASSERT_EQ(scan_stream(nullptr, fd, 1000, &cb, nullptr), 0);
    close(fd);
}

// A table that names its generation in its first and last line, so that a
// file can be told to be one whole version of it.
std::string generation(unsigned gen, unsigned lines) {
    std::string out = "# generation " + std::to_string(gen) + "\n";
    for (unsigned i = 0; i < lines; i++)
        out += "g" + std::to_string(i) + ",/dev/sda 0000:05:00.0\n";
    return out + "# end " + std::to_string(gen) + "\n";
}

// Turns the table list of generation() into the given generation.
void set_generation(unsigned gen) {
    // prev points at the next field, the first member of the record before.
    conf_record *end = (conf_record *)conf_last(&g_hba_conf)->prev;
    for (conf_record *r : {g_hba_conf.first, end}) {
        std::string text = (r == end ? "# end " : "# generation ") + std::to_string(gen);
        free(r->text);
        r->text = strdup(text.c_str());
        r->size = (uint32_t)text.size() + 1;
    }
}
long generation_of(const std::string &text, unsigned lines) {
    unsigned gen;
    if (sscanf(text.c_str(), "# generation %u", &gen) != 1 || text != generation(gen, lines))
        return -1;
    return gen;
}

class Writer : public ::testing::Test {
protected:
    std::string dir_, table_;
    void SetUp() override {
        char tmpl[] = "/dev/shm/writer_test.XXXXXX";  // tmpfs: syncs cost nothing
        char tmpl2[] = "/tmp/writer_test.XXXXXX";
        dir_ = mkdtemp(tmpl) ? tmpl : mkdtemp(tmpl2);
        table_ = dir_ + "/hba_addr.conf";
    }
    void TearDown() override {
        for (const std::string &f : files())
            unlink((dir_ + "/" + f).c_str());
        rmdir(dir_.c_str());
    }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        DIR *d = opendir(dir_.c_str());
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(e->d_name);
        closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }
    void write_file(const std::string &name, const std::string &text) {
        FILE *f = fopen((dir_ + "/" + name).c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
    }
};

TEST_F(Writer, ReplaceKeepsTenBackups) {
    write_file("hba_addr.conf", "old 0:0:0.0\n");
    chmod(table_.c_str(), 0644);
    for (int gen = 1; gen <= 12; gen++) {
        set_table("v" + std::to_string(gen) + " 0:1:2.3\n");
        ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    }
    EXPECT_EQ(files().size(), 11u);
    EXPECT_EQ(slurp(table_), "v12 0:1:2.3\n");
    EXPECT_EQ(slurp(table_ + ".1"), "v11 0:1:2.3\n");
    EXPECT_EQ(slurp(table_ + ".10"), "v2 0:1:2.3\n");
    struct stat st;
    ASSERT_EQ(stat(table_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "owner only, whatever the old file had";

    // A gap in the numbering moves up one step; a new path gets no backup.
    TearDown();
    SetUp();
    write_file("hba_addr.conf", "cur 0:0:0.0\n");
    write_file("hba_addr.conf.3", "three 0:0:0.0\n");
    ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    ASSERT_EQ(save_hba_addr_conf((dir_ + "/new").c_str()), 0);
    EXPECT_EQ(files(), (std::vector<std::string>{"hba_addr.conf", "hba_addr.conf.1",
                                                 "hba_addr.conf.4", "new"}));
    EXPECT_EQ(slurp(table_ + ".4"), "three 0:0:0.0\n");
}

TEST_F(Writer, HeldBackSignalsAreLogged) {
    captured_log log;
    set_table("a 0:0:0.0\n");
    sigset_t held, old;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGHUP);
    sigprocmask(SIG_BLOCK, &held, &old);
    kill(getpid(), SIGTERM);
    kill(getpid(), SIGHUP);
    ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    EXPECT_EQ(log.messages().back(), "pending signal 0x4001\n");
    struct timespec zero = {0, 0};
    int sum = sigtimedwait(&held, nullptr, &zero) + sigtimedwait(&held, nullptr, &zero);
    EXPECT_EQ(sum, SIGHUP + SIGTERM) << "the caller's mask, still blocking them, came back";
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

// A child replaces the table over and over and is killed with SIGKILL at a
// random moment, 500 times; each time the table must be one whole version,
// and so must every backup, in order. Every other round aims: the child is
// stopped at random moments until it is caught inside a replace (temporary
// file present, or P already linked as P.1) and killed there.
TEST_F(Writer, ReplaceKilledAtRandomMomentsNeverLosesTheTable) {
    const unsigned lines = 40;
    set_table(generation(0, lines));
    struct timeval t0, t1;
    gettimeofday(&t0, nullptr);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    gettimeofday(&t1, nullptr);
    unsigned save_us = (unsigned)((t1.tv_sec - t0.tv_sec) * 1000000 + t1.tv_usec - t0.tv_usec) / 5;

    auto in_replace = [&](ino_t *linked) {
        struct stat a, b;
        if (stat(table_.c_str(), &a) == -1)
            return true;  // never, but then certainly inside
        *linked = stat((table_ + ".1").c_str(), &b) == 0 && a.st_ino == b.st_ino ? a.st_ino : 0;
        return *linked || files().back().size() == 19;  // a temporary name sorts last
    };
    unsigned seed = (unsigned)getpid(), aimed_hits = 0, linked_hits = 0;
    for (int round = 1; round <= 500; round++) {
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            for (unsigned gen = round * 1000u;; gen++) {
                set_generation(gen);
                if (save_hba_addr_conf(table_.c_str()) != 0)
                    _exit(2);
            }
        }
        usleep(rand_r(&seed) % (3 * save_us + 1000));
        ino_t linked = 0;
        for (int peek = 0; round % 2 == 0 && peek < 40; peek++) {
            kill(child, SIGSTOP);
            waitpid(child, nullptr, WUNTRACED);
            if (in_replace(&linked)) {
                aimed_hits++;
                linked_hits += linked != 0;
                break;
            }
            kill(child, SIGCONT);
            usleep(rand_r(&seed) % (save_us / 4 + 1));
        }
        kill(child, SIGKILL);
        int status;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;

        bool exists;
        long newer = generation_of(slurp(table_, &exists), lines);
        ASSERT_TRUE(exists) << "table missing after kill " << round;
        ASSERT_NE(newer, -1) << "table incomplete after kill " << round;
        for (int b = 1; b <= 10; b++) {
            std::string data = slurp(table_ + "." + std::to_string(b), &exists);
            long g = generation_of(data, lines);
            ASSERT_TRUE(!exists || (g != -1 && g <= newer)) << "backup " << b << ", kill " << round;
            newer = exists ? g : newer;
        }
        for (const std::string &f : files())  // the killed replace's temporary file
            if (f.size() == 19)
                unlink((dir_ + "/" + f).c_str());
        if (linked) {  // one whole replace, so that the next look is telling
            set_generation(round * 1000u + 999);
            ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
        }
    }
    printf("one replace %u us; 500 kills, %u aimed ones inside a replace, %u of them with P "
           "linked as P.1 before the rename\n", save_us, aimed_hits, linked_hits);
}

}  // namespace
