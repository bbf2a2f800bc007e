"""tarnex -r end to end: fixture machines under /sys/bus/pci/devices, the
stand-in driver on /dev/tarnex decoding and checking both records, and the
SHPC register window served by the stand-in library."""

import os
import unittest

import pcifix
from hotplug_fix import (BRIDGE_PCIE, BRIDGE_SHPC, HBA_INFO_MAGIC, SET_HBA_INFO, SET_SHPC_INFO,
                         SLTCAP_NO_POWER, Machine, bus_ids, read_dump, requests, stub_env)
from sandbox import SandboxTest

START = ["start.", "option 0 0 0 1"]
END_OK = "end(1061)."
END_REFUSED = "end(1060)."


def build_failed(sub_loc, *lines):
    """The log lines of a record build that failed in build_shpc_hba_info_sub."""
    return list(lines) + ["callee build_shpc_hba_info_sub(%d)." % sub_loc,
                          "callee build_shpc_hba_info(3638)."]


def no_pm(bus_id, sub_loc=3446):
    return build_failed(sub_loc, "there was a fatal error(ce2).",
                        "device %s is not under the control of SHPC and it dose not have the "
                        "power management function." % bus_id)


def table(*bus_ids_):
    return "".join("l%d,/dev/sd%s %s\n" % (i, chr(ord("a") + i), b)
                   for i, b in enumerate(bus_ids_))


class RegisterTest(SandboxTest):
    def setUp(self):
        SandboxTest.setUp(self)
        self.sb.write("etc/alterpm.conf", "# no item\n")
        self.machine = Machine()

    def register(self, *bus_ids_, **stub):
        if bus_ids_:
            self.sb.write("etc/hba_addr.conf", table(*bus_ids_))
        self.machine.write(self.sb)
        return self.sb.run("-r", preload=True, env=stub_env(self.sb, **stub))

    def accepted(self, r):
        """Checks a run the driver accepted; returns (array, table) as dumped."""
        self.assertRun(r, 0, stderr="", stdout="")
        self.assertEqual(self.sb.log_messages(), START + [END_OK])
        dump = read_dump(self.sb)
        self.assertEqual(dump[0], {"open": "/dev/tarnex", "flags": os.O_RDWR, "errno": 0})
        reqs = requests(self.sb)
        self.assertEqual([(d["request"], d["result"], d["problems"]) for d in reqs],
                         [(SET_HBA_INFO, 0, []), (SET_SHPC_INFO, 0, [])])
        return reqs[0], reqs[1]

    def bridge(self, tab, bus_id):
        found = [b for b in tab["bridges"] if b["bus_id"] == bus_id]
        self.assertEqual(len(found), 1, tab)
        return found[0]

    def refused(self, r, messages):
        self.assertRun(r, 9, stdout="")
        self.assertEqual(self.sb.log_messages(), START + messages + [END_REFUSED])


