"""Label delete (-d) and rename (-c): what changes, what stays, and the
statuses around registering and writing the result."""

import re
import unittest

from devfix import REFUSE_ARRAY, REFUSE_BRIDGES, Machine
from sandbox import SandboxTest

TABLE_PATH = "/etc/opt/KVXRtarnex/hba_addr.conf"
EXTENDED = {"KVXRtarnex": "KOBRANT"}
NEW_LABEL_RULE = ("ERROR: invalid character used in NEW-LABEL.\n"
                  "ERROR:   the first character  is   a-z  A-Z  0-9  /\n"
                  "ERROR:   the other characters are  a-z  A-Z  0-9  /  -  _  .  :\n")
BUS_ID = re.compile(r"\b[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-9a-f]\b")


class EditTest(SandboxTest):
    """A node whose PCI tree holds every adapter the table names, so that
    the edited table registers."""

    table = ("# adapters of node1\n"
             "A,/dev/sda 0000:05:00.0   # boot path\n"
             "B,/dev/sdb\t0000:06:00.0\n"
             "\n"
             "A,/dev/sdc 0000:07:00.0\n")

    def setUp(self):
        SandboxTest.setUp(self)
        self.m = Machine(self.sb)
        for bus_id in BUS_ID.findall(self.table) + ["0000:08:00.0"]:
            self.m.adapter(bus_id)

    def run_edit(self, *args, env=None):
        return self.m.run(*args, env=env)

    def table_now(self):
        return self.sb.read("etc/hba_addr.conf")

    def assertUnchanged(self):
        self.assertEqual(self.table_now(), self.table)
        self.assertFalse(self.sb.exists("etc/hba_addr.conf.1"))


class Delete(EditTest):
    def test_every_line_of_the_label_goes_with_its_comment(self):
        self.assertRun(self.run_edit("-d", "A"), 0, stderr="", stdout="")
        self.assertEqual(self.table_now(), "# adapters of node1\nB,/dev/sdb 0000:06:00.0\n\n")
        self.assertEqual(self.sb.read("etc/hba_addr.conf.1"), self.table)
        self.assertEqual(self.m.registered_bus_ids(), ["0000:06:00.0"])

    def test_whole_label_comparison_and_comment_lines_never_match(self):
        self.sb.write("etc/hba_addr.conf", "#A,/dev/sda 0000:05:00.0\nAB,/dev/sda 0000:05:00.0\n"
                      "A2,/dev/sdb 0000:06:00.0\n")
        self.table = self.table_now()
        r = self.run_edit("-d", "A")
        self.assertRun(r, 12, stderr="ERROR: label A is not found.\n")
        self.assertUnchanged()
        self.assertEqual(self.sb.log_messages()[-1], "end(1050).")

    def test_labels_not_found_are_named_and_the_others_deleted(self):
        r = self.run_edit("-d", "X", "B", "B")
        self.assertRun(r, 0, stderr="ERROR: label X is not found.\nERROR: label B is not found.\n")
        self.assertNotIn("B,", self.table_now())
        self.assertEqual(self.table_now().count("A,"), 2)

    def test_entry_without_comma_is_passed_over(self):
        self.sb.write("etc/hba_addr.conf", "nocomma 0000:08:00.0\n" + self.table)
        r = self.run_edit("-d", "B")
        self.assertRun(r, 0, stderr="")
        self.assertTrue(self.table_now().startswith("nocomma 0000:08:00.0\n# adapters"))

    def test_driver_refusal_leaves_the_file_unchanged_with_20(self):
        r = self.run_edit("-d", "A", env={"TARNEX_STUB_REFUSE": REFUSE_ARRAY})
        self.assertEqual(r.status, 20, r)
        self.assertUnchanged()
        self.assertEqual(self.sb.log_messages()[-1], "end(1051).")

    def test_table_that_cannot_be_written_ends_with_31_or_32(self):
        self.m.disk("sdb", 16, "0000:05:00.0")
        out = "/etc/opt/KVXRtarnex/no/dir/t.conf"
        for args, status, end in ((["-d", "B"], 32, "end(1052)."),
                                  (["-c", "B", "C"], 32, "end(1042)."),
                                  (["-a", "/dev/sdb"], 31, "end(1032).")):
            with self.subTest(args=args):
                r = self.run_edit("-o", out, *args, env=EXTENDED)
                self.assertEqual(r.status, status, r)
                # The message names the temporary file: the target and mkstemp's six characters.
                self.assertRegex(r.stderr, r"^ERROR: %s\w{6}: an input/output error has "
                                 r"occurred\(2:2064\)\.\n$" % out)
                self.assertEqual(self.sb.log_messages()[-1], end)
                self.assertUnchanged()

    def test_output_to_standard_output_and_another_table_file(self):
        r = self.run_edit("-o", "-", "-d", "B", env=EXTENDED)
        self.assertRun(r, 0, stderr="", stdout="# adapters of node1\n"
                       "A,/dev/sda 0000:05:00.0 # boot path\n\nA,/dev/sdc 0000:07:00.0\n")
        self.assertUnchanged()

        self.sb.write("etc/other.conf", "C,/dev/sdd 0000:08:00.0\nB,/dev/sdb 0000:06:00.0\n")
        r = self.run_edit("-f", "/etc/opt/KVXRtarnex/other.conf", "-d", "C", env=EXTENDED)
        self.assertRun(r, 0, stderr="")
        self.assertEqual(self.sb.read("etc/other.conf"), "B,/dev/sdb 0000:06:00.0\n")
        self.assertTrue(self.sb.exists("etc/other.conf.1"))
        self.assertUnchanged()


