"""Label add (-a) on SCSI disks and multipath devices: device path
resolution, the entry written, and what fails an operand or the run."""

import os
import unittest

from devfix import DISK_MAJOR, MXVOL_MAJOR, REFUSE_ARRAY, Machine
from sandbox import SandboxTest

O_RDONLY_NONBLOCK = 0o4000
SCSI_IOCTL_GET_PCI = 0x5387


class AddTest(SandboxTest):
    table = "# node1\n"

    def setUp(self):
        SandboxTest.setUp(self)
        self.m = Machine(self.sb)

    def table_now(self):
        return self.sb.read("etc/hba_addr.conf")

    def added(self):
        """The lines after the original table."""
        now = self.table_now()
        self.assertTrue(now.startswith(self.table), now)
        return now[len(self.table):].splitlines()

    def assertUnchanged(self):
        self.assertEqual(self.table_now(), self.table)
        self.assertFalse(self.sb.exists("etc/hba_addr.conf.1"))


class ScsiDisk(AddTest):
    def setUp(self):
        AddTest.setUp(self)
        self.m.disk("sdb", 16, "0000:05:00.0")
        self.m.partition("sdb1", 17)

    def test_partition_adds_the_disk_behind_it(self):
        self.assertRun(self.m.run("-a", "/dev/sdb1"), 0, stderr="", stdout="")
        self.assertEqual(self.added(), ["/dev/sdb1,/dev/sdb 0000:05:00.0"])
        self.assertEqual(self.m.opens("/dev/sdb"),
                         [{"open": "/dev/sdb", "dev": "%d:16" % DISK_MAJOR,
                           "flags": O_RDONLY_NONBLOCK, "errno": 0}])
        self.assertEqual(len(self.m.requests(SCSI_IOCTL_GET_PCI)), 1)
        self.assertEqual(self.m.registered_bus_ids(), ["0000:05:00.0"])
        self.assertEqual(self.sb.log_messages()[-1], "end(1033).")

    def test_symbolic_link_keeps_the_typed_label(self):
        self.m.link("disk/by-id/scsi-X-part1", "../../sdb1")
        self.assertRun(self.m.run("-a", "/dev/disk/by-id/scsi-X-part1"), 0, stderr="")
        self.assertEqual(self.added(), ["/dev/disk/by-id/scsi-X-part1,/dev/sdb 0000:05:00.0"])

    def test_a_digit_in_a_directory_cuts_there(self):
        self.m.node("c0/d", DISK_MAJOR, 16)
        self.m.node("c", DISK_MAJOR, 16)
        self.assertRun(self.m.run("-a", "/dev/c0/d"), 0, stderr="")
        self.assertEqual(self.added(), ["/dev/c0/d,/dev/c 0000:05:00.0"])
        self.assertEqual(len(self.m.opens("/dev/c")), 1)

    def test_illegal_paths_are_named_and_the_other_operands_go_on(self):
        self.sb.write("dev/plainfile", "")
        os.mkdir(self.sb.path("dev/somedir"))
        r = self.m.run("-a", "/dev/plainfile", "/dev/somedir", "/dev/sdb", "/nonexistent")
        self.assertRun(r, 0, stderr="ERROR: illegal device-path /dev/plainfile.\n"
                       "ERROR: illegal device-path /dev/somedir.\n"
                       "ERROR: illegal device-path /nonexistent.\n")
        self.assertEqual(self.added(), ["/dev/sdb,/dev/sdb 0000:05:00.0"])
        # Only the path that does not resolve leaves a trace in the log.
        self.assertEqual([m for m in self.sb.log_messages() if "illegal" in m or "callee" in m],
                         ["callee parse_hba_addr_conf_add_sub(2148)."])

    def test_nothing_added_ends_with_6_and_the_file_unchanged(self):
        self.m.disk("sdc", 32, "!5")
        r = self.m.run("-a", "/nonexistent", "/dev/sdc")
        self.assertRun(r, 6, stderr="ERROR: illegal device-path /nonexistent.\n"
                       "ERROR: /dev/sdc: an input/output error has occurred(5:6ce).\n")
        self.assertUnchanged()
        self.assertEqual(self.sb.log_messages()[-1], "end(1030).")

    def test_driver_refusal_ends_with_7_and_the_file_unchanged(self):
        r = self.m.run("-a", "/dev/sdb", env={"TARNEX_STUB_REFUSE": REFUSE_ARRAY})
        self.assertEqual(r.status, 7, r)
        self.assertUnchanged()

    def test_entry_too_long_to_read_back_is_refused(self):
        # The line reader takes words of up to 2047 bytes.
        for length, status in ((2047, 0), (2048, 6)):
            name = long_name(length - len("/dev/") - len(",/dev/sdb"), str(length))
            self.m.link(name, "/dev/sdb")
            r = self.m.run("-a", "/dev/" + name)
            self.assertEqual(r.status, status, r)
            if status:
                self.assertEqual(r.stderr, "ERROR: lack of resources(801:3003).\n")
            else:
                self.assertEqual(self.added(), ["/dev/%s,/dev/sdb 0000:05:00.0" % name])
        self.assertRun(self.m.run("-l"), 0)


