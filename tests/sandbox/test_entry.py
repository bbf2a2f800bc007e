"""The command's entry: privilege, log, lock, options, reading and listing
the table."""

import fcntl
import os
import threading
import time
import unittest

from sandbox import EXTENDED, LOCK, LOG, TABLE, SandboxTest

USAGE = ("ERROR: usage: tarnex -a DEVICE-PATH\nERROR:   or:  tarnex -d LABEL\n"
         "ERROR:   or:  tarnex -c OLD-LABEL NEW-LABEL\nERROR:   or:  tarnex -l | -r\n")
UNKNOWN = "ERROR: unknown option %s.\n"
LOCK_PATH = "/var/opt/KVXRtarnex/lock/.tarnex.lock"


class Entry(SandboxTest):
    def test_non_root_gets_one_line_and_no_log(self):
        self.assertRun(self.sb.run("-l", user=65534), 1, "ERROR: must run as root.\n", "")
        self.assertFalse(self.sb.exists(LOG))

    def test_log_that_cannot_be_opened(self):
        def check(setup, loc):
            setup()
            self.assertRun(self.sb.run("-l"), 2, "ERROR: initialization failed(%s).\n" % loc)
            self.assertEqual(self.sb.read("var/target"), "")
        self.sb.write("var/target", "")
        self.each([(lambda: os.symlink(self.sb.path("var/target"), self.sb.path(LOG)), "407"),
                   (lambda: os.mkdir(self.sb.path(LOG)), "407"),
                   (lambda: self.sb.remove("var/log"), "408")], check)

    def test_new_log_mode_and_rotation_at_the_limit(self):
        self.sb.run("-l")
        self.assertEqual(os.stat(self.sb.path(LOG)).st_mode & 0o7777, 0o640)
        # 1 MiB: the record that finds the log at the limit is the last of
        # generation 1; one byte short, it is appended and the next rotates.
        for size, kept in ((1048576, ">start."), (1048575, ">option 0 0 1 0")):
            self.sb.write(LOG, "x" * (size - 1) + "\n")
            self.sb.run("-l")
            self.assertTrue(self.sb.read(LOG + ".1").endswith(kept + "\n"), size)

    def test_bad_options(self):
        def check(args, errors, env=None):
            r = self.sb.run(*args, env=env)
            self.assertRun(r, 3, errors + USAGE, "")
            ext = ["option has been extended."] if env == EXTENDED else []
            self.assertEqual(self.sb.log(), ["start."] + ext + ["end(1010)."])
        rows = [(args, "") for args in ([], ["-l", "-r"], ["-c", "A"], ["-c", "A", "B", "C"],
                                        ["-l", "X"], ["-a"], ["-d"], ["-a", "-d", "X"])]
        rows += [(["-x", "-y", "-l"], UNKNOWN % "-x" + UNKNOWN % "-y"),
                 (["-\x01", "-l"], "ERROR: unknown option character 0x1.\n"),
                 ([b"-\xff", "-l"], "ERROR: unknown option character 0xff.\n"),
                 (["-t", "5", "-l"], UNKNOWN % "-t"),
                 (["-l", "-f"], "ERROR: option -f requires an argument.\n", EXTENDED),
                 (["-l", "-t"], "ERROR: option -t requires an argument.\n", EXTENDED)]
        # Extended options need the exact value.
        rows += [(["-n", "-l"], UNKNOWN % "-n", {"KVXRtarnex": v})
                 for v in ("KOBRANTX", "kobrant", "", " KOBRANT")]
        self.each(rows, check)

    def test_option_lines(self):
        def check(args, lines, env=None):
            self.sb.run(*args, env=env)
            self.assertEqual(self.sb.log()[1:1 + len(lines)], lines)
        self.each([(["-a", "-a", "/dev/sda"], ["option 1 0 0 0"]),
                   (["-d", "A", "B"], ["option 0 1 0 0"]), (["-c", "A", "B"], ["option 0 0 0 0"]),
                   (["-r", "ignored"], ["option 0 0 0 1"]),
                   (["-t", "0x10", "-n", "-o", "-", "-f", "/tmp/t", "-l"],
                    ["option has been extended.", "specify -t 16", "specify -n.", "specify -o -.",
                     "specify -f /tmp/t.", "option 0 0 1 0"], EXTENDED),
                   (["-t", "010", "-l"], ["option has been extended.", "specify -t 8"], EXTENDED),
                   (["-t", "soon", "-l"], ["option has been extended.", "specify -t 0"],
                    EXTENDED)], check)


