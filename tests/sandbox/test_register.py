"""tarnex -r end to end: fixture machines in configuration space, the SHPC
register window and the driver served by the stand-in, the records handed
over decoded and compared literally."""

import os
import unittest

from sandbox import (CAP_SHPC, DOWNSTREAM, ROOT_PORT, SET_HBA_INFO, SET_SHPC_INFO, UPSTREAM,
                     SandboxTest, pm_cap)

HBA = 0xBEEF2BAD
SHPC, PCIE = 0xFEEDBEEF, 0x7ED4BEEF
NO_POWER = 0x0078  # attention button and indicators, no power controller
END_OK, END_REFUSED = "end(1061).", "end(1060)."


def hba(bus_id, alt_pm=0, revision_id=1, pm_cap=0x40, header_type=0):
    d, b, rest = bus_id.split(":")
    return dict(magic=HBA, alt_pm=alt_pm, domain=int(d, 16), bus=int(b, 16),
                device=int(rest[:2], 16), function=int(rest[3:], 16), revision_id=revision_id,
                pm_cap=pm_cap, header_type=header_type, bus_id=bus_id)


def failed_build(loc, *lines):
    return list(lines) + ["callee build_shpc_hba_info_sub(%d)." % loc,
                          "callee build_shpc_hba_info(3638).", END_REFUSED]


def no_pm(bus_id, loc=3446):
    return failed_build(loc, "there was a fatal error(ce2).", "device %s is not under the control"
                        " of SHPC and it dose not have the power management function." % bus_id)


class Register(SandboxTest):
    def register(self, *bus_ids, env=None):
        self.sb.write("etc/hba_addr.conf", "".join("l%d,/dev/sd%s %s\n" % (i, chr(97 + i), b)
                                                   for i, b in enumerate(bus_ids)))
        return self.sb.run("-r", env=env)

    def accepted(self, r):
        """The two records of a run the driver accepted."""
        self.assertRun(r, 0, "", "", log=[END_OK])
        self.assertEqual(self.sb.opens(), [("/dev/tarnex", os.O_RDWR, 0)])
        reqs = self.sb.requests()
        self.assertEqual([(q["request"], q["result"], q["problems"]) for q in reqs],
                         [(SET_HBA_INFO, 0, []), (SET_SHPC_INFO, 0, [])])
        return reqs[0], reqs[1]

    def refused(self, r, log, sent=()):
        # Every report goes to standard error as well.
        self.assertRun(r, 9, "".join("ERROR: %s\n" % m for m in log if m.startswith(
            "there was") or m.startswith("/")), "", log)
        self.assertEqual([q["request"] for q in self.sb.requests()], list(sent))


