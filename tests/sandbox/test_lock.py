"""Runs are serialised by the lock file, with ten one-second retries."""

import fcntl
import os
import threading
import time
import unittest

from sandbox import LOCK, SandboxTest

LOCK_PATH = "/var/opt/KVXRtarnex/lock/.tarnex.lock"


class LockFile(SandboxTest):
    def hold_lock(self, seconds):
        """Locks the fixture's lock file from this process for a while."""
        fd = os.open(self.sb.path(LOCK), os.O_RDWR)
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        timer = threading.Timer(seconds, os.close, (fd,))
        timer.start()
        self.addCleanup(timer.join)
        return timer

    def test_missing_lock_file(self):
        self.sb.remove(LOCK)
        r = self.sb.run("-l")
        msg = "%s: an input/output error has occurred(2:3de)." % LOCK_PATH
        self.assertRun(r, 10, stderr="ERROR: " + msg + "\n")
        self.assertEqual(self.sb.log_messages(), ["start.", msg, "end(fce)."])
        self.assertFalse(self.sb.exists(LOCK))

    def test_lock_released_within_the_retries_is_taken(self):
        self.hold_lock(2.5)
        start = time.monotonic()
        r = self.sb.run("-l")
        self.assertGreater(time.monotonic() - start, 2)
        self.assertNotEqual(r.status, 11, r)
        self.assertNotIn("input/output", r.stderr)
        self.assertIn("option 0 0 1 0", self.sb.log_messages())

    def test_lock_held_too_long_times_out(self):
        self.hold_lock(14)
        start = time.monotonic()
        r = self.sb.run("-c", "A", "B")
        self.assertGreaterEqual(time.monotonic() - start, 10)
        msg = "%s: an input/output error has occurred(b:413)." % LOCK_PATH
        self.assertRun(r, 11, stderr="ERROR: " + msg + "\n")
        self.assertEqual(self.sb.log_records(), [
            ("INFO", "start."), ("ERR", msg), ("ERR", "timeout in 10 * 1.0[s]"),
            ("INFO", "end(fd3).")])


if __name__ == "__main__":
    unittest.main()
