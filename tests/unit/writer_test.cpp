// Table writer: output text, replace with backups, held-back signals, and
// a replace killed at random moments.

// readdir of an i386 program fails on ext4's 64-bit directory offsets
// without the large-file interfaces.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <stdio_ext.h>

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
        *exists = f != nullptr;
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

void spit(const std::string &path, const std::string &data) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f) << path;
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

void clear_table(void) {
    if (!g_hba_conf.last) {
        g_hba_conf.first = nullptr;
        g_hba_conf.last = &g_hba_conf.first;
    }
    while (g_hba_conf.first)
        conf_remove(&g_hba_conf, g_hba_conf.first);
}

// Loads text into the table list the way the command does.
int load_table(const std::string &path, const std::string &text) {
    clear_table();
    spit(path, text);
    conf_context ctx = {&g_hba_conf, path.c_str(), 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, hba_addr_conf_check, &ctx};
    unsigned detail = 0;
    return scan_stream(path.c_str(), -1, 1000, &cb, &detail);
}

// A table that names its own generation on every line, so that any file
// can be told to be one whole version of it.
std::string generation_text(unsigned gen, unsigned lines) {
    std::string out = "# generation " + std::to_string(gen) + "\n";
    char line[96];
    for (unsigned i = 0; i < lines; i++) {
        snprintf(line, sizeof line, "g%u_%u,/dev/sd%c 0000:%02x:%02x.%x\n", gen, i, 'a' + i % 26,
                 gen % 256, i % 32, i % 8);
        out += line;
    }
    return out + "# end " + std::to_string(gen) + "\n";
}

// The generation a file holds, or -1 unless it is one whole version.
long generation_of(const std::string &text, unsigned lines) {
    unsigned gen;
    if (sscanf(text.c_str(), "# generation %u\n", &gen) != 1)
        return -1;
    return text == generation_text(gen, lines) ? (long)gen : -1;
}

class WriterTest : public ::testing::Test {
protected:
    std::string dir_;
    std::string table_;

    void SetUp() override {
        char tmpl[] = "/tmp/writer_test.XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir_ = tmpl;
        table_ = dir_ + "/hba_addr.conf";
    }
    void TearDown() override {
        clear_table();
        DIR *d = opendir(dir_.c_str());
        if (d) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    unlink((dir_ + "/" + e->d_name).c_str());
            closedir(d);
        }
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
    std::string printed() {
        std::string out = dir_ + "/printed";
        FILE *f = fopen(out.c_str(), "w");
        EXPECT_EQ(print_hba_addr_conf(f, nullptr), 0);
        fclose(f);
        return slurp(out);
    }
};

TEST_F(WriterTest, PrintNormalisesBlanksAndKeepsCommentsAndBlankLines) {
    ASSERT_EQ(load_table(table_, "  a,/dev/sda\t0000:05:00.0\n# c  d\t#\n\n\t b 1:2:3.4   #  x\n"
                                 "c,/dev/sdc 0:1:2.3"),
              0);
    EXPECT_EQ(printed(),
              "a,/dev/sda 0000:05:00.0\n# c  d\t#\n\nb 1:2:3.4 #  x\nc,/dev/sdc 0:1:2.3\n");

    // Deleted records are not printed, and leave no stray blank behind.
    for (conf_record *r = g_hba_conf.first; r; r = r->next)
        if (r->line == 4)
            r->flags |= REC_DELETED;
    EXPECT_EQ(printed(), "a,/dev/sda 0000:05:00.0\n# c  d\t#\n\nc,/dev/sdc 0:1:2.3\n");

    ASSERT_EQ(load_table(table_, ""), 0);
    EXPECT_EQ(printed(), "");
}

