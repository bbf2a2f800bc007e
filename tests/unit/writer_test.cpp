// Table writer: a child replacing the table over and over is killed with
// SIGKILL at random moments, 500 times; each time the table must be one
// whole version, and so must every backup, each older than the one before.
// Every other round aims: the child is stopped at random moments until it
// is caught inside a replace (a temporary file present, or P already linked
// as P.1) and killed there.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include "conf/conf.h"
#include "conf/scan.h"
#include "support.h"

namespace {

const unsigned LINES = 40;

// The table of generation gen, named in its first and last line.
std::string generation(long gen) {
    std::string out = "# generation " + std::to_string(gen) + "\n";
    for (unsigned i = 0; i < LINES; i++)
        out += "g" + std::to_string(i) + ",/dev/sda 0000:05:00.0\n";
    return out + "# end " + std::to_string(gen) + "\n";
}

// The generation a file holds whole, -1 for anything else, -2 for no file.
long generation_of(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    std::string text;
    for (int c; f && (c = getc(f)) != EOF;)
        text += (char)c;
    long gen = -1;
    if (f)
        fclose(f);
    return !f ? -2 : sscanf(text.c_str(), "# generation %ld", &gen) == 1 &&
                         text == generation(gen) ? gen : -1;
}

// In memory: a child killed in here leaves no file behind.
void set_table(long gen) {
    while (g_hba_conf.first)
        conf_remove(&g_hba_conf, g_hba_conf.first);
    std::string text = generation(gen);
    int fd = memfd_create("table", 0);
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), (ssize_t)text.size());
    conf_context ctx = {&g_hba_conf, "t", 1, 1, nullptr, {-1, -1, -1, -1}};
    scan_callbacks cb = {conf_begin, conf_collect, nullptr, &ctx};
    ASSERT_EQ(scan_stream(nullptr, fd, 1000, &cb, nullptr), 0);
    close(fd);
}

// The temporary file left in dir, if any ("hba_addr.conf" and six characters).
std::string temporary(const std::string &dir) {
    std::string found;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (strlen(e->d_name) == 19)
            found = dir + "/" + e->d_name;
    closedir(d);
    return found;
}

TEST(Writer, ReplaceKilledAtRandomMomentsNeverLosesTheTable) {
    char tmpl[] = "/dev/shm/writer_test.XXXXXX";  // tmpfs: syncs cost nothing
    char tmpl2[] = "/tmp/writer_test.XXXXXX";
    const std::string dir = mkdtemp(tmpl) ? tmpl : mkdtemp(tmpl2), table = dir + "/hba_addr.conf";
    set_table(0);
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
    unsigned save_us = (unsigned)std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - t0).count() / 5;
    unsigned seed = (unsigned)getpid();
    for (int round = 1; round <= 500; round++) {
        fflush(nullptr);
        pid_t child = fork();
        for (long gen = round * 1000L; child == 0; gen++) {
            set_table(gen);
            if (save_hba_addr_conf(table.c_str()) != 0)
                _exit(2);
        }
        usleep(rand_r(&seed) % (3 * save_us + 1000));
        bool linked = false;
        for (int peek = 0; round % 2 == 0 && peek < 40; peek++) {
            kill(child, SIGSTOP);
            waitpid(child, nullptr, WUNTRACED);
            struct stat a, b;
            linked = stat(table.c_str(), &a) == 0 && stat((table + ".1").c_str(), &b) == 0 &&
                     a.st_ino == b.st_ino;
            if (linked || !temporary(dir).empty())
                break;
            kill(child, SIGCONT);
            usleep(rand_r(&seed) % (save_us / 4 + 1));
        }
        kill(child, SIGKILL);
        int status;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        long newer = generation_of(table);
        ASSERT_GE(newer, 0) << "table missing or incomplete after kill " << round;
        for (int b = 1; b <= 10; b++) {
            long g = generation_of(table + "." + std::to_string(b));
            ASSERT_TRUE(g == -2 || (g >= 0 && g <= newer)) << "backup " << b << ", kill " << round;
            newer = g == -2 ? newer : g;
        }
        unlink(temporary(dir).c_str());
        if (linked) {  // one whole replace, so that the next look is telling
            set_table(round * 1000L + 999);
            ASSERT_EQ(save_hba_addr_conf(table.c_str()), 0);
        }
    }
    for (int b = 0; b <= 10; b++)
        unlink((b ? table + "." + std::to_string(b) : table).c_str());
    rmdir(dir.c_str());
}

}  // namespace