class Topologies(RegisterTest):
    def test_no_hot_plug_bridge_sends_every_adapter_plain(self):
        m = self.machine
        m.plain_bridge("0000:00:1d.0", 5)
        m.adapter("0000:05:00.0", vendor=0x1077, device=0x2432, revision=2, multi=True)
        m.adapter("0000:03:00.0")
        array, tab = self.accepted(self.register("0000:05:00.0", "0000:03:00.0"))
        self.assertEqual(array["count"], 2)
        self.assertEqual(array["hbas"][0], {
            "magic": HBA_INFO_MAGIC, "alt_pm": 0, "domain": 0, "bus": 5, "device": 0,
            "function": 0, "revision_id": 2, "pm_cap": 0x40, "header_type": 0x80,
            "bus_id": "0000:05:00.0"})
        self.assertEqual(bus_ids(array), ["0000:05:00.0", "0000:03:00.0"])
        self.assertEqual((tab["count"], tab["total_size"], tab["max_hba_count"], tab["bridges"]),
                         (0, 20, 0, []))

    def test_shpc_in_pcix_66_mode_takes_the_slots_it_declares(self):
        m = self.machine
        br = m.shpc_bridge("0000:00:1e.0", secondary=5, mode=2, avail1=0x400, avail2=0x1f,
                           slot_config=0x100, revision=0x92)
        for dev in range(0, 6):
            m.adapter("0000:05:%02x.0" % dev)
        array, tab = self.accepted(self.register(*["0000:05:%02x.0" % d for d in range(5, -1, -1)]))
        self.assertEqual(bus_ids(array), ["0000:05:05.0", "0000:05:00.0"])
        self.assertEqual(tab["count"], 1)
        b = tab["bridges"][0]
        self.assertEqual(bus_ids(b["hbas"]),
                         ["0000:05:04.0", "0000:05:03.0", "0000:05:02.0", "0000:05:01.0"])
        cap = br.cap_offset(pcifix.CAP_ID_SHPC)
        self.assertEqual(
            {k: b[k] for k in ("magic", "bus_id", "revision_id", "header_type", "class_code",
                               "secondary_bus", "cap_offset", "first_device", "slot_count",
                               "slots_available1", "slots_available2", "slot_config",
                               "sec_bus_config", "hba_count")},
            {"magic": BRIDGE_SHPC, "bus_id": "0000:00:1e.0", "revision_id": 0x92,
             "header_type": 1, "class_code": 0x0604, "secondary_bus": 5, "cap_offset": cap,
             "first_device": 1, "slot_count": 4, "slots_available1": 0x400,
             "slots_available2": 0x1f, "slot_config": 0x100, "sec_bus_config": 2,
             "hba_count": 4})
        self.assertEqual((tab["total_size"], tab["max_hba_count"]), (20 + 76 + 8 + 4 * 36, 4))
        # The select register keeps the last index written.
        config = self.sb.read("sys_pci/0000:00:1e.0/config")
        self.assertEqual(ord(config[cap + 2]), 4)

    def test_adapter_one_bridge_further_down_is_plain(self):
        m = self.machine
        m.pcie_port("0000:02:00.0", secondary=7)
        m.plain_bridge("0000:07:00.0", secondary=8)
        m.adapter("0000:07:01.0")
        m.adapter("0000:08:00.0")
        array, tab = self.accepted(self.register("0000:08:00.0", "0000:07:01.0"))
        self.assertEqual(bus_ids(array), ["0000:08:00.0"])
        b = self.bridge(tab, "0000:02:00.0")
        self.assertEqual((b["magic"], b["secondary_bus"], b["cap_offset"]), (BRIDGE_PCIE, 7, 0x40))
        self.assertEqual(bus_ids(b["hbas"]), ["0000:07:01.0"])
        self.assertEqual((b["first_device"], b["slot_count"], b["slots_available1"],
                          b["sec_bus_config"]), (0, 0, 0, 0))

    def test_bridge_with_shpc_and_pci_express_is_shpc(self):
        m = self.machine
        br = m.shpc_bridge("0000:00:1e.0", secondary=5, mode=0, avail1=0x1f, slot_config=0x100,
                           pcie=True)
        m.adapter("0000:05:02.0")
        array, tab = self.accepted(self.register("0000:05:02.0"))
        b = self.bridge(tab, "0000:00:1e.0")
        self.assertEqual((b["magic"], b["cap_offset"], b["first_device"], b["slot_count"]),
                         (BRIDGE_SHPC, br.cap_offset(pcifix.CAP_ID_SHPC), 1, 31))
        self.assertEqual(bus_ids(b["hbas"]), ["0000:05:02.0"])
        self.assertEqual(array["count"], 0)

    def test_ports_without_hot_plug_are_no_elements(self):
        m = self.machine
        m.root_port("0000:00:1c.0", secondary=2)
        m.pcie_port("0000:03:00.0", secondary=4, slot=False)
        m.pcie_port("0000:03:01.0", secondary=5, slot_caps=SLTCAP_NO_POWER)
        m.pcie_port("0000:03:02.0", secondary=6, port_type=pcifix.PCIE_TYPE_UPSTREAM)
        for bus in (2, 4, 5, 6):
            m.adapter("0000:%02x:00.0" % bus)
        ids = ["0000:%02x:00.0" % bus for bus in (2, 4, 5, 6)]
        array, tab = self.accepted(self.register(*ids))
        self.assertEqual(tab["count"], 0)
        self.assertEqual(bus_ids(array), ids)

    def test_duplicates_sent_once_and_functions_of_one_device_both(self):
        m = self.machine
        m.pcie_port("0000:02:00.0", secondary=7)
        m.adapter("0000:07:00.0", multi=True)
        m.adapter("0000:07:00.1")
        m.adapter("0000:09:00.0")
        array, tab = self.accepted(self.register(
            "0000:07:00.0", "0000:09:00.0", "0000:07:00.1", "0000:07:00.0", "0:9:0.0"))
        self.assertEqual(bus_ids(array), ["0000:09:00.0"])
        self.assertEqual(bus_ids(tab["bridges"][0]["hbas"]), ["0000:07:00.0", "0000:07:00.1"])
        self.assertEqual(tab["total_size"], 20 + 76 + 8 + 2 * 36)

    def test_alternative_list_flags_the_adapters_it_names(self):
        self.sb.write("etc/alterpm.conf", "1077:2432:*   # any revision\n1000:0030:3\n")
        m = self.machine
        m.adapter("0000:05:00.0", vendor=0x1077, device=0x2432, revision=9)
        m.adapter("0000:06:00.0", vendor=0x1000, device=0x0030, revision=2)
        array, _ = self.accepted(self.register("0000:05:00.0", "0000:06:00.0"))
        self.assertEqual([h["alt_pm"] for h in array["hbas"]], [1, 0])