class Topologies(Register):
    def test_adapters_behind_bridges(self):
        """Which bridge takes which adapter; the rest go plain, duplicates once."""
        sb = self.sb

        def check(bridges, table, plain, behind):
            sb.remove("sys_pci")
            bridges()
            for bus_id in set(table) - {"0:9:0.0"}:
                sb.adapter(bus_id)
            array, tab = self.accepted(self.register(*table))
            self.assertEqual([h["bus_id"] for h in array["hbas"]], plain)
            self.assertEqual([(b["bus_id"], [h["bus_id"] for h in b["hbas"]])
                              for b in tab["bridges"]], behind)
        ids = ["0000:05:%02x.0" % d for d in range(5, -1, -1)]
        ports = ["0000:%02x:00.0" % b for b in (2, 4, 5, 6)]
        self.each([
            (lambda: sb.shpc_bridge("0000:00:1e.0", 5, mode=2, avail1=0x400, avail2=0x1f), ids,
             ["0000:05:05.0", "0000:05:00.0"], [("0000:00:1e.0", ids[1:5])]),
            (lambda: sb.shpc_bridge("0000:00:1e.0", 5, pcie=True), ["0000:05:1f.0", "0000:05:00.0"],
             ["0000:05:00.0"], [("0000:00:1e.0", ["0000:05:1f.0"])]),
            # An adapter one bridge further down is plain.
            (lambda: (sb.port("0000:02:00.0", 7), sb.bridge("0000:07:00.0", 8)),
             ["0000:08:00.0", "0000:07:01.0"], ["0000:08:00.0"], [("0000:02:00.0",
                                                                   ["0000:07:01.0"])]),
            # Ports without hot-plug are no elements.
            (lambda: (sb.port("0000:00:1c.0", 2, ROOT_PORT), sb.port("0000:03:00.0", 4, slot=False),
                      sb.port("0000:03:01.0", 5, slot_caps=NO_POWER),
                      sb.port("0000:03:02.0", 6, UPSTREAM)), ports, ports, []),
            # Both functions of a device, duplicates once; dot entries passed over.
            (lambda: (sb.port("0000:02:00.0", 7), os.mkdir(sb.path("sys_pci/.cache"))),
             ["0000:07:00.0", "0000:09:00.0", "0000:07:00.1", "0000:07:00.0", "0:9:0.0"],
             ["0000:09:00.0"], [("0000:02:00.0", ["0000:07:00.0", "0000:07:00.1"])]),
        ], check)

    def test_records_in_full(self):
        self.sb.write("etc/alterpm.conf", "1077:2432:*   # any revision\n\t1000:0030:3 x\n")
        cap = self.sb.shpc_bridge("0000:00:1e.0", 5, mode=2, avail1=0x400, avail2=0x1f,
                                  revision=0x92)
        self.sb.port("0001:02:00.0", 7, revision=3)
        self.sb.adapter("0000:05:01.0", vendor=0x1077, device=0x2432, revision=9)
        self.sb.adapter("0001:07:00.0", revision=3, header_type=0x80)
        self.sb.adapter("0000:03:00.0", revision=2, caps=[(5, bytes(6), 0x41), pm_cap(offset=0x4a)])
        self.sb.bridge("0000:00:1d.0", 3)
        self.sb.adapter("0000:07:00.0")  # the port's bus number in another domain
        # 19 characters, the most a bus ID of the records holds.
        array, tab = self.accepted(self.register("00000000000:03:00.0", "0001:07:00.0",
                                                 "0000:05:01.0", "0000:07:00.0"))
        self.assertEqual(array, dict(request=SET_HBA_INFO, result=0, errno=0, count=2, err_num=0,
                                     hbas=[dict(hba("0000:03:00.0", revision_id=2, pm_cap=0x4a),
                                                bus_id="00000000000:03:00.0"),
                                           hba("0000:07:00.0")], problems=[]))
        shpc = dict(magic=SHPC, domain=0, bus=0, device=0x1e, function=0, revision_id=0x92,
                    header_type=1, bus_id="0000:00:1e.0", class_code=0x604, secondary_bus=5,
                    cap_offset=cap, first_device=1, slot_count=4, slots_available1=0x400,
                    slots_available2=0x1f, slot_config=0x100, sec_bus_config=2, hba_count=1,
                    hbas=[hba("0000:05:01.0", alt_pm=1, revision_id=9)])
        port = dict(shpc, magic=PCIE, domain=1, bus=2, device=0, revision_id=3,
                    bus_id="0001:02:00.0", secondary_bus=7, cap_offset=0x40, first_device=0,
                    slot_count=0, slots_available1=0, slots_available2=0, slot_config=0,
                    sec_bus_config=0,
                    hbas=[hba("0001:07:00.0", alt_pm=1, revision_id=3, header_type=0x80)])
        self.assertEqual(tab, dict(request=SET_SHPC_INFO, result=0, errno=0, count=2,
                                   total_size=20 + 2 * (76 + 8 + 36), max_hba_count=1, err_num=0,
                                   device_err_num=0, problems=[], bridges=[
                                       {"0000:00:1e.0": shpc, "0001:02:00.0": port}[n]
                                       for n in os.listdir(self.sb.path("sys_pci"))
                                       if n in ("0000:00:1e.0", "0001:02:00.0")]))
        # The select register keeps the last index written.
        self.assertEqual(self.sb.read("sys_pci/0000:00:1e.0/config")[cap + 2], "\x04")


    def test_each_bus_mode_reads_its_own_slot_count(self):
        """Slots Available I holds 10, 11, 12 and 13 slots at 33 MHz and at 66,
        100 and 133 MHz PCI-X, II 7 at 66 MHz; the bits above each are set."""
        def check(mode, slots):
            self.sb.shpc_bridge("0000:00:1e.0", 5, mode=mode | 0xf8, avail1=0xedecebea,
                                avail2=0xffe7, slot_config=0x300)
            bridge = self.accepted(self.register("0000:05:03.0"))[1]["bridges"][0]
            self.assertEqual((bridge["first_device"], bridge["slot_count"]), (3, slots))
        self.sb.adapter("0000:05:03.0")
        self.each([(0, 10), (1, 7), (2, 11), (3, 12), (4, 13)], check)


