"""Label add of volume manager classes and volumes: the query command, its
output, and the disks asked for through the diagnostic node."""

import os
import time
import unittest

from devfix import DISK_MAJOR, MXVOL_MAJOR, Machine
from sandbox import SandboxTest

DIAG = "/dev/mxvol/_diag"
O_RDWR_NONBLOCK = 0o4002
PASSTHROUGH = 0x737800
EXTENDED = {"KVXRtarnex": "KOBRANT"}

# Two disk lines, one on standard output and one on standard error, among
# lines the command does not use.
TWO_DISKS = ('echo "class CLS"\n'
             'echo "disk d1 x CLS y sdb extra words"\n'
             'echo "disk d2 x CLS y sdc" >&2\n'
             'echo "volume v1 CLS"\n')


class VolumeManagerTest(SandboxTest):
    table = ""

    def setUp(self):
        SandboxTest.setUp(self)
        self.m = Machine(self.sb)
        self.m.disk("sdb", 16, "0000:05:00.0")
        self.m.disk("sdc", 32, "0000:06:00.0")
        self.m.diag()
        self.m.proc_devices(block={MXVOL_MAJOR: "mxvol"})
        self.m.node("mxvol/CLS/dsk/vol1", MXVOL_MAJOR, 1)

    def lines(self):
        return self.sb.read("etc/hba_addr.conf").splitlines()


class Class(VolumeManagerTest):
    def test_two_disks_through_one_open_of_the_diagnostic_node(self):
        self.m.mxvinfo(TWO_DISKS)
        self.assertRun(self.m.run("-a", "CLS"), 0, stderr="")
        self.assertEqual(self.lines(), ["CLS,/dev/sdb 0000:05:00.0", "CLS,/dev/sdc 0000:06:00.0"])
        self.assertEqual(self.m.mxvinfo_calls(), ["-D -c CLS"])
        self.assertEqual(self.m.opens(DIAG), [{"open": DIAG, "flags": O_RDWR_NONBLOCK, "errno": 0}])
        self.assertEqual([(r["dev"], r["command"]) for r in self.m.requests(PASSTHROUGH)],
                         [("%d:16" % DISK_MAJOR, 0x5387), ("%d:32" % DISK_MAJOR, 0x5387)])

    def test_no_disk_line_adds_nothing(self):
        self.m.mxvinfo('echo "class CLS"')
        self.assertRun(self.m.run("-a", "CLS"), 6, stderr="")

    def test_disk_line_short_of_its_sixth_word_fails_the_parse(self):
        # With five words the line end stands where the sixth word would be.
        for short in ("disk d2 x CLS", "disk d2 x CLS y"):
            with self.subTest(short=short):
                self.m.mxvinfo('echo "disk d1 x CLS y sdb"\necho "%s"' % short)
                self.assertRun(self.m.run("-a", "CLS"), 6, stderr="ERROR: there was a fatal "
                               "error(1c8).\nERROR: illegal class-name CLS.\n")
                self.assertEqual(self.m.requests(PASSTHROUGH), [])

    def test_failing_command_logs_its_wait_status(self):
        self.m.mxvinfo(TWO_DISKS + "exit 1")
        self.assertRun(self.m.run("-a", "CLS", "/dev/sdb"), 0,
                       stderr="ERROR: illegal class-name CLS.\n")
        self.assertEqual(self.lines(), ["/dev/sdb,/dev/sdb 0000:05:00.0"])
        msgs = self.sb.log_messages()
        self.assertIn("/usr/sbin/mxvinfo -D -c CLS 0x100.", msgs)
        self.assertIn("callee get_pci_by_guess_mxv_class(1502).", msgs)

    def test_silent_command_is_killed_at_the_time_out(self):
        self.m.mxvinfo("echo $$ > %s\nexec sleep 60" % self.sb.path("mxvinfo.pid"))
        start = time.monotonic()
        r = self.m.run("-t", "1", "-a", "CLS", env=EXTENDED)
        self.assertLess(time.monotonic() - start, 30)
        self.assertRun(r, 6, stderr="ERROR: illegal class-name CLS.\n")
        # Not waited for, so no wait status to show.
        self.assertIn("/usr/sbin/mxvinfo -D -c CLS 0x0.", self.sb.log_messages())
        stat = "/proc/%s/stat" % self.sb.read("mxvinfo.pid").strip()
        for _ in range(100):  # killed: gone, or a zombie until its new parent reaps it
            if not os.path.exists(stat) or open(stat).read().rsplit(") ", 1)[1][0] == "Z":
                break
            time.sleep(0.05)
        else:
            self.fail("the query command still runs")

    def test_missing_command_fails_a_class_at_once(self):
        self.assertRun(self.m.run("-a", "CLS"), 6, stderr="ERROR: illegal class-name CLS.\n")
        self.assertIn("callee get_pci_by_guess_mxv_class(1493).", self.sb.log_messages())

    def test_disk_that_fails_ends_the_operand_but_keeps_earlier_lines(self):
        self.m.disk("sdd", 48, "!5")
        self.m.mxvinfo('echo "disk a b c d sdb"\necho "disk a b c d sdd"\n'
                       'echo "disk a b c d sdc"')
        r = self.m.run("-a", "CLS", "/dev/sdc")
        self.assertRun(r, 0, stderr="ERROR: /dev/mxvol/_diag: an input/output error has "
                       "occurred(5:6d0).\n")
        # The line of sdb stays, written because the second operand worked.
        self.assertEqual(self.lines(), ["CLS,/dev/sdb 0000:05:00.0",
                                        "/dev/sdc,/dev/sdc 0000:06:00.0"])
        self.assertIn("callee 1343", self.sb.log_messages())

    def test_multipath_disks_of_a_class(self):
        self.m.multipath("sdb", "tovh0")
        self.m.mp_file("tovh0", "scsi_host_0", "2\n")
        self.m.scsi_host(2, "0000:06:01.0")
        self.m.mxvinfo('echo "disk a b c d sdb"')
        self.assertRun(self.m.run("-a", "CLS"), 0, stderr="")
        self.assertEqual(self.lines(), ["CLS,/dev/sdb,tovrd 0000:06:01.0"])
        self.assertEqual(self.m.requests(PASSTHROUGH), [])


