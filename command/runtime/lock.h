// Opening and locking with bounded retries: only EAGAIN is retried, at most
// ten attempts one second apart.
#pragma once

int open_with_retry(const char *path, int flags);
int lockf_with_retry(int fd, int cmd, long len, const char *path);
