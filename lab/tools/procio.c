/*
 * One read or one write on a file, with the system call's own result:
 * the shell's redirections hide short writes and error numbers.
 *
 *   procio w FILE TEXT [SIZE]   one write(2) of TEXT ("\n" stands for a
 *                               newline), padded with 'x' to SIZE bytes;
 *                               prints "rc=N" or "rc=-ERRNO"
 *   procio r FILE OFFSET        one pread(2) of up to 8192 bytes at OFFSET;
 *                               prints "rc=N" and, on the next line, the
 *                               bytes read
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char buf[1 << 16];

static int do_write(const char *path, const char *text, size_t size)
{
	size_t n = 0;
	ssize_t r;
	int fd;

	for (; *text && n < sizeof(buf); text++) {
		if (text[0] == '\\' && text[1] == 'n') {
			buf[n++] = '\n';
			text++;
		} else {
			buf[n++] = *text;
		}
	}
	if (size > sizeof(buf))
		size = sizeof(buf);
	while (n < size)
		buf[n++] = 'x';
	fd = open(path, O_WRONLY);
	if (fd < 0) {
		printf("rc=-%d\n", errno);
		return 1;
	}
	r = write(fd, buf, n);
	printf("rc=%zd\n", r < 0 ? (ssize_t)-errno : r);
	close(fd);
	return 0;
}

static int do_read(const char *path, off_t off)
{
	ssize_t r;
	int fd = open(path, O_RDONLY);

	if (fd < 0) {
		printf("rc=-%d\n", errno);
		return 1;
	}
	r = pread(fd, buf, sizeof(buf) - 1, off);
	printf("rc=%zd\n", r < 0 ? (ssize_t)-errno : r);
	if (r > 0)
		fwrite(buf, 1, (size_t)r, stdout);
	close(fd);
	return 0;
}

int main(int argc, char **argv)
{
	if (argc >= 4 && strcmp(argv[1], "w") == 0)
		return do_write(argv[2], argv[3], argc > 4 ? strtoul(argv[4], NULL, 0) : 0);
	if (argc == 4 && strcmp(argv[1], "r") == 0)
		return do_read(argv[2], (off_t)strtoll(argv[3], NULL, 0));
	fprintf(stderr, "usage: procio w FILE TEXT [SIZE] | procio r FILE OFFSET\n");
	return 2;
}