class LockFile(SandboxTest):
    def hold_lock(self, seconds):
        fd = os.open(self.sb.path(LOCK), os.O_RDWR)
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        timer = threading.Timer(seconds, os.close, (fd,))
        timer.start()
        self.addCleanup(timer.join)

    def test_missing_lock_file(self):
        self.sb.remove(LOCK)
        msg = "%s: an input/output error has occurred(2:3de)." % LOCK_PATH
        self.assertRun(self.sb.run("-l"), 10, "ERROR: %s\n" % msg, log=[msg, "end(fce)."])
        self.assertFalse(self.sb.exists(LOCK))

    def test_lock_is_retried_for_ten_seconds(self):
        self.hold_lock(2.5)
        start = time.monotonic()
        self.assertRun(self.sb.run("-l"), 0, "")
        self.assertGreater(time.monotonic() - start, 2)
        self.sb.reset()
        self.hold_lock(14)
        r = self.sb.run("-c", "A", "B")
        self.assertGreaterEqual(time.monotonic() - start, 12)
        msg = "%s: an input/output error has occurred(b:413)." % LOCK_PATH
        self.assertRun(r, 11, "ERROR: %s\n" % msg)
        self.assertEqual(self.sb.log_records(), [
            ("INFO", "start."), ("ERR", msg), ("ERR", "timeout in 10 * 1.0[s]"),
            ("INFO", "end(fd3).")])


class Table(SandboxTest):
    def test_tables_that_cannot_be_read(self):
        """Missing, badly formed (reported at each bad place), a zero byte,
        a silent FIFO: status 4 and the reader's detail code."""
        def check(table, detail, reports):
            self.sb.remove("etc/hba_addr.conf")
            if table == "fifo":
                os.mkfifo(self.sb.path("etc/hba_addr.conf"))
                keep = os.open(self.sb.path("etc/hba_addr.conf"), os.O_RDWR | os.O_NONBLOCK)
                self.addCleanup(os.close, keep)
            elif table is not None:
                self.sb.write("etc/hba_addr.conf", table)
            error = "%s: failed to access file(%x:1011)." % (TABLE, detail)
            bad = ["%s(%d:%d): badly formed line in file(%x)." % ((TABLE,) + c) for c in reports]
            self.assertRun(self.sb.run("-t", "1", "-l", env=EXTENDED), 4, "ERROR: %s\n" % error,
                           "", log=["option has been extended.", "specify -t 1"] + bad
                           + [error, "end(1011)."])
        self.each([
            (None, 5, []),
            # One word or three, reported at the line end; a last line without its line feed.
            ("a,/dev/sda 0000:05:00.0\nlonely\n\n# fine\nx y z # c\nlast", 0xc,
             [(2, 6, 0x2011), (5, 9, 0x2011), (6, 4, 0x2011)]),
            # Every bad byte at its own column: the CR of CR LF, DEL, 8-bit.
            (b"a,/dev/sda 0000:05:00.0\r\n# c\r\nb,/dev/s\x7f\xe9 0000:06:00.0\r\n", 0xc,
             [(1, 24, 0x2010), (3, 9, 0x2010), (3, 10, 0x2010), (3, 24, 0x2010)]),
            (b"a,/dev/sda 0000:05:00.0\nb,/dev/sd\0b 0000:06:00.0\n", 0xd, []),
            ("fifo", 9, [])], check)

    def test_listing_normalises_blanks_and_keeps_comments(self):
        table = ("  a,/dev/sda\t0000:05:00.0\n# comment  with\tblanks # more\n\n \t\n"
                 "b,/dev/sdb,tovrd   0000:06:00.0 #  trailing\nc,/dev/sdc 0000:07:00.0")
        self.sb.write("etc/hba_addr.conf", table)
        self.assertRun(self.sb.run("-l"), 0, "", "a,/dev/sda 0000:05:00.0\n# comment  with\t"
                       "blanks # more\n\n\nb,/dev/sdb,tovrd 0000:06:00.0 #  trailing\n"
                       "c,/dev/sdc 0000:07:00.0\n", log=["end(1021)."])
        self.assertEqual(self.sb.read("etc/hba_addr.conf"), table)
        self.assertEqual(self.sb.listdir("etc"), ["alterpm.conf", "hba_addr.conf"])

    def test_listing_that_cannot_be_written_ends_with_30(self):
        self.sb.write("etc/hba_addr.conf", "a,/dev/sda 0000:05:00.0\n")
        with open("/dev/full", "wb") as full:
            r = self.sb.run("-l", stdout=full)
        error = "(stdout): an input/output error has occurred(1c:2050)."
        self.assertRun(r, 30, "ERROR: %s\n" % error, log=[error, "end(1020)."])


if __name__ == "__main__":
    unittest.main()
