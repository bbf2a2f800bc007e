// Table writer: a child replacing the table over and over is killed with
// SIGKILL at a random moment, 500 times; each time the table must be one
// whole version, and so must every backup, each older than the one before.
// Every other round aims: the child is stopped at random moments until it
// is caught inside a replace (a temporary file present, or P already linked
// as P.1) and killed there.
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>

#include "conf/conf.h"
#include "conf/scan.h"
#include "support.h"

namespace {

// The table of a generation, named in its first and last line.
std::string generation(long gen) {
    std::string out = "# generation " + std::to_string(gen) + "\n";
    for (int i = 0; i < 40; i++)
        out += "g" + std::to_string(i) + ",/dev/sda 0000:05:00.0\n";
    return out + "# end " + std::to_string(gen) + "\n";
}

// The generation a file holds whole: -1 for anything else, -2 for no file.
long generation_of(const std::string &path) {
    char text[4096] = {};
    FILE *f = fopen(path.c_str(), "rb");
    size_t n = f ? fread(text, 1, sizeof text - 1, f) : 0;
    if (!f || fclose(f))
        return -2;
    long gen = -1;
    sscanf(text, "# generation %ld", &gen);
    return gen >= 0 && std::string(text, n) == generation(gen) ? gen : -1;
}

// Read from memory: a child killed in here leaves no file behind.
void set_table(long gen) {
    while (g_hba_conf.first)
        conf_remove(&g_hba_conf, g_hba_conf.first);
    std::string text = generation(gen);
    int fd = memfd_create("table", 0);
    conf_context ctx = {&g_hba_conf, "t", 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, nullptr, &ctx};
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), (ssize_t)text.size());
    ASSERT_EQ(scan_stream(nullptr, fd, 1000, &cb, nullptr), 0);
    close(fd);
}

// The temporary file in dir ("hba_addr.conf" and six characters), or "".
std::string temporary(const std::string &dir) {
    glob_t g;
    std::string found = glob((dir + "/hba_addr.conf??????").c_str(), 0, nullptr, &g) == 0
                            ? g.gl_pathv[0] : "";
    globfree(&g);
    return found;
}

TEST(Writer, ReplaceKilledAtRandomMomentsNeverLosesTheTable) {
    char tmpl[] = "/dev/shm/writer_test.XXXXXX";  // tmpfs: syncs cost nothing
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, table = dir + "/hba_addr.conf";
    set_table(0);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
    unsigned save_us = (unsigned)std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - t0).count() / 5, seed = getpid();
    for (long round = 1; round <= 500; round++) {
        fflush(nullptr);
        pid_t child = fork();
        for (long gen = round * 1000; child == 0; gen++)
            if (set_table(gen), save_hba_addr_conf(table.c_str()) != 0)
                _exit(2);
        usleep(rand_r(&seed) % (3 * save_us + 1000));
        struct stat a, b;
        bool linked = false;
        for (int peek = 0; round % 2 == 0 && peek < 40; peek++) {
            kill(child, SIGSTOP);
            waitpid(child, nullptr, WUNTRACED);
            linked = stat(table.c_str(), &a) == 0 && stat((table + ".1").c_str(), &b) == 0 &&
                     a.st_ino == b.st_ino;
            if (linked || !temporary(dir).empty())
                break;
            kill(child, SIGCONT);
            usleep(rand_r(&seed) % (save_us / 4 + 1));
        }
        int status;
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        long newer = generation_of(table);
        ASSERT_GE(newer, 0) << "table missing or incomplete after kill " << round;
        for (int n = 1; n <= 10; n++) {
            long gen = generation_of(table + "." + std::to_string(n));
            ASSERT_TRUE(gen == -2 || (gen >= 0 && gen <= newer)) << "backup " << n << ", kill "
                                                                   << round;
            newer = gen == -2 ? newer : gen;
        }
        unlink(temporary(dir).c_str());
        if (linked) {  // one whole replace, so that the next look is telling
            set_table(round * 1000 + 999);
            ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
        }
    }
    EXPECT_EQ(system(("rm -r " + dir).c_str()), 0);
}

}  // namespace
