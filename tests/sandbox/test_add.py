"""Label add (-a): SCSI disks, multipath devices and the volume manager's
volumes and classes; the entry lines written and what fails an operand."""

import os
import time
import unittest

from sandbox import DISK_MAJOR, EXTENDED, MXVOL_MAJOR, SandboxTest

GET_PCI, PASSTHROUGH = 0x5387, 0x737800
O_RDONLY_NONBLOCK = 0o4000
OPEN_DIAG = ("/dev/mxvol/_diag", 0o4002, 0)  # O_RDWR | O_NONBLOCK
# Disk lines on standard output and on standard error, among lines not used.
TWO_DISKS = ('echo "class CLS"\necho "disk d1 x CLS y sdb extra words"\n'
             'echo "disk d2 x CLS y sdc" >&2\necho "volume v1 CLS"')
ILLEGAL_CLASS = "ERROR: illegal class-name CLS.\n"


class Add(SandboxTest):
    table = "# node1\n"

    def added(self):
        now = self.sb.read("etc/hba_addr.conf")
        self.assertTrue(now.startswith(self.table), now)
        if now == self.table:
            self.assertEqual(self.sb.listdir("etc"), ["alterpm.conf", "hba_addr.conf"])
        return now[len(self.table):].splitlines()

    def check(self, args, status, stderr, added, log=None, env=None, stdin=None):
        """One run on the original table: status, stderr, lines added, log."""
        self.sb.reset()
        for name in self.sb.listdir("etc"):
            self.sb.remove("etc/" + name)
        self.sb.write("etc/alterpm.conf", "")
        self.sb.write("etc/hba_addr.conf", self.table)
        r = self.sb.run(*args, env=env, stdin=open(stdin) if stdin else None)
        self.assertRun(r, status, stderr, "", log)
        self.assertEqual(self.added(), added)


class Disk(Add):
    def setUp(self):
        Add.setUp(self)
        self.sb.disk("sdb", 16, "0000:05:00.0")
        self.sb.node("sdb1", DISK_MAJOR, 17)
        self.sb.node("c0/d", DISK_MAJOR, 16)
        self.sb.node("c", DISK_MAJOR, 16)
        self.sb.link("disk/by-id/scsi-X-part1", "../../sdb1")

    def test_the_disk_behind_a_path_gives_the_line(self):
        def check(path, line, opened):
            self.check(["-a", path], 0, "", [line], log=["end(1033)."])
            self.assertEqual(self.sb.opens(), [(opened, O_RDONLY_NONBLOCK, 0),
                                               ("/dev/tarnex", os.O_RDWR, 0)])
            self.assertEqual(self.sb.ioctls(), [(GET_PCI, "%d:16" % DISK_MAJOR, 0)])
        self.each([("/dev/sdb1", "/dev/sdb1,/dev/sdb 0000:05:00.0", "/dev/sdb"),
                   ("/dev/disk/by-id/scsi-X-part1", "/dev/disk/by-id/scsi-X-part1,/dev/sdb "
                    "0000:05:00.0", "/dev/sdb"),
                   ("/dev/c0/d", "/dev/c0/d,/dev/c 0000:05:00.0", "/dev/c")], check)

    def test_operands_that_fail(self):
        self.sb.write("dev/plainfile", "")
        os.mkdir(self.sb.path("dev/somedir"))
        self.sb.disk("sdc", 32, "!5")
        # Twenty bytes and no terminator: not a bus ID.
        self.sb.disk("sdd", 48, "0000:0000000005:00.0")
        illegal = "ERROR: illegal device-path %s.\n"
        self.each([
            # Only the path that does not resolve leaves a trace in the log.
            (["-a", "/dev/plainfile", "/dev/somedir", "/dev/sdb", "/nonexistent"], 0,
             illegal % "/dev/plainfile" + illegal % "/dev/somedir" + illegal % "/nonexistent",
             ["/dev/sdb,/dev/sdb 0000:05:00.0"],
             ["callee parse_hba_addr_conf_add_sub(2148).", "end(1033)."]),
            (["-a", "/nonexistent", "/dev/sdc"], 6, illegal % "/nonexistent" + "ERROR: /dev/sdc: "
             "an input/output error has occurred(5:6ce).\n", [],
             ["callee parse_hba_addr_conf_add_sub(2148).",
              "/dev/sdc: an input/output error has occurred(5:6ce).", "end(1030)."]),
            (["-a", "/dev/sdd"], 6, "ERROR: failed to get a busID(2030).\nERROR: please refer to "
             "the manual for more information.\n", [],
             ["failed to get a busID(2030).", "please refer to the manual for more information.",
              "bus_id_len 20 (no line feed)",
              "callee parse_hba_addr_conf_busid_add(8256).", "callee get_pci_by_sd(1759).",
              "end(1030)."])], self.check)

    def test_entry_too_long_to_read_back_is_refused(self):
        # The line reader takes words of up to 2047 bytes.
        for length, status in ((2048, 6), (2047, 0)):
            name = str(length)  # components of at most 200 bytes
            while len(name) < length - len("/dev/,/dev/sdb"):
                name += "/" + "l" * min(200, length - len("/dev/,/dev/sdb") - len(name) - 1)
            self.sb.link(name, "/dev/sdb")
            r = self.sb.run("-a", "/dev/" + name)
            self.assertRun(r, status, "ERROR: lack of resources(801:3003).\n" if status else "")
        self.assertEqual(self.added(), ["/dev/%s,/dev/sdb 0000:05:00.0" % name])
        self.assertRun(self.sb.run("-l"), 0)