class Change(EditTest):
    def test_every_line_is_renamed_keeping_path_and_bus_id(self):
        self.assertRun(self.run_edit("-c", "A", "x.y:z-w_v"), 0, stderr="")
        self.assertEqual(self.table_now(),
                         "# adapters of node1\nx.y:z-w_v,/dev/sda 0000:05:00.0 # boot path\n"
                         "B,/dev/sdb 0000:06:00.0\n\nx.y:z-w_v,/dev/sdc 0000:07:00.0\n")
        self.assertEqual(self.sb.log_messages()[-1], "end(1043).")

    def test_longer_label_replaces_the_whole_first_word(self):
        label = "/" + "L" * 39
        self.assertRun(self.run_edit("-c", "B", label), 0, stderr="")
        self.assertIn("\n%s,/dev/sdb 0000:06:00.0\n" % label, self.table_now())
        self.assertRun(self.run_edit("-c", label, "B"), 0, stderr="")
        self.assertIn("\nB,/dev/sdb 0000:06:00.0\n", self.table_now())

    def test_invalid_new_labels_print_the_rule_even_for_a_missing_old_label(self):
        for new, loc in ((".x", 0x1101), ("_x", 0x1101), ("", 0x1101), ("x,y", 0x1102),
                         ("x+y", 0x1102)):
            for old in ("A", "missing"):
                with self.subTest(new=new, old=old):
                    self.sb.remove("var/log/user.log")
                    self.assertRun(self.run_edit("-c", old, new), 8, stderr=NEW_LABEL_RULE)
                    self.assertUnchanged()
                    self.assertEqual(self.sb.log_messages()[-2:],
                                     ["callee parse_hba_addr_conf_change(%d)." % loc,
                                      "end(1040)."])

    def test_missing_old_label_has_no_end_line(self):
        r = self.run_edit("-c", "Z", "Y")
        self.assertRun(r, 8, stderr="ERROR: label Z is not found.\n")
        self.assertUnchanged()
        self.assertFalse([m for m in self.sb.log_messages() if m.startswith("end(")])

    def test_entry_without_comma_before_or_after_fails_silently(self):
        for table in ("nocomma 0000:08:00.0\n" + self.table, self.table + "nocomma 0000:08:00.0\n"):
            with self.subTest(table=table):
                self.sb.write("etc/hba_addr.conf", table)
                self.table = table
                self.sb.remove("var/log/user.log")
                self.assertRun(self.run_edit("-c", "A", "C"), 8, stderr="")
                self.assertUnchanged()
                self.assertIn("callee parse_hba_addr_conf_change(%d)." % 0x1103,
                              self.sb.log_messages())

    def test_renamed_word_too_long_to_read_back_is_refused(self):
        # The line reader takes words of up to 2047 bytes; a longer first
        # word would make every later run fail on the written table.
        fits = "N" * (2047 - len(",/dev/sdb"))
        self.assertRun(self.run_edit("-c", "B", fits + "N"), 8,
                       stderr="ERROR: lack of resources(801:1104).\n")
        self.assertUnchanged()
        self.assertRun(self.run_edit("-c", "B", fits), 0, stderr="")
        self.assertRun(self.run_edit("-l"), 0)
        self.assertIn(fits + ",/dev/sdb ", self.table_now())

    def test_driver_refusal_leaves_the_file_unchanged_with_20(self):
        r = self.run_edit("-c", "A", "C", env={"TARNEX_STUB_REFUSE": REFUSE_BRIDGES})
        self.assertEqual(r.status, 20, r)
        self.assertUnchanged()


if __name__ == "__main__":
    unittest.main()