TEST_F(WriterTest, ReplaceKeepsTenBackups) {
    ASSERT_EQ(load_table(table_, "old 0:0:0.0\n"), 0);
    chmod(table_.c_str(), 0644);
    ASSERT_EQ(load_table(dir_ + "/src", "a,/dev/sda 0:1:2.3\n"), 0);
    unlink((dir_ + "/src").c_str());
    ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    EXPECT_EQ(files(), (std::vector<std::string>{"hba_addr.conf", "hba_addr.conf.1"}));
    EXPECT_EQ(slurp(table_), "a,/dev/sda 0:1:2.3\n");
    EXPECT_EQ(slurp(table_ + ".1"), "old 0:0:0.0\n");
    struct stat st;
    ASSERT_EQ(stat(table_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "owner only, whatever the old file had";

    for (unsigned gen = 2; gen <= 12; gen++) {
        clear_table();
        ASSERT_EQ(parse_hba_addr_conf_busid_add(("v" + std::to_string(gen) + ",/dev/sda").c_str(),
                                                "0:1:2.3", 32),
                  1);
        ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    }
    std::vector<std::string> expected = {"hba_addr.conf"};
    for (int i = 1; i <= 10; i++)
        expected.push_back("hba_addr.conf." + std::to_string(i));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files(), expected);
    EXPECT_EQ(slurp(table_), "v12,/dev/sda 0:1:2.3\n");
    EXPECT_EQ(slurp(table_ + ".1"), "v11,/dev/sda 0:1:2.3\n");
    EXPECT_EQ(slurp(table_ + ".10"), "v2,/dev/sda 0:1:2.3\n");
}

TEST_F(WriterTest, GapsInTheBackupsMoveUpOneStep) {
    spit(table_, "cur 0:0:0.0\n");
    spit(table_ + ".3", "three 0:0:0.0\n");
    ASSERT_EQ(load_table(dir_ + "/src", "new 0:0:0.0\n"), 0);
    unlink((dir_ + "/src").c_str());
    ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    EXPECT_EQ(files(),
              (std::vector<std::string>{"hba_addr.conf", "hba_addr.conf.1", "hba_addr.conf.4"}));
    EXPECT_EQ(slurp(table_ + ".1"), "cur 0:0:0.0\n");
    EXPECT_EQ(slurp(table_ + ".4"), "three 0:0:0.0\n");
}

TEST_F(WriterTest, FirstWriteOfANewPathMakesNoBackup) {
    ASSERT_EQ(load_table(dir_ + "/src", "a 0:0:0.0\n"), 0);
    std::string out = dir_ + "/out.conf";
    ASSERT_EQ(save_hba_addr_conf(out.c_str()), 0);
    EXPECT_EQ(slurp(out), "a 0:0:0.0\n");
    EXPECT_EQ(files(), (std::vector<std::string>{"out.conf", "src"}));
}

TEST_F(WriterTest, TemporaryFileThatCannotBeMadeLeavesEverythingAlone) {
    captured_log log;
    spit(table_, "cur 0:0:0.0\n");
    ASSERT_EQ(load_table(table_, "cur 0:0:0.0\n"), 0);
    std::string missing = dir_ + "/no/such/dir/hba_addr.conf";
    testing::internal::CaptureStderr();
    EXPECT_EQ(save_hba_addr_conf(missing.c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    std::string prefix = "ERROR: " + missing;
    ASSERT_EQ(err.compare(0, prefix.size(), prefix), 0) << err;
    // The temporary name: the target with six characters of mkstemp's.
    EXPECT_EQ(err.size(), prefix.size() + 6 + strlen(": an input/output error has occurred(2:2064).\n"));
    EXPECT_NE(err.find(": an input/output error has occurred(2:2064).\n"), std::string::npos) << err;
    EXPECT_EQ(files(), (std::vector<std::string>{"hba_addr.conf"}));
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    EXPECT_FALSE(sigismember(&now, SIGTERM)) << "mask restored on failure";
}

TEST_F(WriterTest, WriteErrorsAreReported) {
    captured_log log;
    std::string big;
    for (int i = 0; i < 3000; i++)
        big += "label" + std::to_string(i) + ",/dev/sda 0:1:2.3\n";
    ASSERT_EQ(load_table(table_, big), 0);
    FILE *full = fopen("/dev/full", "w");
    ASSERT_TRUE(full);
    testing::internal::CaptureStderr();
    EXPECT_EQ(print_hba_addr_conf(full, "/dev/full"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: /dev/full: an input/output error has occurred(1c:2050).\n");
    fclose(full);

    // Listing into a standard output that takes nothing.
    fflush(stdout);
    int saved = dup(1);
    int devfull = open("/dev/full", O_WRONLY);
    ASSERT_NE(devfull, -1);
    dup2(devfull, 1);
    close(devfull);
    testing::internal::CaptureStderr();
    int r = save_hba_addr_conf(nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    __fpurge(stdout);
    clearerr(stdout);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(err, "ERROR: (stdout): an input/output error has occurred(1c:2050).\n");
    EXPECT_EQ(log.messages().back(), "(stdout): an input/output error has occurred(1c:2050).\n");
}

TEST_F(WriterTest, SignalsArrivingDuringTheReplaceWaitAndAreLogged) {
    captured_log log;
    ASSERT_EQ(load_table(table_, "a 0:0:0.0\n"), 0);
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaddset(&term, SIGHUP);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &term, &old), 0);
    kill(getpid(), SIGTERM);
    kill(getpid(), SIGHUP);
    ASSERT_EQ(save_hba_addr_conf(table_.c_str()), 0);
    EXPECT_EQ(log.messages().back(), "pending signal 0x4001\n");
    // The caller's mask comes back as it was: still blocked here.
    sigset_t now;
    sigprocmask(SIG_BLOCK, nullptr, &now);
    EXPECT_TRUE(sigismember(&now, SIGTERM));
    struct timespec zero = {0, 0};
    int first = sigtimedwait(&term, nullptr, &zero);
    int second = sigtimedwait(&term, nullptr, &zero);
    EXPECT_EQ(first + second, SIGHUP + SIGTERM);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(slurp(table_), "a 0:0:0.0\n");
}

TEST_F(WriterTest, TermDuringListingEndsTheProcessAfterTheWholeTable) {
    const std::string text = generation_text(7, 8000);  // far more than a pipe holds
    ASSERT_EQ(load_table(table_, text), 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::string log_path = dir_ + "/user.log";
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        g_log = log_open("writer_test", log_path.c_str(), 0x100000, 4, nullptr);
        dup2(p[1], 1);
        close(p[0]);
        close(p[1]);
        save_hba_addr_conf(nullptr);
        _exit(3);  // only reached if the signal was lost
    }
    close(p[1]);
    usleep(300 * 1000);  // the child is now stuck on the full pipe
    kill(child, SIGTERM);
    usleep(100 * 1000);
    int status;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "SIGTERM is held back while listing";
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    close(p[0]);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(out.size(), text.size());
    EXPECT_TRUE(out == text);
    std::string log_text = slurp(log_path);
    EXPECT_NE(log_text.find(">pending signal 0x4000\n"), std::string::npos) << log_text;
}

// What a stopped replacing child has left on disk at this moment.
enum replace_phase {
    PHASE_OTHER,
    PHASE_TEMP,     // a temporary file exists: writing, shifting or renaming
    PHASE_LINKED,   // P is also P.1: shifted, not yet renamed
    PHASE_MISSING,  // no P at all
};

replace_phase phase_of(const std::string &table) {
    struct stat a, b;
    if (stat(table.c_str(), &a) == -1)
        return PHASE_MISSING;
    if (stat((table + ".1").c_str(), &b) == 0 && a.st_ino == b.st_ino)
        return PHASE_LINKED;
    std::string dir = table.substr(0, table.rfind('/'));
    std::string base = table.substr(table.rfind('/') + 1);
    replace_phase phase = PHASE_OTHER;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (strlen(e->d_name) == base.size() + 6 && strncmp(e->d_name, base.c_str(), base.size()) == 0)
            phase = PHASE_TEMP;
    closedir(d);
    return phase;
}

// Fills the table list with generation_text(gen, lines), token by token.
void build_generation(unsigned gen, unsigned lines) {
    clear_table();
    conf_context ctx = {&g_hba_conf, "t", 1, 1, nullptr, {-1, -1, -1, -1}};
    std::string text = generation_text(gen, lines);
    size_t pos = 0;
    for (unsigned ln = 1; pos < text.size(); ln++) {
        size_t end = text.find('\n', pos);
        std::string l = text.substr(pos, end - pos);
        if (l[0] == '#') {
            conf_collect(&ctx, l.c_str(), (unsigned)l.size() + 1, ln, 1, TOKEN_COMMENT);
        } else {
            size_t sp = l.find(' ');
            conf_collect(&ctx, l.substr(0, sp).c_str(), (unsigned)sp + 1, ln, 1, TOKEN_WORD);
            conf_collect(&ctx, l.c_str() + sp + 1, (unsigned)(l.size() - sp), ln, (unsigned)sp + 2,
                         TOKEN_WORD);
        }
        conf_collect(&ctx, "\n", 2, ln, (unsigned)l.size(), TOKEN_EOL);
        pos = end + 1;
    }
}

// A child replaces the table over and over and is killed with SIGKILL at a
// random moment; each time the table must be one whole version, and so must
// every backup, and the backups must be in order. Every other round aims:
// the child is stopped at random moments until it is caught inside the
// replace (temporary file present, or P linked as P.1), and killed there.
// The directory is on tmpfs when there is one, so that the syncs do not
// take up nearly all of the time.
TEST_F(WriterTest, ReplaceKilledAtRandomMomentsNeverLosesTheTable) {
    const unsigned lines = 40;
    const int kills = 500;
    const int peeks_per_aimed_round = 40;
    char shm_dir[] = "/dev/shm/writer_crash.XXXXXX";
    std::string dir = mkdtemp(shm_dir) ? std::string(shm_dir) : dir_;
    std::string table = dir + "/hba_addr.conf";

    build_generation(0, lines);
    ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
    struct timeval t0, t1;
    gettimeofday(&t0, nullptr);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
    gettimeofday(&t1, nullptr);
    long save_us = ((t1.tv_sec - t0.tv_sec) * 1000000 + (t1.tv_usec - t0.tv_usec)) / 5 + 1;

    unsigned seed = (unsigned)getpid();
    unsigned killed_in[4] = {0, 0, 0, 0};
    for (int round = 1; round <= kills; round++) {
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            for (unsigned gen = (unsigned)round * 1000;; gen++) {
                build_generation(gen, lines);
                if (save_hba_addr_conf(table.c_str()) != 0)
                    _exit(2);
            }
        }
        usleep((useconds_t)(rand_r(&seed) % (unsigned)(3 * save_us + 1000)));
        replace_phase phase = PHASE_OTHER;
        if (round % 2 == 0) {
            for (int peek = 0; peek < peeks_per_aimed_round; peek++) {
                kill(child, SIGSTOP);
                int st;
                ASSERT_EQ(waitpid(child, &st, WUNTRACED), child);
                phase = phase_of(table);
                if (phase != PHASE_OTHER)
                    break;
                kill(child, SIGCONT);
                usleep((useconds_t)(rand_r(&seed) % (unsigned)(save_us / 4 + 1)));
            }
        }
        kill(child, SIGKILL);
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself: " << status;
        killed_in[phase]++;

        bool exists;
        long gen = generation_of(slurp(table, &exists), lines);
        ASSERT_TRUE(exists) << "table missing after kill " << round;
        ASSERT_NE(gen, -1) << "table incomplete after kill " << round;
        long newer = gen;
        for (int b = 1; b <= 10; b++) {
            std::string name = table + "." + std::to_string(b);
            std::string data = slurp(name, &exists);
            if (!exists)
                continue;
            long g = generation_of(data, lines);
            ASSERT_NE(g, -1) << name << " incomplete after kill " << round;
            ASSERT_LE(g, newer) << name << " out of order after kill " << round;
            newer = g;
        }
        // A killed replace leaves its temporary file; clear it for the next.
        DIR *d = opendir(dir.c_str());
        while (dirent *e = readdir(d))
            if (strlen(e->d_name) == strlen("hba_addr.conf") + 6)
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
        // A kill between link and rename leaves P also named P.1 until the
        // next replace; one whole replace here keeps the next round's look
        // at the directory telling.
        if (phase_of(table) == PHASE_LINKED) {
            build_generation((unsigned)round * 1000 + 999, lines);
            ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
        }
    }
    printf("one replace %ld us; of %d kills %u while a temporary file existed, %u with P "
           "linked as P.1 before the rename, %u elsewhere\n",
           save_us, kills, killed_in[PHASE_TEMP], killed_in[PHASE_LINKED], killed_in[PHASE_OTHER]);
    EXPECT_EQ(killed_in[PHASE_MISSING], 0u) << "seen with P missing while stopped";
    if (dir != dir_) {
        for (int b = 0; b <= 10; b++)
            unlink((b ? table + "." + std::to_string(b) : table).c_str());
        rmdir(dir.c_str());
    }
}

}  // namespace