class Volume(VolumeManagerTest):
    def test_volume_is_queried_by_class_and_name(self):
        self.m.mxvinfo(TWO_DISKS)
        self.assertRun(self.m.run("-a", "/dev/mxvol/CLS/dsk/vol1"), 0, stderr="")
        self.assertEqual(self.m.mxvinfo_calls(), ["-D -c CLS -o vol1"])
        self.assertEqual(self.lines(), ["/dev/mxvol/CLS/dsk/vol1,/dev/sdb 0000:05:00.0",
                                        "/dev/mxvol/CLS/dsk/vol1,/dev/sdc 0000:06:00.0"])
        self.assertEqual(len(self.m.opens(DIAG)), 1)

    def test_failing_command_is_no_failure_of_the_query(self):
        self.m.mxvinfo("exit 3")
        self.assertRun(self.m.run("-a", "/dev/mxvol/CLS/dsk/vol1"), 6, stderr="")
        self.assertEqual(self.m.opens(DIAG), [{"open": DIAG, "flags": O_RDWR_NONBLOCK,
                                               "errno": 0}])

    def test_missing_command_adds_nothing_without_a_message(self):
        self.assertRun(self.m.run("-a", "/dev/mxvol/CLS/dsk/vol1"), 6, stderr="")

    def test_silent_command_fails_the_volume(self):
        self.m.mxvinfo("exec sleep 60")
        r = self.m.run("-t", "1", "-a", "/dev/mxvol/CLS/dsk/vol1", env=EXTENDED)
        self.assertRun(r, 6, stderr="ERROR: /usr/sbin/mxvinfo: failed to access file(1:4aa).\n")
        self.assertIn("/usr/sbin/mxvinfo -D -c CLS -o vol1 ret 0x0.", self.sb.log_messages())
        self.assertIn("callee get_pci_by_mxv(1401).", self.sb.log_messages())


if __name__ == "__main__":
    unittest.main()