class Failures(RegisterTest):
    def test_unknown_bus_mode_fails_only_when_an_adapter_reaches_it(self):
        m = self.machine
        m.shpc_bridge("0000:00:1e.0", secondary=5, mode=0x01000005)
        m.adapter("0000:09:00.0")
        _, tab = self.accepted(self.register())
        self.assertEqual((tab["count"], tab["bridges"][0]["first_device"]), (1, 0))

        self.sb.remove("stub_dump")
        self.sb.remove("var/log/user.log")
        r = self.register("0000:09:00.0")
        self.assertEqual(r.stderr, "ERROR: there was a fatal error(c8d).\n")
        self.refused(r, [
            "there was a fatal error(c8d).",
            "SHPC 0000:00:1e.0 unknown Secondary Bus Configuration Register 0x1000005",
            "callee build_shpc_hba_info(3631)."])
        self.assertEqual(read_dump(self.sb), [])  # the driver was never opened

    def test_adapter_matched_earlier_never_reaches_a_bad_element(self):
        # The elements follow the directory: put a port before the bad SHPC.
        m = self.machine
        m.shpc_bridge("0000:00:1e.0", secondary=5, mode=6)
        pci = self.sb.path("sys_pci")
        os.makedirs(os.path.join(pci, "0000:00:1e.0"))
        for dev in range(32):
            name = "0000:01:%02x.0" % dev
            os.makedirs(os.path.join(pci, name))
            if pcifix.directory_order(pci).index(name) < \
                    pcifix.directory_order(pci).index("0000:00:1e.0"):
                break
            os.rmdir(os.path.join(pci, name))
        else:
            self.skipTest("no name sorts before the bridge in this directory")
        m.pcie_port(name, secondary=7)
        m.adapter("0000:07:00.0")
        _, tab = self.accepted(self.register("0000:07:00.0"))
        self.assertEqual([b["bus_id"] for b in tab["bridges"]], [name, "0000:00:1e.0"])

    def test_adapter_without_power_management_fails_behind_a_bridge(self):
        m = self.machine
        m.pcie_port("0000:02:00.0", secondary=7)
        m.adapter("0000:07:00.0", pm=False)
        r = self.register("0000:07:00.0")
        self.assertEqual(r.stderr, "ERROR: there was a fatal error(ce2).\n")
        self.refused(r, no_pm("0000:07:00.0", 3419))
        self.assertEqual(read_dump(self.sb), [])

    def test_absent_adapter(self):
        self.machine.adapter("0000:05:00.0")
        r = self.register("0000:05:00.0", "0000:05:00.3")
        self.assertEqual(r.stderr, "ERROR: there was a fatal error(ccb).\n")
        self.refused(r, build_failed(3446, "there was a fatal error(ccb).",
                                     "device 0000:05:00.3 is does not exist."))

    def test_capability_walk(self):
        """The adapter's power-management capability: found along the chain
        and at an unaligned pointer, or reported missing after whatever
        ended the walk (a loop, a 0xff pointer, a read past the file)."""
        Cap, PmCap = pcifix.Cap, pcifix.PmCap
        cases = [
            (dict(caps=[Cap(0x05, bytes(22)), Cap(0x10, bytes(58)), PmCap()]), 0x94, []),
            (dict(caps=[Cap(0x05, bytes(6), offset=0x41), PmCap(offset=0x4a)]), 0x4a, []),
            (dict(caps=[PmCap()], status=0), None, []),  # no list bit
            (dict(caps=[], status=pcifix.STATUS_CAP_LIST), None, []),  # bit set, pointer 0
            (dict(caps=[Cap(0x05, bytes(6)), Cap(0x09, bytes(6), next=0x40)]), None,
             ["there was a fatal error(4101).",
              "0000:05:00.0 capability list loops back to 0x40 at 0x49."]),
            (dict(caps=[Cap(0x05, bytes(6), next=0xff)]), None,
             ["there was a fatal error(4102).",
              "0000:05:00.0 capability pointer 0xff at 0x41 is invalid."]),
            (dict(caps=[Cap(0x05, bytes(2), offset=0xf8, next=0xfe)], size=0xfc), None,
             ["there was a fatal error(a26).", "0000:05:00.0(106)"]),
        ]
        for kw, pm_cap, walk in cases:
            with self.subTest(kw=kw):
                self.sb.remove("var/log/user.log")
                self.sb.remove("stub_dump")
                self.sb.remove("sys_pci")
                self.machine = Machine()
                self.machine.adapter("0000:05:00.0", **kw)
                r = self.register("0000:05:00.0")
                if pm_cap is None:
                    self.refused(r, walk + no_pm("0000:05:00.0"))
                else:
                    self.assertEqual(self.accepted(r)[0]["hbas"][0]["pm_cap"], pm_cap)

    def test_bus_id_too_long_for_the_record(self):
        self.machine.adapter("0000:05:00.0")
        r = self.register("0000000000000:05:00.0")  # 21 characters naming 0000:05:00.0
        self.refused(r, build_failed(
            3446, "there was a fatal error(4103).",
            "device 0000000000000:05:00.0 bus ID is longer than 19 characters."))
        self.sb.remove("var/log/user.log")
        array, _ = self.accepted(self.register("00000000000:05:00.0"))  # 19: the most that fits
        self.assertEqual(bus_ids(array), ["00000000000:05:00.0"])

    def test_unreadable_bridge_registers_fail_the_search(self):
        shpc = pcifix.Function("0000:00:1e.0", cls=0x060400, header_type=1, secondary=5,
                               subordinate=5, caps=[pcifix.ShpcCap()], size=0x44)
        port = self.machine.pcie_port("0000:02:01.0", secondary=7)
        port.size = port.cap_offset(pcifix.CAP_ID_EXP) + 0x14
        for bridge, lines in ((shpc, ["there was a fatal error(9b5).", "0000:00:1e.0(406)",
                                      "callee search_shpc(2711)."]),
                              (port, ["there was a fatal error(ad8).", "0000:02:01.0(64:206)"])):
            with self.subTest(bridge=bridge.name):
                self.sb.remove("var/log/user.log")
                self.sb.remove("sys_pci")
                self.machine = Machine()
                self.machine.add(bridge)
                self.refused(self.register(), lines)

    def test_shpc_select_write_refused_by_the_kernel(self):
        br = self.machine.shpc_bridge("0000:00:1e.0", secondary=5)
        self.machine.fail("0000:00:1e.0", "write", br.cap_offset(pcifix.CAP_ID_SHPC) + 2)
        r = self.register("0000:05:01.0")
        self.assertEqual(r.stderr, "ERROR: there was a fatal error(9aa).\n")
        self.refused(r, ["there was a fatal error(9aa).", "0000:00:1e.0(1005)",
                         "callee search_shpc(2711)."])

    def test_missing_driver_node(self):
        self.sb.write("etc/hba_addr.conf", table("0000:05:00.0"))
        self.machine.adapter("0000:05:00.0")
        self.machine.write(self.sb)
        os.makedirs(self.sb.path("dev"))  # a /dev without tarnex; no stand-in
        r = self.sb.run("-r")
        msg = "/dev/tarnex: an input/output error has occurred(2:e57)."
        self.assertEqual(r.stderr, "ERROR: " + msg + "\n")
        self.refused(r, [msg])


if __name__ == "__main__":
    unittest.main()
