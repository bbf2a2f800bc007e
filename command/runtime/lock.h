// Opening and locking with bounded retries: only EAGAIN is retried, at most
// ten attempts one second apart.
#pragma once

int open_with_retry(const char *path, int flags);
// Opens the lock file read-write with the retries of open_with_retry; a
// symbolic link fails with ELOOP, anything but a regular file with EINVAL.
int open_lock_file(const char *path);
int lockf_with_retry(int fd, int cmd, long len, const char *path);
