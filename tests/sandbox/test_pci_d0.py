"""The alternative list read from its fixed path /etc/opt/KVXRtarnex/alterpm.conf
inside the sandbox, through the test driver pci_probe."""

import os
import unittest

from sandbox import TARNEX_BIN, SandboxTest

PROBE = os.path.join(os.path.dirname(TARNEX_BIN), "pci_probe")
ALTERPM = "/etc/opt/KVXRtarnex/alterpm.conf"


class AlterPmFile(SandboxTest):
    def setUp(self):
        SandboxTest.setUp(self)
        self.assertTrue(os.path.exists(PROBE), "build the pci_probe target first: " + PROBE)

    def d0(self, text=None):
        if text is not None:
            self.sb.write("etc/alterpm.conf", text)
        return self.sb.run_program([PROBE, "d0"])

    def test_missing_file_fails_with_the_open_detail_at_0xc3b(self):
        r = self.d0()
        msg = "%s: failed to access file(5:c3b)." % ALTERPM
        self.assertRun(r, 1, stdout="fail\n", stderr="ERROR: %s\n" % msg)
        self.assertEqual(self.sb.log_records(), [("ERR", msg)])

    def test_items_with_blanks_comments_and_extra_words(self):
        r = self.d0("# adapters using the alternative handling\n"
                    "\n"
                    "1000:0030:01\n"
                    "\t  10DF:fe00:*   # every revision\n"
                    "::8086::1234:2 ffff:ffff:ff\n"
                    "11000:0031:*rev\n"
                    "   # indented comment\n")
        self.assertRun(r, 0, stderr="",
                       stdout="1000:0030:01 0 3:1\n"
                              "10df:fe00:2a 1 4:4\n"
                              "8086:1234:02 0 5:1\n"
                              "1000:0031:2a 1 6:1\n"
                              "ok\n")
        self.assertEqual(self.sb.log_records(), [])

    def test_bad_item_anywhere_fails_the_whole_list(self):
        r = self.d0("1000:0030:*\n0x10df:fe00:1\n")
        self.assertRun(r, 1, stdout="fail\n", stderr="ERROR: there was a fatal error(be4).\n")
        self.assertEqual(self.sb.log_messages(),
                         ["there was a fatal error(be4).", "0x10df",
                          "callee parse_d0_conf(3139)."])

if __name__ == "__main__":
    unittest.main()