class Failures(Register):
    def test_build_failures(self):
        """The report and the driver never opened."""
        sb = self.sb

        def check(build, table, log):
            sb.remove("sys_pci")
            sb.write("etc/alterpm.conf", "")
            build()
            self.refused(self.register(*table), log)
            self.assertEqual(self.sb.opens(), [])

        def adapter(**kw):
            return lambda: sb.adapter("0000:05:00.0", **kw)
        loop = "0000:05:00.0 capability list loops back to 0x40 at 0x49."
        self.each([
            (adapter(pm=False), ["0000:05:00.0"], no_pm("0000:05:00.0")),
            (adapter(status=0), ["0000:05:00.0"], no_pm("0000:05:00.0")),
            (adapter(caps=[], status=0x10), ["0000:05:00.0"], no_pm("0000:05:00.0")),
            (adapter(caps=[(5, bytes(6)), (9, bytes(6), None, 0x40)]), ["0000:05:00.0"],
             ["there was a fatal error(4101).", loop] + no_pm("0000:05:00.0")),
            (adapter(caps=[(5, bytes(6), None, 0xff)]), ["0000:05:00.0"],
             ["there was a fatal error(4102).",
              "0000:05:00.0 capability pointer 0xff at 0x41 is invalid."] + no_pm("0000:05:00.0")),
            (adapter(caps=[(5, bytes(2), 0xf8, 0xfe)], size=0xfc), ["0000:05:00.0"],
             ["there was a fatal error(a26).", "0000:05:00.0(106)"] + no_pm("0000:05:00.0")),
            (lambda: (sb.port("0000:02:00.0", 7), sb.adapter("0000:07:00.0", pm=False)),
             ["0000:07:00.0"], no_pm("0000:07:00.0", 3419)),
            # No function there: vendor ID 0xffff.
            (lambda: (adapter()(), sb.adapter("0000:05:00.3", vendor=0xffff)),
             ["0000:05:00.0", "0000:05:00.3"], failed_build(
                3446, "there was a fatal error(ccb).", "device 0000:05:00.3 is does not exist.")),
            (adapter(), ["0000000000000:05:00.0"], failed_build(
                3446, "there was a fatal error(4103).",
                "device 0000000000000:05:00.0 bus ID is longer than 19 characters.")),
            (lambda: (sb.shpc_bridge("0000:00:1e.0", 5, mode=0x01000005),
                      sb.adapter("0000:05:01.0")), ["0000:05:01.0"],
             ["there was a fatal error(c8d).",
              "SHPC 0000:00:1e.0 unknown Secondary Bus Configuration Register 0x1000005",
              "callee build_shpc_hba_info(3631).", END_REFUSED]),
            (lambda: sb.shpc_bridge("0000:00:1e.0", 5, fail_select=True), [],
             ["there was a fatal error(9aa).", "0000:00:1e.0(1005)", "callee search_shpc(2711).",
              END_REFUSED]),
            (lambda: sb.bridge("0000:00:1e.0", 5, caps=[(CAP_SHPC, bytes(6))], size=0x44), [],
             ["there was a fatal error(9b5).", "0000:00:1e.0(406)", "callee search_shpc(2711).",
              END_REFUSED]),
            (lambda: sb.port("0000:02:01.0", 7, size=0x54), [],
             ["there was a fatal error(ad8).", "0000:02:01.0(64:206)", END_REFUSED]),
            (lambda: sb.function("0000:00:1f.z"), [],
             ["there was a fatal error(dc5).", "pci scan false(20007)", END_REFUSED]),
            (lambda: sb.write("etc/alterpm.conf", "1000:0030:*\n0x10df:fe00:1\n"), [],
             ["there was a fatal error(be4).", "0x10df", "callee parse_d0_conf(3139).",
              END_REFUSED]),
            (lambda: sb.remove("etc/alterpm.conf"), [],
             ["/etc/opt/KVXRtarnex/alterpm.conf: failed to access file(5:c3b).", END_REFUSED]),
        ], check)

    def test_adapter_matched_earlier_never_reaches_a_bad_bridge(self):
        # The bridges follow the directory: a port listed before the bad SHPC.
        pci = self.sb.path("sys_pci")
        self.sb.shpc_bridge("0000:00:1e.0", 5, mode=6)
        for dev in range(32):
            name = "0000:01:%02x.0" % dev
            os.makedirs(os.path.join(pci, name))
            if os.listdir(pci).index(name) < os.listdir(pci).index("0000:00:1e.0"):
                break
            os.rmdir(os.path.join(pci, name))
        else:
            self.skipTest("no name is listed before the bridge in this directory")
        self.sb.port(name, 7)
        self.sb.adapter("0000:07:00.0")
        _, tab = self.accepted(self.register("0000:07:00.0"))
        self.assertEqual([b["bus_id"] for b in tab["bridges"]], [name, "0000:00:1e.0"])


class Refusals(Register):
    """The driver refuses a record: the report, the err_num line and the
    lines of the elements it names; counts and addresses the driver wrote
    back are not followed."""

    ARRAY = "/dev/tarnex: an input/output error has occurred(%x:e5f)."
    TABLE = "/dev/tarnex: an input/output error has occurred(16:e73)."
    PLAIN_1, PLAIN_2 = "beef2bad 0 0000:05:00.0(3) 40", "beef2bad 1 0000:06:00.0(1) 40"
    BRIDGE = ["feedbeef 0 0000:00:1e.0(92) 0", "604 8 40 1 4 400 0 100 2 0"]
    BEHIND_1, BEHIND_2 = "beef2bad 0 0000:08:01.0(1) 40", "beef2bad 0 0000:08:02.0(1) 40"

    def test_refused_records(self):
        sb = self.sb
        sb.write("etc/alterpm.conf", "1000:0030:1\n")
        sb.shpc_bridge("0000:00:1e.0", 8, mode=2, avail1=0x400, revision=0x92)
        sb.adapter("0000:05:00.0", revision=3, device=0x0031)
        sb.adapter("0000:06:00.0")
        sb.adapter("0000:08:01.0", device=0x0031)
        sb.adapter("0000:08:02.0", device=0x0031)
        ids = ["0000:05:00.0", "0000:08:01.0", "0000:06:00.0", "0000:08:02.0"]

        def check(request, err_num, device_err_num, errno, lines, scribble=0):
            env = dict(TARNEX_STUB_REFUSE=request, TARNEX_STUB_ERR_NUM=err_num,
                       TARNEX_STUB_DEVICE_ERR_NUM=device_err_num, TARNEX_STUB_ERRNO=errno,
                       TARNEX_STUB_SCRIBBLE=scribble)
            if request == SET_HBA_INFO:
                head = [self.ARRAY % errno, "err_num %d" % err_num]
            else:
                head = [self.TABLE, "err_num %d device_err_num %d" % (err_num, device_err_num)]
            self.refused(self.register(*ids, env=env), head + lines + [END_REFUSED],
                         [SET_HBA_INFO] + ([SET_SHPC_INFO] if request == SET_SHPC_INFO else []))
        self.each([
            # err_num counts from 1; 0, negative and beyond the count name nothing.
            (SET_HBA_INFO, 2, 0, 22, [self.PLAIN_2]), (SET_HBA_INFO, 1, 0, 5, [self.PLAIN_1]),
            (SET_HBA_INFO, 0, 0, 22, []), (SET_HBA_INFO, -1, 0, 22, []),
            (SET_HBA_INFO, 3, 0, 22, []),
            (SET_SHPC_INFO, 1, 0, 22, self.BRIDGE), (SET_SHPC_INFO, 1, 2, 22,
                                                      self.BRIDGE + [self.BEHIND_2]),
            (SET_SHPC_INFO, 1, 3, 22, self.BRIDGE), (SET_SHPC_INFO, 1, -2, 22, self.BRIDGE),
            (SET_SHPC_INFO, 2, 1, 22, []), (SET_SHPC_INFO, 0, 1, 22, []),
            (SET_SHPC_INFO, 1, 1, 22, self.BRIDGE + [self.BEHIND_1], 1),
            (SET_SHPC_INFO, 5, 3, 22, [], 1), (SET_HBA_INFO, 1000, 0, 22, [], 1),
        ], check)

    def test_driver_node_that_cannot_be_opened(self):
        msg = "/dev/tarnex: an input/output error has occurred(2:e57)."
        self.refused(self.register(env={"TARNEX_STUB_OPEN_ERRNO": 2}), [msg, END_REFUSED])


if __name__ == "__main__":
    unittest.main()
