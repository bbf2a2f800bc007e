// The child-process runner: the child's descriptors, and children that are
// signalled or stopped. Output on both streams, exit statuses and the kill at
// the time-out are shown end to end in tests/sandbox/test_add_mxv.py.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "conf/scan.h"
#include "resolve/resolve.h"

namespace {

struct collected {
    std::vector<std::string> lines;
    std::string current;
};

int collect(void *context, const char *text, unsigned, unsigned, unsigned, int token_class) {
    collected *c = (collected *)context;
    if (token_class == TOKEN_EOL) {
        c->lines.push_back(c->current);
        c->current.clear();
    } else {
        c->current += (c->current.empty() ? "" : " ") + std::string(text);
    }
    return 1;
}

struct run_result {
    int rc;
    int err;
    int status;
    unsigned detail;
    std::vector<std::string> lines;
};

run_result run_sh(const char *script, int32_t timeout_ms = 5000) {
    collected c;
    scan_callbacks cb = {nullptr, collect, nullptr, &c};
    char *argv[] = {(char *)"/bin/sh", (char *)"-c", (char *)script, nullptr};
    run_result r = {0, 0, -1, 0, {}};
    errno = 0;
    r.rc = run_command("/bin/sh", argv, timeout_ms, &cb, &r.status, &r.detail);
    r.err = errno;
    r.lines = c.lines;
    return r;
}

TEST(RunCommand, ChildHasNullInputAndOnlyTheThreeStandardDescriptors) {
    int extra = open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(extra, 3);
    run_result r = run_sh("read line; echo read=$?; ls /proc/$$/fd | tr '\\n' ' '");
    close(extra);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.lines, (std::vector<std::string>{"read=1", "0 1 2"}));
}

TEST(RunCommand, SignalledAndStoppedChildrenFail) {
    run_result r = run_sh("kill -KILL $$");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, ECANCELED);
    EXPECT_EQ(r.detail, (unsigned)RUN_DETAIL_FAILED);
    EXPECT_TRUE(WIFSIGNALED(r.status));

    r = run_sh("echo $$; exec 1>&- 2>&-; kill -STOP $$");
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, ESTALE);
    EXPECT_TRUE(WIFSTOPPED(r.status));
    ASSERT_EQ(r.lines.size(), 1u);
    pid_t pid = (pid_t)atoi(r.lines[0].c_str());
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace
