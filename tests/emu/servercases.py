"""Scenario checks shared by the dynamic and the static build of the command.

A test module sets VARIANT, boots the emulated server once in setUpModule
with SCENARIOS and runs these cases against what the guest wrote. A step
whose mode the command does not have yet (its stub reports "there was a
fatal error(10f...)") is skipped, not failed.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu  # noqa: E402
import records as R  # noqa: E402

SCENARIOS = ["facts", "add", "add_pm", "register", "refuse", "edit", "stand_in"]

GOOD_TABLE = """\
# power-managed functions of the emulated server
nic,/dev/emu0 0000:00:06.0
nvme,/dev/emu1 0000:04:00.0   # behind downstream port 02:01.0
slotb,/dev/emu2 0000:06:03.0  # behind the SHPC bridge 05:01.0

slota,/dev/emu3 0000:05:02.0
twice,/dev/emu4 0000:04:00.0
"""
GOOD_ALTERPM = "8086:1209:*   # i82559er, any revision\n"

_state = {}


def boot(variant):
    """Boots once per process; the result is shared by every case."""
    if "boot" not in _state:
        server = emu.Server(static=(variant == "static"))
        try:
            _state["boot"] = server.boot(SCENARIOS, variant=variant)
        finally:
            _state["server"] = server
    return _state["boot"]


def shutdown():
    if "server" in _state:
        _state["server"].close()


class Step:
    def __init__(self, b, scen, name):
        self.dir = (scen, name)
        self.b = b
        if not b.exists(scen, name, "rc"):
            raise AssertionError("step %s/%s did not run; trace:\n%s"
                                 % (scen, name, b.read(scen, "trace", default="")[-3000:]))
        self.rc = int(b.read(scen, name, "rc"))
        self.out = b.read(scen, name, "out")
        self.err = b.read(scen, name, "err")
        self.table = b.read(scen, name, "table", default="")
        self.table_before = b.read(scen, name, "table.before", default="")
        self.log = b.read(scen, name, "log", default="")
        self.etc = b.read(scen, name, "etc", default="").split()
        self.requests = R.received(b.read(scen, name, "received", default=""))

    def log_messages(self):
        """Messages of the log records of this run (after the '<sec.usec>')."""
        msgs = []
        for line in self.log.splitlines():
            head, sep, msg = line.partition(">")
            msgs.append(msg if sep else line)
        return msgs

    def __repr__(self):
        return "step %s/%s rc=%d\nstdout:\n%s\nstderr:\n%s\nlog:\n%s" % (
            self.dir[0], self.dir[1], self.rc, self.out, self.err, self.log)


class ServerCases:
    VARIANT = "dynamic"

    @classmethod
    def setUpClass(cls):
        cls.boot = boot(cls.VARIANT)
        cls.fns = R.functions(cls.boot.read("facts", "facts", "pci"))
        cls.by_name = {f.name: f for f in cls.fns}
        cls.disk_hba = R.disk_hbas(cls.boot.read("facts", "facts", "disks"))

    def step(self, scen, name):
        s = Step(self.boot, scen, name)
        if "there was a fatal error(10f" in s.err:
            self.skipTest("tarnex does not have this mode yet (%s)" % s.err.strip())
        return s

    def assertStatus(self, s, rc):
        self.assertEqual(s.rc, rc, s)

    def assertRecords(self, s, table_text, alterpm_text=GOOD_ALTERPM):
        """Both requests were accepted and carried exactly the records a
        correct registration of table_text sends."""
        plain, elements, header = R.expected_records(self.fns, table_text, alterpm_text)
        self.assertEqual([(r.code, r.verdict) for r in s.requests],
                         [(0xFE00, "accepted ret=0"), (0xFE01, "accepted ret=0")], s)
        for r in s.requests:
            self.assertEqual((r.compat, r.comm), (1, "tarnex"))
        arr, tab = s.requests[0].array, s.requests[1].table
        self.assertEqual(arr["count"], len(plain))
        self.assertEqual(arr["err_num"], 0)
        self.assertEqual(self._hbas(arr["hbas"]), plain)
        for k, v in header.items():
            self.assertEqual(tab[k], v, "table %s" % k)
        got = []
        for i, e in enumerate(tab["elements"]):
            e = dict(e)
            self.assertTrue(e.pop("hbas"), "hbas address of element %d" % (i + 1))
            self.assertEqual(e.pop("bus_id_raw"), e["bus_id"].encode().ljust(20, b"\0"))
            e["hbas"] = self._hbas(s.requests[1].hbas[i + 1]["hbas"])
            self.assertEqual(s.requests[1].hbas[i + 1]["count"], e["hba_count"])
            got.append(e)
        self.assertEqual(got, elements)

    def _hbas(self, hbas):
        out = []
        for h in hbas:
            h = dict(h)
            self.assertEqual(h.pop("bus_id_raw"), h["bus_id"].encode().ljust(20, b"\0"))
            out.append(h)
        return out

    # ------------------------------------------------------------ the machine

    def test_machine_is_the_one_the_cases_assume(self):
        # disks: sda on the SAS HBA behind a downstream port, sdb on the
        # SPI HBA behind the SHPC bridge
        self.assertEqual(sorted(self.disk_hba.values()), ["0000:03:00.0", "0000:06:02.0"])
        kinds = {e["bus_id"]: e["magic"] for e in R.bridge_elements(self.fns)}
        self.assertEqual(kinds, {"0000:02:00.0": R.BRIDGE_PCIE, "0000:02:01.0": R.BRIDGE_PCIE,
                                 "0000:00:05.0": R.BRIDGE_SHPC, "0000:05:01.0": R.BRIDGE_SHPC})
        # the root port (type 4) and the upstream port are no elements
        self.assertIn("0000:00:04.0", self.by_name)
        self.assertIn("0000:01:00.0", self.by_name)
        # SHPC: 31 slots from device 1 at 33 MHz conventional PCI
        self.assertEqual(self.by_name["0000:05:01.0"].shpc_regs[1:5],
                         [0x1F, 0, 0xE001011F, 0x01000000])
        # power management where the good table expects it, none on the HBAs
        pm = {n: self.by_name[n].cap(0x01) for n in
              ("0000:00:06.0", "0000:04:00.0", "0000:06:03.0", "0000:05:02.0",
               "0000:03:00.0", "0000:06:02.0")}
        self.assertEqual(pm, {"0000:00:06.0": 0xC8, "0000:04:00.0": 0x60,
                              "0000:06:03.0": 0xDC, "0000:05:02.0": 0xDC,
                              "0000:03:00.0": 0, "0000:06:02.0": 0})

    def test_harness(self):
        # the build under test is the one the guest runs
        self.assertEqual(self.boot.read("facts", "facts", "tarnex").strip(),
                         "/opt/%s/tarnex" % self.VARIANT)
        # image modules beyond the boot set load on demand
        s = Step(self.boot, "facts", "modprobe")
        self.assertEqual((s.rc, s.out), (0, "pvpanic_mmio\n"), s)

    # ------------------------------------------------------------ -a

    def _assert_no_pm_failure(self, s, bus_id):
        self.assertIn("device %s is not under the control of SHPC and it dose not have the "
                      "power management function." % bus_id, s.log_messages(), s)
        self.assertEqual(s.err, "ERROR: there was a fatal error(ce2).\n")
        self.assertEqual(s.requests, [], "nothing reaches the driver")

    def test_add_resolves_each_disk_to_its_hba(self):
        for disk in ("sda", "sdb"):
            s = self.step("add", "add_" + disk)
            self.assertStatus(s, 7)
            self._assert_no_pm_failure(s, self.disk_hba[disk])
            self.assertEqual(s.table, "", "the table file is not written")
            self.assertEqual(s.etc, ["alterpm.conf", "hba_addr.conf"])

    def test_add_of_two_disks_fails_on_the_first_adapter(self):
        s = self.step("add", "add_both")
        self.assertStatus(s, 7)
        self._assert_no_pm_failure(s, self.disk_hba["sda"])
        self.assertEqual(s.table, "")

    def test_add_of_a_missing_disk(self):
        s = self.step("add", "add_missing")
        self.assertStatus(s, 6)
        self.assertEqual(s.err, "ERROR: illegal device-path /dev/sdz.\n")
        self.assertEqual(s.requests, [])
        s = self.step("add", "add_list")
        self.assertStatus(s, 0)
        self.assertEqual(s.out, "")

    def test_add_of_disks_on_power_managed_adapters(self):
        s = self.step("add_pm", "addpm_a")
        shpc_disk, pcie_disk = self.boot.read("add_pm", "names").split()
        disks = R.disk_hbas(self.boot.read("add_pm", "facts", "disks"))
        self.assertEqual(disks[shpc_disk[5:]], "0000:06:04.0")
        self.assertEqual(disks[pcie_disk[5:]], "0000:04:00.0")
        self.assertStatus(s, 0)
        self.assertEqual(s.err, "")
        # the label is the operand as typed, the device path the real disk
        # without its partition number
        table = ("/dev/disk/emu-shpc,%s 0000:06:04.0\n%s1,%s 0000:04:00.0\n"
                 % (shpc_disk, pcie_disk, pcie_disk))
        self.assertEqual(s.table, table)
        self.assertEqual(s.etc, ["alterpm.conf", "hba_addr.conf", "hba_addr.conf.1"])
        self.assertRecords(s, table, "")
        placed = {e["bus_id"]: [h["bus_id"] for h in s.requests[1].hbas[i + 1]["hbas"]]
                  for i, e in enumerate(s.requests[1].table["elements"])}
        self.assertEqual(placed["0000:05:01.0"], ["0000:06:04.0"])
        self.assertEqual(placed["0000:02:01.0"], ["0000:04:00.0"])
        self.assertEqual(s.requests[0].array["count"], 0)

        s = self.step("add_pm", "addpm_l")
        self.assertEqual((s.rc, s.out), (0, table))
        s = self.step("add_pm", "addpm_r")
        self.assertStatus(s, 0)
        self.assertRecords(s, table, "")

        # the same adapter again: a third line, sent once
        s = self.step("add_pm", "addpm_again")
        self.assertStatus(s, 0)
        table2 = table + "%s,%s 0000:06:04.0\n" % (shpc_disk, shpc_disk)
        self.assertEqual(s.table, table2)
        self.assertRecords(s, table2, "")
        self.assertEqual(s.requests[1].table["max_hba_count"], 1)

        s = self.step("add_pm", "addpm_d")
        self.assertStatus(s, 0)
        table3 = table2.split("\n", 1)[1]
        self.assertEqual(s.table, table3)
        self.assertRecords(s, table3, "")

    # ------------------------------------------------------------ -r

    def test_register_hands_the_driver_the_topology(self):
        s = self.step("register", "reg_ok")
        self.assertStatus(s, 0)
        self.assertEqual(s.err, "")
        self.assertRecords(s, GOOD_TABLE)
        # spelled out for this machine: the nic on the root bus goes to the
        # plain array; one adapter behind each SHPC bridge and behind the
        # second downstream port, sent once although listed twice
        arr, tab = s.requests[0].array, s.requests[1].table
        self.assertEqual([h["bus_id"] for h in arr["hbas"]], ["0000:00:06.0"])
        placed = {e["bus_id"]: [h["bus_id"] for h in s.requests[1].hbas[i + 1]["hbas"]]
                  for i, e in enumerate(tab["elements"])}
        self.assertEqual(placed, {"0000:02:00.0": [], "0000:02:01.0": ["0000:04:00.0"],
                                  "0000:05:01.0": ["0000:06:03.0"],
                                  "0000:00:05.0": ["0000:05:02.0"]})
        alt = {h["bus_id"]: h["alt_pm"] for i in s.requests[1].hbas
               for h in s.requests[1].hbas[i]["hbas"]}
        self.assertEqual(alt, {"0000:04:00.0": 0, "0000:06:03.0": 1, "0000:05:02.0": 1})
        self.assertEqual((tab["max_hba_count"], tab["total_size"]),
                         (1, 20 + 76 * 4 + 8 * 4 + 36 * 3))

    def test_register_of_an_empty_table(self):
        s = self.step("register", "reg_empty")
        self.assertStatus(s, 0)
        self.assertRecords(s, "")
        self.assertEqual(s.requests[0].array["count"], 0)
        self.assertEqual(s.requests[1].table["total_size"], 20 + 76 * 4 + 8 * 4)

    def test_register_without_power_management(self):
        for name, bus_id in (("reg_nopm_pcie", "0000:03:00.0"), ("reg_nopm_shpc", "0000:06:02.0")):
            s = self.step("register", name)
            self.assertStatus(s, 9)
            self._assert_no_pm_failure(s, bus_id)

    def test_list(self):
        s = self.step("register", "reg_list")
        self.assertStatus(s, 0)
        self.assertEqual(s.out, R.listing(GOOD_TABLE))

    # ------------------------------------------------------------ refusals

    def _refused_table_unchanged(self, s):
        self.assertEqual(s.table, s.table_before)
        self.assertEqual(s.table, GOOD_TABLE)
        self.assertEqual(s.etc, ["alterpm.conf", "hba_addr.conf"], "no backup made")

    def test_refusal_of_the_plain_array(self):
        s = self.step("refuse", "refuse_fe00_r")
        self.assertStatus(s, 9)
        self.assertEqual(s.err, "ERROR: /dev/tarnex: an input/output error has occurred(5:e5f).\n")
        self.assertEqual([(r.code, r.verdict) for r in s.requests],
                         [(0xFE00, "refused(injected) err_num=1 ret=-5")], "table not sent")
        msgs = s.log_messages()
        i = msgs.index("err_num 1")
        self.assertEqual(msgs[i + 1], "beef2bad 0 0000:00:06.0(0) c8")
        self._refused_table_unchanged(s)

    def test_refusal_of_the_bridge_table_after_delete(self):
        s = self.step("refuse", "refuse_fe01_d")
        self.assertStatus(s, 20)
        self.assertEqual(s.err, "ERROR: /dev/tarnex: an input/output error has occurred(5:e73).\n")
        self._refused_table_unchanged(s)
        # the records sent were those of the table without the nvme line
        after = "".join(l + "\n" for l in GOOD_TABLE.splitlines() if not l.startswith("nvme,"))
        _, elements, _ = R.expected_records(self.fns, after, GOOD_ALTERPM)
        self.assertEqual([r.verdict for r in s.requests],
                         ["accepted ret=0", "refused(injected) err_num=2 device_err_num=1 ret=-5"])
        msgs = s.log_messages()
        i = msgs.index("err_num 2 device_err_num 1")
        e = elements[1]
        lines = ["%x %x %04x:%02x:%02x.%x(%x) %x" % (e["magic"], 0, e["domain"], e["bus"],
                                                    e["device"], e["function"],
                                                    e["revision_id"], 0),
                 "%x %x %x %x %x %x %x %x %x %x" % (0x604, e["secondary_bus"], e["cap_offset"],
                                                    e["first_device"], e["slot_count"],
                                                    e["slots_available1"],
                                                    e["slots_available2"], e["slot_config"],
                                                    e["sec_bus_config"], 0)]
        for h in e["hbas"][:1]:
            lines.append("%x %x %04x:%02x:%02x.%x(%x) %x" % (h["magic"], h["alt_pm"], h["domain"],
                                                            h["bus"], h["device"], h["function"],
                                                            h["revision_id"], h["pm_cap"]))
        self.assertEqual(msgs[i + 1:i + 1 + len(lines)], lines, s)

    def test_refusal_of_the_bridge_table_after_rename(self):
        s = self.step("refuse", "refuse_fe01_c")
        self.assertStatus(s, 20)
        self._refused_table_unchanged(s)

    def test_refusal_after_add(self):
        s = self.step("refuse", "refuse_fe00_a")
        self.assertStatus(s, 7)
        self.assertEqual(s.err, "ERROR: /dev/tarnex: an input/output error has occurred(5:e5f).\n")
        self.assertEqual(s.log_messages()[-2:-1], ["err_num 0"])
        self._refused_table_unchanged(s)

    def test_refusal_without_element_numbers(self):
        s = self.step("refuse", "refuse_fe01_r")
        self.assertStatus(s, 9)
        msgs = s.log_messages()
        i = msgs.index("err_num 0 device_err_num 0")
        self.assertFalse(any(m.startswith(("feedbeef", "7ed4beef", "beef2bad"))
                             for m in msgs[i + 1:]), s)

    def test_register_without_the_driver(self):
        s = self.step("refuse", "nodrv_r")
        self.assertStatus(s, 9)
        self.assertEqual(s.err, "ERROR: /dev/tarnex: an input/output error has occurred(2:e57).\n")

    # ------------------------------------------------------------ -c and -d

    def test_rename_round_trip(self):
        s = self.step("edit", "edit_c")
        self.assertStatus(s, 0)
        renamed = GOOD_TABLE.replace("nvme,/dev/emu1", "flash,/dev/emu1")
        self.assertEqual(s.table, R.listing(renamed))
        self.assertIn("hba_addr.conf.1", s.etc)
        self.assertRecords(s, renamed)
        s = self.step("edit", "edit_c_back")
        self.assertStatus(s, 0)
        self.assertEqual(s.table, R.listing(GOOD_TABLE))
        self.assertIn("hba_addr.conf.2", s.etc)

    def test_delete(self):
        s = self.step("edit", "edit_d")
        self.assertStatus(s, 0)
        after = "".join(l + "\n" for l in GOOD_TABLE.splitlines() if not l.startswith("twice,"))
        self.assertEqual(s.table, R.listing(after))
        self.assertRecords(s, after)
        s = self.step("edit", "edit_d_missing")
        self.assertStatus(s, 12)
        self.assertEqual(s.err, "ERROR: label nosuch is not found.\n")
        self.assertEqual(s.table, s.table_before)
        self.assertEqual(s.requests, [])
        s = self.step("edit", "edit_list")
        self.assertStatus(s, 0)
        self.assertEqual(s.out, R.listing(after))




class StandInCases:
    """The stand-in driver refuses malformed records, so an accepted
    registration above means something. Sent by tools/drvpoke.c from a
    64-bit process, through the native ioctl handler."""

    EXPECTED = {
        "array_ok": "ret=0 errno=0 err_num=0 device_err_num=0",
        "array_bad_magic": "ret=-1 errno=22 err_num=1 device_err_num=0",
        "array_no_pm_cap": "ret=-1 errno=22 err_num=1 device_err_num=0",
        "array_bus_id": "ret=-1 errno=22 err_num=1 device_err_num=0",
        "array_count": "ret=-1 errno=22 err_num=0 device_err_num=0",
        "table_ok": "ret=0 errno=0 err_num=0 device_err_num=0",
        "table_total_size": "ret=-1 errno=22 err_num=0 device_err_num=0",
        "table_max_hba_count": "ret=-1 errno=22 err_num=0 device_err_num=0",
        "table_misplaced": "ret=-1 errno=22 err_num=1 device_err_num=1",
        "table_hbas_fault": "ret=-1 errno=22 err_num=1 device_err_num=0",
        "table_hba_count": "ret=-1 errno=22 err_num=1 device_err_num=0",
        "table_pcie_with_shpc_regs": "ret=-1 errno=22 err_num=1 device_err_num=0",
        "twice_array": "ret=0",
        "twice_table": "ret=-1 errno=22 err_num=1 device_err_num=1",
        "unknown_request": "ret=-1 errno=25",
    }

    def test_stand_in_refuses_malformed_records(self):
        s = Step(self.boot, "stand_in", "drvpoke")
        self.assertEqual(s.rc, 0, s)
        got = dict(l[len("case "):].split(" ", 1) for l in s.out.splitlines())
        self.assertEqual(got, self.EXPECTED)
        reqs = R.received(self.boot.read("stand_in", "drvpoke", "received"))
        self.assertTrue(reqs and all(r.compat == 0 and r.comm == "drvpoke" for r in reqs))
        verdicts = [r.verdict.split(" ret=")[0] for r in reqs]
        self.assertIn("invalid(adapter not in the bridge's slots) err_num=1 device_err_num=1",
                      verdicts)
        self.assertIn("invalid(adapter sent twice) err_num=1 device_err_num=1", verdicts)
        self.assertIn("invalid(total_size wrong) err_num=0 device_err_num=0", verdicts)
