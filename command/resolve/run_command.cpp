// The child-process runner: a command's standard output and error are read
// through one pipe by the line stream reader, with the run's time-out and a
// bound on the bytes read. The child leads a process group of its own, so
// that a command that is ended takes the processes it started with it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conf/scan.h"
#include "resolve/resolve.h"

namespace {

// Exit statuses by which the child reports its own set-up failures; they
// cannot be told apart from the command's own statuses.
enum {
    CHILD_EXEC_FAILED = 127,
    CHILD_NULL_OPEN = 128,
    CHILD_NULL_STDIN = 129,
    CHILD_PIPE_STDOUT = 130,
    CHILD_PIPE_STDERR = 131,
};

const char DEV_NULL[] = "/dev/null";

// Far more than any answer of the commands run here (a few hundred bytes
// per disk), small enough that what is collected from it stays modest.
const size_t OUTPUT_LIMIT = 1024 * 1024;

// Closes every descriptor from 3 up. Only async-signal-safe calls: this
// runs between fork and exec.
void close_other_descriptors(void) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0)
        return;
#endif
    int limit = getdtablesize();
    for (int fd = 3; fd < limit; fd++)
        close(fd);
}

[[noreturn]] void run_child(const char *path, char *const argv[], int read_end, int write_end) {
    setpgid(0, 0);
    close(read_end);
    int null_fd = open(DEV_NULL, O_RDWR);
    if (null_fd == -1)
        _exit(CHILD_NULL_OPEN);
    if (dup2(null_fd, STDIN_FILENO) == -1)
        _exit(CHILD_NULL_STDIN);
    if (null_fd != STDIN_FILENO)
        close(null_fd);
    if (dup2(write_end, STDOUT_FILENO) == -1)
        _exit(CHILD_PIPE_STDOUT);
    if (dup2(write_end, STDERR_FILENO) == -1)
        _exit(CHILD_PIPE_STDERR);
    close(write_end);
    close_other_descriptors();
    execv(path, argv);
    _exit(CHILD_EXEC_FAILED);
}

int fail(unsigned *detail, int err) {
    if (detail)
        *detail = RUN_DETAIL_FAILED;
    errno = err;
    return -1;
}

}  // namespace

int run_command(const char *path, char *const argv[], int32_t timeout_ms, const scan_callbacks *cb,
                int *status, unsigned *detail) {
    int saved = errno;
    int p[2];
    if (pipe(p) == -1)
        return fail(detail, errno);
    // With a standard descriptor closed the pipe could take its number, and
    // the child's redirections would then close their own pipe end.
    if (p[0] <= STDERR_FILENO || p[1] <= STDERR_FILENO) {
        close(p[0]);
        close(p[1]);
        return fail(detail, EINVAL);
    }
    pid_t pid = fork();
    if (pid == -1) {
        int err = errno;
        close(p[0]);
        close(p[1]);
        return fail(detail, err);
    }
    if (pid == 0)
        run_child(path, argv, p[0], p[1]);
    // Set on both sides, so the group exists whichever runs first.
    setpgid(pid, pid);

    close(p[1]);
    if (scan_stream_limited(nullptr, p[0], timeout_ms, cb, OUTPUT_LIMIT, nullptr) == -1) {
        // A silent, endless or unparsable command is ended at once with its
        // whole group; it is not waited for, since it may not die while it
        // sleeps in the kernel.
        int err = errno;
        if (kill(-pid, SIGTERM) == -1)
            kill(pid, SIGTERM);
        if (kill(-pid, SIGKILL) == -1)
            kill(pid, SIGKILL);
        close(p[0]);
        return fail(detail, err);
    }
    close(p[0]);

    int st;
    pid_t w;
    do {
        w = waitpid(pid, &st, WUNTRACED);
    } while (w == -1 && errno == EINTR);
    if (w == -1)
        return fail(detail, errno);
    if (status)
        *status = st;
    if (WIFSIGNALED(st))
        return fail(detail, ECANCELED);
    if (WIFSTOPPED(st))
        return fail(detail, ESTALE);
    errno = saved;
    return 0;
}
