"""The driver refuses a record: the report, the err_num lines and the
adapter and bridge lines of the elements it names."""

import unittest

from hotplug_fix import SET_HBA_INFO, SET_SHPC_INFO, requests
from test_register import RegisterTest

REFUSED_ARRAY = "/dev/tarnex: an input/output error has occurred(16:e5f)."
REFUSED_TABLE = "/dev/tarnex: an input/output error has occurred(16:e73)."
PLAIN_1 = "beef2bad 0 0000:05:00.0(3) 40"
PLAIN_2 = "beef2bad 1 0000:06:00.0(1) 40"
BRIDGE_HEAD = "feedbeef 0 0000:00:1e.0(92) 0"
BRIDGE_REGS = "604 8 40 1 4 400 0 100 2 0"
BEHIND_1 = "beef2bad 0 0000:08:01.0(1) 40"
BEHIND_2 = "beef2bad 0 0000:08:02.0(1) 40"


class Refusal(RegisterTest):
    def setUp(self):
        RegisterTest.setUp(self)
        self.sb.write("etc/alterpm.conf", "1000:0030:1\n")
        m = self.machine
        m.shpc_bridge("0000:00:1e.0", secondary=8, mode=2, avail1=0x400, slot_config=0x100,
                      revision=0x92)
        m.adapter("0000:05:00.0", revision=3, device=0x0031)
        m.adapter("0000:06:00.0")
        m.adapter("0000:08:01.0", device=0x0031)
        m.adapter("0000:08:02.0", device=0x0031)
        self.ids = ["0000:05:00.0", "0000:08:01.0", "0000:06:00.0", "0000:08:02.0"]

    def refuse(self, request, **stub):
        r = self.register(*self.ids, TARNEX_STUB_REFUSE=hex(request), **stub)
        self.assertEqual([d["problems"] for d in requests(self.sb)],
                         [[]] * len(requests(self.sb)))
        return r

    def sent(self):
        return [d["request"] for d in requests(self.sb)]

    def test_array_refused_names_its_element(self):
        r = self.refuse(SET_HBA_INFO, TARNEX_STUB_ERR_NUM=2)
        self.assertEqual(r.stderr, "ERROR: " + REFUSED_ARRAY + "\n")
        self.refused(r, [REFUSED_ARRAY, "err_num 2", PLAIN_2])
        self.assertEqual(self.sent(), [SET_HBA_INFO])  # the table is not sent

    def test_array_refused_without_or_beyond_an_element(self):
        for err_num in (0, -1, 3):
            with self.subTest(err_num=err_num):
                self.sb.remove("var/log/user.log")
                r = self.refuse(SET_HBA_INFO, TARNEX_STUB_ERR_NUM=err_num)
                self.refused(r, [REFUSED_ARRAY, "err_num %d" % err_num])

    def test_errno_of_the_refusal_is_reported(self):
        r = self.refuse(SET_HBA_INFO, TARNEX_STUB_ERRNO=5, TARNEX_STUB_ERR_NUM=1)
        msg = "/dev/tarnex: an input/output error has occurred(5:e5f)."
        self.assertEqual(r.stderr, "ERROR: " + msg + "\n")
        self.refused(r, [msg, "err_num 1", PLAIN_1])

    def test_table_refused_names_a_bridge(self):
        r = self.refuse(SET_SHPC_INFO, TARNEX_STUB_ERR_NUM=1)
        self.assertEqual(r.stderr, "ERROR: " + REFUSED_TABLE + "\n")
        self.refused(r, [REFUSED_TABLE, "err_num 1 device_err_num 0", BRIDGE_HEAD, BRIDGE_REGS])
        self.assertEqual(self.sent(), [SET_HBA_INFO, SET_SHPC_INFO])

    def test_table_refused_names_an_adapter_of_the_bridge(self):
        r = self.refuse(SET_SHPC_INFO, TARNEX_STUB_ERR_NUM=1, TARNEX_STUB_DEVICE_ERR_NUM=2)
        self.refused(r, [REFUSED_TABLE, "err_num 1 device_err_num 2", BRIDGE_HEAD,
                         BRIDGE_REGS, BEHIND_2])

    def test_table_refused_with_numbers_out_of_range(self):
        cases = [(1, 3, [BRIDGE_HEAD, BRIDGE_REGS]), (1, -2, [BRIDGE_HEAD, BRIDGE_REGS]),
                 (2, 1, []), (0, 1, [])]
        for err_num, device_err_num, lines in cases:
            with self.subTest(err_num=err_num, device_err_num=device_err_num):
                self.sb.remove("var/log/user.log")
                r = self.refuse(SET_SHPC_INFO, TARNEX_STUB_ERR_NUM=err_num,
                                TARNEX_STUB_DEVICE_ERR_NUM=device_err_num)
                self.refused(r, [REFUSED_TABLE, "err_num %d device_err_num %d"
                                 % (err_num, device_err_num)] + lines)

    def test_counts_and_addresses_rewritten_by_the_driver_are_not_followed(self):
        # The driver leaves huge counts and a wild array address behind: the
        # element lines still come from the records the command built.
        r = self.refuse(SET_SHPC_INFO, TARNEX_STUB_ERR_NUM=1, TARNEX_STUB_DEVICE_ERR_NUM=1,
                        TARNEX_STUB_SCRIBBLE=1)
        self.refused(r, [REFUSED_TABLE, "err_num 1 device_err_num 1", BRIDGE_HEAD,
                         BRIDGE_REGS, BEHIND_1])
        self.sb.remove("var/log/user.log")
        r = self.refuse(SET_SHPC_INFO, TARNEX_STUB_ERR_NUM=5, TARNEX_STUB_DEVICE_ERR_NUM=3,
                        TARNEX_STUB_SCRIBBLE=1)
        self.refused(r, [REFUSED_TABLE, "err_num 5 device_err_num 3"])
        self.sb.remove("var/log/user.log")
        r = self.refuse(SET_HBA_INFO, TARNEX_STUB_ERR_NUM=1000, TARNEX_STUB_SCRIBBLE=1)
        self.refused(r, [REFUSED_ARRAY, "err_num 1000"])


if __name__ == "__main__":
    unittest.main()
