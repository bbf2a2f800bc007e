/*
 * emutime: runs a command N times with its output thrown away and prints
 * each run's wall time from the monotonic clock.
 *
 *   emutime N CMD [ARG...]   ->   "run I rc=RC usec=MICROSECONDS" per run
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	int n, i, st, fd;
	struct timespec a, b;
	pid_t pid;

	if (argc < 3 || (n = atoi(argv[1])) < 1) {
		fprintf(stderr, "usage: emutime N CMD [ARG...]\n");
		return 2;
	}
	for (i = 1; i <= n; i++) {
		clock_gettime(CLOCK_MONOTONIC, &a);
		pid = fork();
		if (pid == 0) {
			fd = open("/dev/null", O_RDWR);
			dup2(fd, 1);
			dup2(fd, 2);
			execvp(argv[2], argv + 2);
			_exit(127);
		}
		if (pid < 0 || waitpid(pid, &st, 0) != pid) {
			perror("emutime");
			return 1;
		}
		clock_gettime(CLOCK_MONOTONIC, &b);
		printf("run %d rc=%d usec=%ld\n", i, WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st),
		       (long)((b.tv_sec - a.tv_sec) * 1000000L + (b.tv_nsec - a.tv_nsec) / 1000));
		fflush(stdout);
	}
	return 0;
}
