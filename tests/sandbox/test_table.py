"""The HBA address table: reading, checking and listing it with -l."""

import os
import subprocess
import unittest

from sandbox import TARNEX_BIN, SandboxTest

TABLE = "/etc/opt/KVXRtarnex/hba_addr.conf"


class Table(SandboxTest):
    def assertRefused(self, table, detail, reports=()):
        """A table that cannot be read, or is badly formed, ends with 4."""
        if table is not None:
            self.sb.write("etc/hba_addr.conf", table)
        r = self.sb.run("-t", "1", "-l", env={"KVXRtarnex": "KOBRANT"})
        error = "%s: failed to access file(%x:1011)." % (TABLE, detail)
        self.assertRun(r, 4, stderr="ERROR: " + error + "\n", stdout="")
        msgs = self.sb.log_messages()
        self.assertEqual(msgs[-2:], [error, "end(1011)."])
        self.assertEqual([m for m in msgs if "badly formed" in m],
                         ["%s(%d:%d): badly formed line in file(%x)." % ((TABLE,) + c) for c in reports])

    def test_missing_or_badly_formed_tables(self):
        cases = [
            (None, 5, []),
            # One word or three: reported at the line end; a missing line feed too.
            ("a,/dev/sda 0000:05:00.0\nlonely\n\n# fine\nx y z # c\nlast", 0xc,
             [(2, 6, 0x2011), (5, 9, 0x2011), (6, 4, 0x2011)]),
            # Every bad byte at its own column: CR of CR LF line ends, DEL, 8-bit.
            (b"a,/dev/sda 0000:05:00.0\r\n# c\r\nb,/dev/s\x7f\xe9 0000:06:00.0\r\n", 0xc,
             [(1, 24, 0x2010), (3, 9, 0x2010), (3, 10, 0x2010), (3, 24, 0x2010)]),
            (b"a,/dev/sda 0000:05:00.0\nb,/dev/sd\0b 0000:06:00.0\n", 0xd, []),
        ]
        for table, detail, reports in cases:
            with self.subTest(table=table):
                self.sb.remove("var/log/user.log")
                self.sb.remove("etc/hba_addr.conf")
                self.assertRefused(table, detail, reports)

    def test_silent_fifo_times_out(self):
        self.sb.remove("etc/hba_addr.conf")
        os.mkfifo(self.sb.path("etc/hba_addr.conf"))
        # A writer that never writes: the open succeeds, the wait does not.
        keep = os.open(self.sb.path("etc/hba_addr.conf"), os.O_RDWR | os.O_NONBLOCK)
        self.addCleanup(os.close, keep)
        self.assertRefused(None, 9)

    def test_listing_normalises_blanks_and_keeps_comments_and_blank_lines(self):
        table = ("  a,/dev/sda\t0000:05:00.0\n# comment  with\tblanks # more\n\n \t\n"
                 "b,/dev/sdb,tovrd   0000:06:00.0 #  trailing\nc,/dev/sdc 0000:07:00.0")
        self.sb.write("etc/hba_addr.conf", table)
        self.assertRun(self.sb.run("-l"), 0, stderr="", stdout=(
            "a,/dev/sda 0000:05:00.0\n# comment  with\tblanks # more\n\n\n"
            "b,/dev/sdb,tovrd 0000:06:00.0 #  trailing\nc,/dev/sdc 0000:07:00.0\n"))
        self.assertEqual(self.sb.log_messages()[-1], "end(1021).")
        # Listing leaves the file alone and makes no backup.
        self.assertEqual(self.sb.read("etc/hba_addr.conf"), table)
        self.assertEqual(os.listdir(self.sb.path("etc")), ["hba_addr.conf"])

    def test_empty_table_lists_nothing(self):
        self.assertRun(self.sb.run("-l"), 0, stderr="", stdout="")

    def test_listing_that_cannot_be_written_ends_with_30(self):
        self.sb.write("etc/hba_addr.conf", "a,/dev/sda 0000:05:00.0\n")
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(self.sb.command([TARNEX_BIN, "-l"]), stdin=subprocess.DEVNULL,
                                  stdout=full, stderr=subprocess.PIPE, timeout=120)
        self.assertEqual(proc.returncode, 30)
        error = "(stdout): an input/output error has occurred(1c:2050)."
        self.assertEqual(proc.stderr.decode(), "ERROR: " + error + "\n")
        self.assertEqual(self.sb.log_messages()[-2:], [error, "end(1020)."])


if __name__ == "__main__":
    unittest.main()