def long_name(length, top):
    """A relative path of length bytes in components of at most 200."""
    parts = [top]
    while len("/".join(parts)) < length:
        room = length - len("/".join(parts)) - 1
        parts.append("l" * min(200, room) if room > 0 else "")
    name = "/".join(parts)
    assert len(name) == length and "//" not in name, name
    return name


class VolumeManagerMajors(AddTest):
    def test_mxvol_major_of_either_section_takes_the_volume_route(self):
        self.m.mxvinfo("exit 0")
        self.m.node("mxvol/CLS/dsk/vol1", MXVOL_MAJOR, 1)
        self.m.node("mxvol/CLS2/dsk/vol2", MXVOL_MAJOR + 1, 2, char=True)
        self.m.diag()
        self.m.proc_devices(char={MXVOL_MAJOR + 1: "mxvol"}, block={MXVOL_MAJOR: "mxvol"})
        r = self.m.run("-a", "/dev/mxvol/CLS/dsk/vol1", "/dev/mxvol/CLS2/dsk/vol2")
        self.assertRun(r, 6, stderr="")
        # Paths of the volume manager are not cut at digits.
        self.assertEqual(self.m.mxvinfo_calls(), ["-D -c CLS -o vol1", "-D -c CLS2 -o vol2"])
        self.assertEqual(self.m.requests(SCSI_IOCTL_GET_PCI), [])

class Multipath(AddTest):
    def setUp(self):
        AddTest.setUp(self)
        self.m.disk("sdc", 32)
        self.m.multipath("sdc", "tovh0")

    def test_one_line_per_scsi_host_entry(self):
        for n, (host, bus_id) in enumerate([(2, "0000:06:01.0"), (3, "0000:07:01.0"),
                                            (4, "0000:08:01.0")]):
            self.m.mp_file("tovh0", "scsi_host_%d" % n, "%d\n" % host)
            self.m.scsi_host(host, bus_id)
        self.m.mp_file("tovh0", "state", "2\n")  # no "scsi_host_" in its name
        self.assertRun(self.m.run("-a", "/dev/sdc"), 0, stderr="")
        self.assertEqual(sorted(self.added()), ["/dev/sdc,/dev/sdc,tovrd 0000:06:01.0",
                                                "/dev/sdc,/dev/sdc,tovrd 0000:07:01.0",
                                                "/dev/sdc,/dev/sdc,tovrd 0000:08:01.0"])
        self.assertEqual(self.m.opens("/dev/sdc"), [])

    def test_no_scsi_host_entry_adds_nothing(self):
        self.assertRun(self.m.run("-a", "/dev/sdc"), 6, stderr="")
        self.assertUnchanged()

    def test_plain_disk_fails_with_1969(self):
        self.m.disk("sdb", 16, "0000:05:00.0")
        self.m.plain_sysfs_disk("sdb")
        self.assertRun(self.m.run("-a", "/dev/sdb"), 6, stderr="")
        self.assertIn("callee get_pci_by_tovrd_sysfs(1969).", self.sb.log_messages())
        self.assertEqual(self.m.opens("/dev/sdb"), [])

    def test_host_number_of_sixteen_characters_is_refused(self):
        self.m.mp_file("tovh0", "scsi_host_0", "1234567890abcdef\n")
        self.m.scsi_host("1234567890abcdef", "0000:06:01.0")
        self.m.mp_file("tovh0", "scsi_host_1", "123456789abcdef\n")
        self.m.scsi_host("123456789abcdef", "0000:07:01.0")
        self.assertRun(self.m.run("-a", "/dev/sdc"), 6, stderr="")
        self.assertIn("callee query_from_paramf(%d)." % 0x3011, self.sb.log_messages())
        self.sb.remove("sys_devices/tovx/tovh0/scsi_host_0")
        self.assertRun(self.m.run("-a", "/dev/sdc"), 0, stderr="")
        self.assertEqual(self.added(), ["/dev/sdc,/dev/sdc,tovrd 0000:07:01.0"])


if __name__ == "__main__":
    unittest.main()
