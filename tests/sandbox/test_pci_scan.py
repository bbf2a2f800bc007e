"""PCI snapshot over fixture trees mounted on /sys/bus/pci/devices, and over
the host's own tree read-only, through the test driver pci_probe."""

import os

import pcifix
from pcifix import Function, PcieCap, PmCap, ShpcCap
from sandbox import TARNEX_BIN, Sandbox, SandboxTest

PROBE = os.path.join(os.path.dirname(TARNEX_BIN), "pci_probe")
HOST_TREE = "/sys/bus/pci/devices"

MACHINE = [
    Function("0000:00:00.0", vendor=0x8086, device=0x29c0, cls=0x060000),
    Function("0000:00:1e.0", vendor=0x8086, device=0x244e, cls=0x060401, revision=0x92,
             header_type=1, secondary=5, subordinate=6,
             caps=[ShpcCap(data=0x1f), PcieCap(port_type=pcifix.PCIE_TYPE_DOWNSTREAM,
                                                 slot_caps=0x0012007b)]),
    Function("0000:05:00.0", vendor=0x1000, device=0x0030, cls=0x010000, revision=7,
             multi=True, caps=[PmCap()]),
    Function("0001:80:1f.7", vendor=0x10df, device=0xfe00, cls=0x0c0400, revision=0xff),
    Function("0000:00:03.0", size=64),
]


def line(name, vendor, device, revision, cls, header_type):
    return "%s %04x:%04x %02x %06x %02x" % (name, vendor, device, revision, cls, header_type)


def lines(functions):
    return [line(f.name, f.vendor, f.device, f.revision, f.cls, f.header_type)
            for f in functions]


class PciScan(SandboxTest):
    def setUp(self):
        SandboxTest.setUp(self)
        self.assertTrue(os.path.exists(PROBE), "build the pci_probe target first: " + PROBE)

    def tree(self, functions):
        """Writes the tree; returns the functions in the directory's order."""
        pcifix.write_tree(self.sb.path("sys_pci"), functions)
        by_name = {f.name: f for f in functions}
        return [by_name[n] for n in pcifix.directory_order(self.sb.path("sys_pci"))]

    def probe(self, *args):
        return self.sb.run_program([PROBE] + list(args))

    def test_list_runs_backwards_without_dot_entries_and_absent_functions(self):
        order = self.tree(MACHINE + [Function("0000:00:02.0", vendor=0xffff)])
        os.mkdir(self.sb.path("sys_pci/.cache"))  # would stop the scan if parsed
        want = lines(reversed([f for f in order if f.vendor != 0xffff])) + ["ok"]
        self.assertRun(self.probe("scan"), 0, stdout="\n".join(want) + "\n", stderr="")

    def test_unparsable_name_stops_with_0x20007_keeping_earlier_functions(self):
        order = self.tree(MACHINE + [Function("0000:00:1f.z")])
        before = order[:[f.name for f in order].index("0000:00:1f.z")]
        r = self.probe("scan")
        self.assertRun(r, 1)
        self.assertEqual(r.stdout.splitlines()[1:], lines(reversed(before)))
        self.assertRegex(r.stdout.splitlines()[0], r"^fail 20007 \d+$")

    def test_config_cut_before_the_header_type_stops_the_scan(self):
        self.tree([Function("0000:00:01.0", size=0x0e)])
        self.assertRun(self.probe("scan"), 1, stdout="fail 30106 6\n")

    def test_register_access_and_short_config(self):
        self.tree(MACHINE)
        shpc = MACHINE[1].cap_offset(pcifix.CAP_ID_SHPC)
        exp = MACHINE[1].cap_offset(pcifix.CAP_ID_EXP)
        r = self.probe("cfg", "0000:00:1e.0", "r16@0x0a", "r8@0x19", "r16@0x06", "r8@0x34",
                       "r32@%d" % (shpc + 4), "r16@%d" % (exp + 2), "r32@%d" % (exp + 0x14),
                       "w8@%d=4" % (shpc + 2), "r8@%d" % (shpc + 2), "w32@0xa0=0x11223344",
                       "r16@0xa2")
        self.assertRun(r, 0, stdout="604\n5\n10\n%x\n1f\n162\n12007b\nok\n4\nok\n1122\n" % shpc)
        with open(self.sb.path("sys_pci/0000:00:1e.0/config"), "rb") as f:
            self.assertEqual(f.read()[0xa0:0xa4], bytes([0x44, 0x33, 0x22, 0x11]))
        r = self.probe("cfg", "0000:00:03.0", "r8@0x3f", "r8@0x40", "r32@0x100")
        self.assertRun(r, 1, stdout="0\nfail 106 6\nfail 406 6\n")

    def test_host_tree_matches_the_kernels_attributes(self):
        if not os.path.isdir(HOST_TREE) or not os.listdir(HOST_TREE):
            self.skipTest("no PCI functions in " + HOST_TREE)
        with Sandbox() as sb:  # no sys_pci: the host's own tree shows through
            r = sb.run_program([PROBE, "scan"])
        want = []
        for name in reversed(pcifix.directory_order(HOST_TREE)):
            attr = {}
            for a in ("vendor", "device", "class"):
                with open(os.path.join(HOST_TREE, name, a)) as f:
                    attr[a] = int(f.read(), 16)
            with open(os.path.join(HOST_TREE, name, "config"), "rb") as f:
                config = f.read(16)
            if attr["vendor"] != 0xffff:
                want.append(line(name, attr["vendor"], attr["device"], config[8],
                                 attr["class"], config[14]))
        self.assertRun(r, 0, stdout="\n".join(want + ["ok"]) + "\n")


if __name__ == "__main__":
    import unittest
    unittest.main()
