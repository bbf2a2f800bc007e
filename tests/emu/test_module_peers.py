"""Other peers on the emulated server's KCS interface:

- OpenIPMI's ipmi_sim with a controller at 0x24 as the BMC of the
  first-kernel panic: the transport works, the controller's answer comes
  back, and the module refuses it for its checksums;
- the kernel's own panic notification (ipmi_si and ipmi_msghandler with
  panic_op=event) against our BMC, in a boot of its own; its time to the
  BMC's answer is P3's yardstick.
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu  # noqa: E402
import modlog as L  # noqa: E402
import peers  # noqa: E402
from test_module_panic import HOOK_CALLED, PANIC_LINE, PANIC_QEMU  # noqa: E402

_done = {}


def tearDownModule():
    for s in _done.get("servers", []):
        s.close()


def panic_boot(peer_cls, scenario):
    work = tempfile.mkdtemp(prefix="tarnex-emu-peer-")
    peer = peer_cls(work)
    try:
        server = emu.Server(static=False, bmc=("extern", peer.port),
                            extra_kos=[emu.panicforkiv_module(), emu.panic_exit_module()])
        _done.setdefault("servers", []).append(server)
        boot = server.boot([scenario], disks=0, kernel_args=["emu.nomods=1"],
                           qemu_extra=PANIC_QEMU, expect_rc=(1,), end_marker=PANIC_LINE,
                           tap=True)
    finally:
        peer.stop()
    return boot, peer


class AgainstIpmiSim(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.boot, cls.sim = panic_boot(peers.IpmiSim, "mod_halt")
        cls.console = L.console_lines(cls.boot.console)

    def test_transport_works_and_the_answer_fails_its_checksum(self):
        self.assertEqual(self.boot.rc, 1)
        want = [
            "panicforkiv: panicforkiv_panic_handler: kdump is not ready.",
            HOOK_CALLED,
            "panicforkiv: ipmi_clear_message_flags: succeeded.",
            "panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=15 18 34 00 24 c0 1c 20 20 4b 0b "
            "03 4b 0f ff 0e ",
            "panicforkiv: kcs_execute: resp_data_len=1 00 ",
            "panicforkiv: ipmi_get_message_flags: succeeded.",
            "panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=2 18 33 ",
            "panicforkiv: ipmi_set_machine_status: Check sum Error.",
            "panicforkiv: ipmi_set_machine_status: failed.",
            "panicforkiv: Setting system status to halt failed.",
            "panicforkiv: Sending ipmi message failed.",
            "panicforkiv: panicforkiv_panic_handler: panic process for kiv completed.",
        ]
        self.assertIsNone(L.in_order(self.console, want))
        answer = [l for l in self.console if "resp_data_len=9" in l]
        self.assertEqual(len(answer), 1)
        sys.stderr.write("\nipmi_sim's Get Message answer: %s\n" % answer[0].split("=", 2)[-1])
        self.assertFalse([l for l in self.console if "IPMI: Timeout." in l])
        self.assertEqual(sum("tarnex_hook called" in l for l in self.console), 1)


class LinuxPanicEvent(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.boot, cls.bmc = panic_boot(peers.OwnBmc, "linux_event")
        cls.events = cls.bmc.events()

    def test_ipmi_si_found_the_interface(self):
        self.assertIn("/dev/ipmi0", self.boot.read("linux_event", "si", "dev"))
        self.assertEqual(self.boot.read("linux_event", "si", "panic_op").strip(), "event")

    def test_panic_sends_one_platform_event(self):
        self.assertEqual(self.boot.rc, 1)
        # generator 0x41 (kernel), event message revision 3, sensor type
        # 0x20 (OS critical stop), the panic text's first three letters,
        # sensor-specific 0x6f, runtime stop 0xa1
        self.assertEqual([e["data"] for e in self.events if e["ev"] == "event"],
                         ["41 03 20 73 6f a1 79 73"])
        p = L.p3(self.boot, self.events)
        sys.stderr.write("\nP3 yardstick (Linux panic event, own BMC): panic line -> BMC's "
                         "answer %s\n" % L.ms(p["panic_to_done"]))
        self.assertGreater(p["panic_to_done"], 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