class Multipath(Add):
    def setUp(self):
        Add.setUp(self)
        self.sb.node("sdc", DISK_MAJOR, 32)

    def test_one_line_per_scsi_host(self):
        self.sb.multipath("sdc", "tovh0", [(2, "0000:06:01.0"), (3, "0000:07:01.0"),
                                           ("123456789abcdef", "0000:08:01.0")])
        self.sb.write("sys_devices/tovx/tovh0/state", "2\n")  # no "scsi_host_" in its name
        self.assertRun(self.sb.run("-a", "/dev/sdc"), 0, "")
        self.assertEqual(sorted(self.added()), ["/dev/sdc,/dev/sdc,tovrd 0000:0%d:01.0" % n
                                                for n in (6, 7, 8)])
        self.assertEqual(self.sb.opens(), [("/dev/tarnex", os.O_RDWR, 0)])

    def test_failures(self):
        def check(hosts, log, link=None):
            self.sb.remove("sys_block")
            self.sb.remove("sys_devices")
            self.sb.remove("sys_scsi_host")
            self.sb.multipath("sdc", "tovh0", hosts, link)
            self.check(["-a", "/dev/sdc"], 6, "", [], log)
            self.assertEqual(self.sb.opens(), [])
        end = "callee get_pci_by_tovrd_sysfs(%d)."
        self.each([([], ["end(1030)."]),
                   # Sixteen characters may be the start of a longer host number.
                   ([("1234567890abcdef", "0000:06:01.0")],
                    ["callee query_from_paramf(12305).", end % 2011, "end(1030)."]),
                   # A disk outside the multipath driver's tree.
                   ([], [end % 1969, "end(1030)."], "../../devices/pci0000:00/0000:05:00.0/x")],
                  check)


