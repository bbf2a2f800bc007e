"""Label delete (-d) and rename (-c): what changes, what stays, and the
statuses around registering and writing the result."""

import resource
import signal
import unittest

from sandbox import EXTENDED, SET_HBA_INFO, SET_SHPC_INFO, SandboxTest
from sandbox import TABLE as TABLE_PATH

NEW_LABEL_RULE = ("ERROR: invalid character used in NEW-LABEL.\n"
                  "ERROR:   the first character  is   a-z  A-Z  0-9  /\n"
                  "ERROR:   the other characters are  a-z  A-Z  0-9  /  -  _  .  :\n")
TABLE = ("# adapters of node1\nA,/dev/sda 0000:05:00.0   # boot path\nB,/dev/sdb\t0000:06:00.0\n"
         "\nA,/dev/sdc 0000:07:00.0\n")
NOCOMMA = "nocomma 0000:08:00.0\n"


class Edit(SandboxTest):
    table = TABLE

    def setUp(self):
        SandboxTest.setUp(self)
        for bus in (5, 6, 7, 8):
            self.sb.adapter("0000:%02x:00.0" % bus)

    def now(self):
        return self.sb.read("etc/hba_addr.conf")

    def assertUnchanged(self, table=TABLE):
        self.assertEqual(self.now(), table)
        self.assertEqual(self.sb.listdir("etc"), ["alterpm.conf", "hba_addr.conf"])

    def test_edits_that_change_the_table(self):
        """The new table, the old one as backup 1, and the adapters registered."""
        def check(table, args, stderr, after, registered, end):
            self.sb.write("etc/hba_addr.conf", table)
            self.sb.remove("etc/hba_addr.conf.1")
            self.assertRun(self.sb.run(*args), 0, stderr, "")
            self.assertEqual((self.now(), self.sb.read("etc/hba_addr.conf.1")), (after, table))
            self.assertEqual([h["bus_id"] for h in self.sb.requests()[0]["hbas"]], registered)
            self.assertEqual(self.sb.log()[-1], end)
        long_label = "/" + "L" * 39
        self.each([
            (TABLE, ["-d", "A"], "", "# adapters of node1\nB,/dev/sdb 0000:06:00.0\n\n",
             ["0000:06:00.0"], "end(1053)."),
            (TABLE, ["-d", "X", "B", "B"], "ERROR: label X is not found.\nERROR: label B is not "
             "found.\n", "# adapters of node1\nA,/dev/sda 0000:05:00.0 # boot path\n\n"
             "A,/dev/sdc 0000:07:00.0\n", ["0000:05:00.0", "0000:07:00.0"], "end(1053)."),
            (NOCOMMA + TABLE, ["-d", "nocomma", "B"], "ERROR: label nocomma is not found.\n",
             NOCOMMA + "# adapters of node1\nA,/dev/sda 0000:05:00.0 # boot path\n\n"
             "A,/dev/sdc 0000:07:00.0\n", ["0000:08:00.0", "0000:05:00.0", "0000:07:00.0"],
             "end(1053)."),
            (TABLE, ["-c", "A", "x.y:z-w_v"], "", "# adapters of node1\nx.y:z-w_v,/dev/sda "
             "0000:05:00.0 # boot path\nB,/dev/sdb 0000:06:00.0\n\nx.y:z-w_v,/dev/sdc "
             "0000:07:00.0\n", ["0000:05:00.0", "0000:06:00.0", "0000:07:00.0"], "end(1043)."),
            ("B,/dev/sdb 0000:06:00.0\n", ["-c", "B", long_label], "",
             long_label + ",/dev/sdb 0000:06:00.0\n", ["0000:06:00.0"], "end(1043)."),
            (long_label + ",/dev/sdb 0000:06:00.0\n", ["-c", long_label, "B"], "",
             "B,/dev/sdb 0000:06:00.0\n", ["0000:06:00.0"], "end(1043)."),
            # The longest first word the reader takes back.
            ("B,/dev/sdb 0000:06:00.0\n", ["-c", "B", "N" * 2038], "",
             "N" * 2038 + ",/dev/sdb 0000:06:00.0\n", ["0000:06:00.0"], "end(1043)."),
        ], check)

    def test_edits_refused_before_registering(self):
        """Status, message and the log's end, the table and its directory as they were."""
        def check(table, args, status, stderr, tail):
            self.sb.write("etc/hba_addr.conf", table)
            self.assertRun(self.sb.run(*args), status, stderr)
            self.assertEqual(self.sb.log()[-len(tail):], tail)
            self.assertUnchanged(table)
            self.assertEqual(self.sb.requests(), [])
        rows = [("#A,/dev/sda 0000:05:00.0\nAB,/dev/sda 0000:05:00.0\nA2,/dev/sdb 0000:06:00.0\n",
                 ["-d", "A"], 12, "ERROR: label A is not found.\n", ["end(1050)."]),
                # No end line.
                (TABLE, ["-c", "Z", "Y"], 8, "ERROR: label Z is not found.\n", ["option 0 0 0 0"]),
                (NOCOMMA + TABLE, ["-c", "A", "C"], 8, "", ["callee parse_hba_addr_conf_change"
                                                            "(4355).", "end(1040)."]),
                (TABLE + NOCOMMA, ["-c", "A", "C"], 8, "", ["callee parse_hba_addr_conf_change"
                                                            "(4355).", "end(1040)."]),
                # A word the reader could not take back (2047 bytes at most).
                (TABLE, ["-c", "B", "N" * 2039], 8, "ERROR: lack of resources(801:1104).\n",
                 ["end(1040)."])]
        # An invalid new label: the rule, even when the old label is missing.
        rows += [(TABLE, ["-c", old, new], 8, NEW_LABEL_RULE,
                  ["callee parse_hba_addr_conf_change(%d)." % loc, "end(1040)."])
                 for new, loc in ((".x", 0x1101), ("_x", 0x1101), ("", 0x1101), ("x,y", 0x1102),
                                  ("x+y", 0x1102)) for old in ("A", "missing")]
        self.each(rows, check)

    def test_driver_refusal_or_a_failed_save_leaves_the_table(self):
        """Refused: 20 (-d, -c) or 7 (-a); not written: 32 (-d, -c) or 31 (-a),
        the temporary file (table and six characters) named and gone."""
        def check(args, status, end, stderr=None, env=None):
            r = self.sb.run(*args, env=dict(EXTENDED, **(env or {})))
            self.assertRun(r, status)
            if stderr:
                self.assertRegex(r.stderr, stderr)
            self.assertEqual(self.sb.log()[-1], end)
            self.assertUnchanged()
        self.sb.disk("sdb", 16, "0000:05:00.0")
        no_dir = ["-o", "/etc/opt/KVXRtarnex/no/t.conf"]
        gone = r"^ERROR: /etc/opt/KVXRtarnex/no/t.conf\w{6}: an input/output error has " \
               r"occurred\(2:2064\)\.\n$"
        self.each([
            (["-d", "A"], 20, "end(1051).", None, {"TARNEX_STUB_REFUSE": SET_HBA_INFO}),
            (["-c", "A", "C"], 20, "end(1041).", None, {"TARNEX_STUB_REFUSE": SET_SHPC_INFO}),
            (["-a", "/dev/sdb"], 7, "end(1031).", None, {"TARNEX_STUB_REFUSE": SET_HBA_INFO}),
            (no_dir + ["-d", "B"], 32, "end(1052).", gone),
            (no_dir + ["-c", "B", "C"], 32, "end(1042).", gone),
            (no_dir + ["-a", "/dev/sdb"], 31, "end(1032).", gone)], check)

    def test_failed_write_leaves_no_temporary_file(self):
        # Comments make the table larger than the file size limit, the log not.
        table = TABLE + ("#" * 99 + "\n") * 100
        self.sb.write("etc/hba_addr.conf", table)
        r = self.sb.run("-c", "B", "C", preexec_fn=file_size_limit(8192))
        self.assertRun(r, 32, "ERROR: %s: an input/output error has occurred(1b:2050).\n"
                       % TABLE_PATH)
        self.assertUnchanged(table)

    def test_output_to_standard_output_and_another_table_file(self):
        self.assertRun(self.sb.run("-o", "-", "-d", "B", env=EXTENDED), 0, "",
                       "# adapters of node1\nA,/dev/sda 0000:05:00.0 # boot path\n\n"
                       "A,/dev/sdc 0000:07:00.0\n")
        self.sb.write("etc/other.conf", "C,/dev/sdd 0000:08:00.0\nB,/dev/sdb 0000:06:00.0\n")
        r = self.sb.run("-f", "/etc/opt/KVXRtarnex/other.conf", "-d", "C", env=EXTENDED)
        self.assertRun(r, 0, "")
        self.assertEqual(self.sb.read("etc/other.conf"), "B,/dev/sdb 0000:06:00.0\n")
        self.assertEqual(self.sb.read("etc/other.conf.1"),
                         "C,/dev/sdd 0000:08:00.0\nB,/dev/sdb 0000:06:00.0\n")
        self.assertEqual(self.now(), TABLE)


def file_size_limit(size):
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


if __name__ == "__main__":
    unittest.main()
