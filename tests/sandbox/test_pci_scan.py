"""PCI snapshot over fixture trees mounted on /sys/bus/pci/devices, and over
the host's own tree read-only, through the test driver pci_probe."""

import os
import unittest

import pcifix
from pcifix import Function, PcieCap, PmCap, ShpcCap
from sandbox import TARNEX_BIN, SandboxTest

PROBE = os.path.join(os.path.dirname(TARNEX_BIN), "pci_probe")
HOST_TREE = "/sys/bus/pci/devices"


def line(fn):
    """The probe's line for a Function of a fixture."""
    dom, bus, dev, f = fn.address()
    return "%s %04x:%04x %02x %06x %02x" % (pcifix.bus_id(dom, bus, dev, f), fn.vendor,
                                            fn.device, fn.revision, fn.cls, fn.header_type)


class ProbeTest(SandboxTest):
    def setUp(self):
        SandboxTest.setUp(self)
        self.assertTrue(os.path.exists(PROBE), "build the pci_probe target first: " + PROBE)

    def tree(self, functions):
        return pcifix.write_tree(self.sb.path("sys_pci"), functions)

    def probe(self, *args):
        return self.sb.run_program([PROBE] + list(args))

    def expected_lines(self, functions, skip=()):
        by_name = {fn.name: fn for fn in functions}
        names = [n for n in pcifix.directory_order(self.sb.path("sys_pci")) if n not in skip]
        return [line(by_name[n]) for n in reversed(names)]


MACHINE = [
    Function("0000:00:00.0", vendor=0x8086, device=0x29c0, cls=0x060000),
    Function("0000:00:1e.0", vendor=0x8086, device=0x244e, cls=0x060401, revision=0x92,
             header_type=1, primary=0, secondary=5, subordinate=6,
             caps=[ShpcCap(data=0x1f), PcieCap(port_type=pcifix.PCIE_TYPE_DOWNSTREAM,
                                                 slot_caps=0x0012007b)]),
    Function("0000:05:00.0", vendor=0x1000, device=0x0030, cls=0x010000, revision=7,
             multi=True, caps=[PmCap()]),
    Function("0000:05:00.1", vendor=0x1000, device=0x0030, cls=0x010000, revision=7,
             caps=[PmCap()]),
    Function("0001:80:1f.7", vendor=0x10df, device=0xfe00, cls=0x0c0400, revision=0xff),
]


class Scan(ProbeTest):
    def test_list_is_the_reverse_of_directory_order_without_absent_functions(self):
        absent = Function("0000:00:02.0", vendor=0xffff, device=0xffff)
        self.tree(MACHINE + [absent])
        os.mkdir(self.sb.path("sys_pci/.cache"))  # would stop the scan if parsed
        r = self.probe("scan")
        self.assertRun(r, 0, stderr="")
        self.assertEqual(r.stdout.splitlines(),
                         self.expected_lines(MACHINE, skip={absent.name}) + ["ok"])

    def test_empty_tree_gives_no_function(self):
        os.makedirs(self.sb.path("sys_pci"))
        self.assertRun(self.probe("scan"), 0, stdout="ok\n")

    def test_unparsable_name_stops_with_0x20007_keeping_earlier_functions(self):
        bad = Function("0000:00:1f.z")
        self.tree(MACHINE + [bad])
        order = pcifix.directory_order(self.sb.path("sys_pci"))
        before = order[:order.index(bad.name)]
        by_name = {fn.name: fn for fn in MACHINE}
        r = self.probe("scan")
        self.assertRun(r, 1)
        self.assertEqual(r.stdout.splitlines(),
                         ["fail 20007 %d" % r_errno(r)] +
                         [line(by_name[n]) for n in reversed(before)])

    def test_config_cut_before_the_header_type_stops_the_scan(self):
        self.tree([Function("0000:00:01.0", size=0x0e)])
        r = self.probe("scan")
        self.assertRun(r, 1, stdout="fail 30106 6\n")


def r_errno(result):
    """errno of the probe's "fail CODE ERRNO" line."""
    for text in result.stdout.splitlines():
        if text.startswith("fail "):
            return int(text.split()[2])
    raise AssertionError("no failure line: %r" % result)


class Access(ProbeTest):
    def setUp(self):
        ProbeTest.setUp(self)
        self.bridge = MACHINE[1]
        self.tree(MACHINE + [Function("0000:00:03.0", size=64)])

    def test_reads_give_the_fixture_registers(self):
        shpc = self.bridge.cap_offset(pcifix.CAP_ID_SHPC)
        exp = self.bridge.cap_offset(pcifix.CAP_ID_EXP)
        r = self.probe("cfg", "0000:00:1e.0", "r16@0x0a", "r8@0x19", "r16@0x06", "r8@0x34",
                       "r32@%d" % (shpc + 4), "r16@%d" % (exp + 2), "r32@%d" % (exp + 0x14))
        self.assertRun(r, 0, stdout="604\n5\n10\n%x\n1f\n162\n12007b\n" % shpc)

    def test_write_then_read_back_through_the_select_byte(self):
        shpc = self.bridge.cap_offset(pcifix.CAP_ID_SHPC)
        r = self.probe("cfg", "0000:00:1e.0", "w8@%d=4" % (shpc + 2), "r8@%d" % (shpc + 2),
                       "w32@0xa0=0x11223344", "r16@0xa2")
        self.assertRun(r, 0, stdout="ok\n4\nok\n1122\n")
        config = open(self.sb.path("sys_pci/0000:00:1e.0/config"), "rb").read()
        self.assertEqual(config[shpc + 2], 4)
        self.assertEqual(config[0xa0:0xa4], bytes([0x44, 0x33, 0x22, 0x11]))

    def test_misaligned_and_out_of_range_accesses(self):
        r = self.probe("cfg", "0000:00:03.0", "r16@3", "r32@6", "w16@0x41=1", "r8@0x40",
                       "r8@0x3f")
        self.assertRun(r, 1, stdout="fail 201 22\nfail 401 22\nfail 2001 22\nfail 106 6\n0\n")


def host_attribute(name, attr):
    with open(os.path.join(HOST_TREE, name, attr)) as f:
        return int(f.read(), 16)


class HostTree(unittest.TestCase):
    """The host's own tree: the snapshot agrees with the kernel's attributes."""

    def test_snapshot_matches_sysfs_attributes(self):
        if not os.path.isdir(HOST_TREE) or not os.listdir(HOST_TREE):
            self.skipTest("no PCI functions in " + HOST_TREE)
        if not os.path.exists(PROBE):
            self.fail("build the pci_probe target first: " + PROBE)
        from sandbox import Sandbox
        with Sandbox() as sb:  # no sys_pci: the host's tree shows through
            r = sb.run_program([PROBE, "scan"])
        self.assertEqual(r.status, 0, r)
        lines = r.stdout.splitlines()
        self.assertEqual(lines[-1], "ok")
        want = []
        for name in reversed(pcifix.directory_order(HOST_TREE)):
            vendor = host_attribute(name, "vendor")
            if vendor == 0xffff:
                continue
            with open(os.path.join(HOST_TREE, name, "config"), "rb") as f:
                config = f.read(16)
            want.append("%s %04x:%04x %02x %06x %02x" % (
                name, vendor, host_attribute(name, "device"), config[8],
                host_attribute(name, "class"), config[14]))
        self.assertEqual(lines[:-1], want)


if __name__ == "__main__":
    unittest.main()