class VolumeManager(Add):
    table = ""

    def setUp(self):
        Add.setUp(self)
        self.sb.volume_manager()

    def test_disks_of_a_class_or_volume(self):
        def check(args, body, lines, calls, stderr="", status=0, stdin=None):
            self.sb.remove("mxvinfo.calls")
            self.sb.mxvinfo(body)
            self.check(args, status, stderr, lines, stdin=stdin)
            self.assertEqual(self.sb.read("mxvinfo.calls").splitlines(), calls)
            self.assertEqual([o for o in self.sb.opens() if o[0] == OPEN_DIAG[0]],
                             [OPEN_DIAG] if not stderr else [])
        class_lines = ["CLS,/dev/sdb 0000:05:00.0", "CLS,/dev/sdc 0000:06:00.0"]
        vol = "/dev/mxvol/CLS/dsk/vol1"
        self.sb.write("stdin", 'disk d1 x CLS y sdb\n')
        self.each([
            (["-a", "CLS"], TWO_DISKS, class_lines, ["-D -c CLS"]),
            (["-a", vol], TWO_DISKS, [vol + ",/dev/sdb 0000:05:00.0",
                                      vol + ",/dev/sdc 0000:06:00.0"], ["-D -c CLS -o vol1"]),
            (["-a", "CLS", "/dev/sdb"], TWO_DISKS + "\nexit 1", ["/dev/sdb,/dev/sdb 0000:05:00.0"],
             ["-D -c CLS"], ILLEGAL_CLASS),
            # The command's standard input and descriptors (3 to 9: the lock
            # file's among them) never reach the query command.
            (["-a", "CLS"], "cat", [], ["-D -c CLS"], "", 6, self.sb.path("stdin")),
            (["-a", "CLS"], "ls /proc/$$/fd > %s\ngrep -qx '[3-9]' %s || echo 'disk d1 x CLS y "
             "sdb'" % ((self.sb.path("fds"),) * 2), class_lines[:1], ["-D -c CLS"]),
        ], check)

    def test_failed_queries(self):
        """A class fails on a failing or missing command; a volume only on one
        that is killed or stopped."""
        def check(args, body, status, stderr, log):
            self.sb.mxvinfo(body) if body else self.sb.remove("usr_sbin/mxvinfo")
            self.check(args, status, stderr, [], log)
        vol = "/dev/mxvol/CLS/dsk/vol1"
        fatal = "there was a fatal error(1c8)."
        self.addCleanup(lambda: self.sb.exists("mxvinfo.pid") and os.kill(
            int(self.sb.read("mxvinfo.pid")), 9))
        self.each([
            (["-a", "CLS"], TWO_DISKS + "\nexit 1", 6, ILLEGAL_CLASS, [
                "/usr/sbin/mxvinfo -D -c CLS 0x100.", "callee get_pci_by_guess_mxv_class(1502).",
                "end(1030)."]),
            (["-a", "CLS"], 'echo "disk d1 x CLS y sdb"\necho "disk d2 x CLS y"', 6,
             "ERROR: %s\n" % fatal + ILLEGAL_CLASS,
             [fatal, "/usr/sbin/mxvinfo -D -c CLS 0x0.",
              "callee get_pci_by_guess_mxv_class(1502).", "end(1030)."]),
            (["-a", vol], "exit 3", 6, "", ["end(1030)."]),
            (["-a", "CLS", vol], None, 6, ILLEGAL_CLASS, ["callee get_pci_by_guess_mxv_class"
             "(1493).", "end(1030)."]),
            (["-a", vol], 'echo "disk d1 x CLS y sdb"\nkill -KILL $$', 6,
             "ERROR: /usr/sbin/mxvinfo: failed to access file(1:4aa).\n",
             ["/usr/sbin/mxvinfo: failed to access file(1:4aa).",
              "/usr/sbin/mxvinfo -D -c CLS -o vol1 ret 0x9.", "callee get_pci_by_mxv(1401).",
              "end(1030)."]),
            # Stopped, having closed its output: left stopped, and killed below.
            (["-a", vol], 'echo "disk d1 x CLS y sdb"\necho $$ > %s\nexec 1>&- 2>&-\nkill -STOP '
             '$$' % self.sb.path("mxvinfo.pid"), 6, "ERROR: /usr/sbin/mxvinfo: failed to access "
             "file(1:4aa).\n", ["/usr/sbin/mxvinfo: failed to access file(1:4aa).",
                                "/usr/sbin/mxvinfo -D -c CLS -o vol1 ret 0x137f.",
                                "callee get_pci_by_mxv(1401).", "end(1030)."]),
        ], check)

    def test_silent_query_command_is_killed_at_the_time_out(self):
        self.sb.mxvinfo("echo $$ > %s\nexec sleep 60" % self.sb.path("mxvinfo.pid"))
        start = time.monotonic()
        r = self.sb.run("-t", "1", "-a", "CLS", env=EXTENDED)
        self.assertLess(time.monotonic() - start, 30)
        self.assertRun(r, 6, ILLEGAL_CLASS)
        self.assertIn("/usr/sbin/mxvinfo -D -c CLS 0x0.", self.sb.log())
        stat = "/proc/%s/stat" % self.sb.read("mxvinfo.pid").strip()
        for _ in range(100):  # gone, or a zombie until its new parent reaps it
            if not os.path.exists(stat) or open(stat).read().rsplit(") ", 1)[1][0] == "Z":
                break
            time.sleep(0.05)
        else:
            self.fail("the query command still runs")

    def test_disk_that_fails_ends_the_operand_but_keeps_earlier_lines(self):
        self.sb.disk("sdd", 48, "!5")
        self.sb.mxvinfo('echo "disk a b c d sdb"\necho "disk a b c d sdd"\necho "disk a b c d sdc"')
        self.check(["-a", "CLS", "/dev/sdc"], 0, "ERROR: /dev/mxvol/_diag: an input/output error "
                   "has occurred(5:6d0).\n", ["CLS,/dev/sdb 0000:05:00.0",
                                              "/dev/sdc,/dev/sdc 0000:06:00.0"],
                   ["/dev/mxvol/_diag: an input/output error has occurred(5:6d0).", "callee 1343",
                    "end(1033)."])
        self.assertEqual(self.sb.ioctls()[:2], [(PASSTHROUGH, "%d:16" % DISK_MAJOR, 0),
                                                (PASSTHROUGH, "%d:48" % DISK_MAJOR, 5)])

    def test_majors_of_both_sections_and_beyond_the_table(self):
        """Either section's "mxvol" takes the volume route, where paths are
        not cut at digits; majors beyond the 256 a table holds are named and
        left out."""
        self.sb.mxvinfo("exit 0")
        self.sb.node("mxvol/CLS2/dsk/vol2", MXVOL_MAJOR + 1, 2, char=True)
        self.sb.disk("mxvol/CLS3/dsk/vol3", 3, "!5", major=1256)
        block = dict((1000 + i, "mxvol") for i in range(257))
        block[MXVOL_MAJOR] = "mxvol"
        self.sb.proc_devices(char={MXVOL_MAJOR + 1: "mxvol"}, block=block)
        vol3 = "/dev/mxvol/CLS3/dsk/vol3: an input/output error has occurred(5:6ce)."
        self.check(["-a", "/dev/mxvol/CLS/dsk/vol1", "/dev/mxvol/CLS2/dsk/vol2",
                    "/dev/mxvol/CLS3/dsk/vol3"], 6, "ERROR: %s\n" % vol3, [],
                   ["mxvol major 1255 is ignored.", "mxvol major 1256 is ignored.", vol3,
                    "end(1030)."])
        self.assertEqual(self.sb.read("mxvinfo.calls").splitlines(),
                         ["-D -c CLS -o vol1", "-D -c CLS2 -o vol2"])
        self.assertEqual(self.sb.ioctls(), [(GET_PCI, "1256:3", 5)])

    def test_multipath_disks_of_a_class(self):
        """Each disk on the multipath route; one that fails fails the class."""
        self.sb.node("sde", DISK_MAJOR, 64)
        self.sb.node("sdf", DISK_MAJOR, 80)
        self.sb.multipath("sde", "tovh0", [(2, "0000:06:01.0")])
        self.sb.multipath("sdf", "tovh1", link="../../devices/pci0000:00/0000:05:00.0/host0")
        self.sb.mxvinfo('echo "disk a b c d sde"')
        self.check(["-a", "CLS"], 0, "", ["CLS,/dev/sde,tovrd 0000:06:01.0"])
        self.assertEqual(self.sb.ioctls(), [])
        self.sb.mxvinfo('echo "disk a b c d sdf"\necho "disk a b c d sde"')
        self.check(["-a", "CLS"], 6, "", [], ["callee get_pci_by_tovrd_sysfs(1969).",
                                              "callee 1343", "end(1030)."])


if __name__ == "__main__":
    unittest.main()
