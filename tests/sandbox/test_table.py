"""The HBA address table: reading, checking and listing it with -l."""

import os
import subprocess
import unittest

from sandbox import LOG, TARNEX_BIN, SandboxTest

TABLE = "/etc/opt/KVXRtarnex/hba_addr.conf"
EXTENDED = {"KVXRtarnex": "KOBRANT"}
LINE_MAX = os.sysconf("SC_LINE_MAX")
L = LINE_MAX if 1 <= LINE_MAX <= 4096 else 4096


def access_error(detail):
    return "ERROR: %s: failed to access file(%x:1011).\n" % (TABLE, detail)


def bad_line(line, column, code):
    return "%s(%d:%d): badly formed line in file(%x)." % (TABLE, line, column, code)


class Loading(SandboxTest):
    """A table that cannot be read or is badly formed ends the run with 4."""

    def assertRefused(self, detail, stdin=None):
        r = self.sb.run("-l")
        self.assertRun(r, 4, stderr=access_error(detail), stdout="")
        msgs = self.sb.log_messages()
        self.assertEqual(msgs[-2:], [access_error(detail)[len("ERROR: "):-1], "end(1011)."])
        return msgs

    def test_missing_table(self):
        self.sb.remove("etc/hba_addr.conf")
        self.assertRefused(5)

    def test_table_that_is_a_directory(self):
        self.sb.remove("etc/hba_addr.conf")
        os.mkdir(self.sb.path("etc/hba_addr.conf"))
        self.assertRefused(0xa)

    def test_one_word_and_three_word_lines_are_reported_at_their_line_ends(self):
        self.sb.write("etc/hba_addr.conf",
                      "a,/dev/sda 0000:05:00.0\nlonely\n\n# fine\nx y z # c\n"
                      "b,/dev/sdb 0000:06:00.0 # fine\nlast")
        msgs = self.assertRefused(0xc)
        self.assertEqual([m for m in msgs if "badly formed" in m],
                         [bad_line(2, 6, 0x2011), bad_line(5, 9, 0x2011), bad_line(7, 4, 0x2011)])

    def test_carriage_returns_are_reported_once_each_at_their_column(self):
        self.sb.write("etc/hba_addr.conf",
                      "a,/dev/sda 0000:05:00.0\r\n# comment\r\nb,/dev/sdb\r 0000:06:00.0\r\n")
        msgs = self.assertRefused(0xc)
        self.assertEqual([m for m in msgs if "badly formed" in m],
                         [bad_line(1, 24, 0x2010), bad_line(3, 11, 0x2010),
                          bad_line(3, 25, 0x2010)])

    def test_zero_byte_refuses_the_table(self):
        self.sb.write("etc/hba_addr.conf", b"a,/dev/sda 0000:05:00.0\nb,/dev/sd\0b 0000:06:00.0\n")
        msgs = self.assertRefused(0xd)
        self.assertFalse([m for m in msgs if "badly formed" in m])

    def test_longest_word(self):
        longest = "a," + "x" * (L - 3)
        self.sb.write("etc/hba_addr.conf", longest + " 0000:05:00.0\n")
        self.assertRun(self.sb.run("-l"), 0, stdout=longest + " 0000:05:00.0\n")
        self.sb.write("etc/hba_addr.conf", longest + "x 0000:05:00.0\n")
        self.assertRefused(0x300003)

    def test_silent_fifo_times_out(self):
        self.sb.remove("etc/hba_addr.conf")
        fifo = self.sb.path("etc/hba_addr.conf")
        os.mkfifo(fifo)
        # A writer that never writes: the command's open succeeds, its wait
        # for input does not.
        keep = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        self.addCleanup(os.close, keep)
        r = self.sb.run("-t", "1", "-l", env=EXTENDED, timeout=60)
        self.assertRun(r, 4, stderr=access_error(9))


class Listing(SandboxTest):
    table = ("  a,/dev/sda\t0000:05:00.0\n"
             "# comment  with\tblanks # and more\n"
             "\n"
             " \t\n"
             "b,/dev/sdb,tovrd   0000:06:00.0 #  trailing\n")

    def test_blanks_are_normalised_and_comments_and_blank_lines_kept(self):
        r = self.sb.run("-l")
        self.assertRun(r, 0, stderr="", stdout=(
            "a,/dev/sda 0000:05:00.0\n"
            "# comment  with\tblanks # and more\n"
            "\n"
            "\n"
            "b,/dev/sdb,tovrd 0000:06:00.0 #  trailing\n"))
        self.assertEqual(self.sb.log_messages()[-1], "end(1021).")
        # Listing leaves the file alone and makes no backup.
        self.assertEqual(self.sb.read("etc/hba_addr.conf"), self.table)
        self.assertEqual(sorted(os.listdir(self.sb.path("etc"))), ["hba_addr.conf"])

    def test_empty_table_prints_nothing(self):
        self.sb.write("etc/hba_addr.conf", "")
        self.assertRun(self.sb.run("-l"), 0, stderr="", stdout="")

    def test_last_line_without_line_feed_is_listed_whole(self):
        self.sb.write("etc/hba_addr.conf", "a,/dev/sda 0000:05:00.0\nb,/dev/sdb 0000:06:00.0 # c")
        self.assertRun(self.sb.run("-l"), 0,
                       stdout="a,/dev/sda 0000:05:00.0\nb,/dev/sdb 0000:06:00.0 # c\n")

    def test_large_table_end_to_end(self):
        text = "".join("label%d,/dev/sd%s 0000:%02x:%02x.%x\n" % (i, chr(97 + i % 26), i % 256,
                                                                   i % 32, i % 8)
                       for i in range(20000))
        self.sb.write("etc/hba_addr.conf", text)
        r = self.sb.run("-l")
        self.assertEqual(r.status, 0, r.stderr)
        self.assertTrue(r.stdout == text)

    def test_listing_that_cannot_be_written_ends_with_30(self):
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(self.sb.command([TARNEX_BIN, "-l"]), stdin=subprocess.DEVNULL,
                                  stdout=full, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(proc.returncode, 30)
        self.assertEqual(proc.stderr.decode(),
                         "ERROR: (stdout): an input/output error has occurred(1c:2050).\n")
        self.assertEqual(self.sb.log_messages()[-2:],
                         ["(stdout): an input/output error has occurred(1c:2050).", "end(1020)."])


if __name__ == "__main__":
    unittest.main()
