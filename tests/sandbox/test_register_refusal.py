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
        self.sb.remove("var/log/user.log")
        self.sb.remove("stub_dump")
        r = self.register(*self.ids, TARNEX_STUB_REFUSE=hex(request), **stub)
        self.assertEqual([d["problems"] for d in requests(self.sb)],
                         [[]] * len(requests(self.sb)))
        return r

    def sent(self):
        return [d["request"] for d in requests(self.sb)]

    def test_array_refused(self):
        """err_num names an adapter of the array from 1; 0, negative and
        beyond the count name none. The table is then not sent."""
        for err_num, errno, lines in ((2, 22, [PLAIN_2]), (1, 5, [PLAIN_1]), (0, 22, []),
                                      (-1, 22, []), (3, 22, [])):
            with self.subTest(err_num=err_num):
                r = self.refuse(SET_HBA_INFO, TARNEX_STUB_ERR_NUM=err_num, TARNEX_STUB_ERRNO=errno)
                msg = "/dev/tarnex: an input/output error has occurred(%x:e5f)." % errno
                self.assertEqual(r.stderr, "ERROR: " + msg + "\n")
                self.refused(r, [msg, "err_num %d" % err_num] + lines)
                self.assertEqual(self.sent(), [SET_HBA_INFO])

    def test_table_refused(self):
        """err_num names a bridge, device_err_num an adapter behind it."""
        cases = [(1, 0, [BRIDGE_HEAD, BRIDGE_REGS]), (1, 2, [BRIDGE_HEAD, BRIDGE_REGS, BEHIND_2]),
                 (1, 3, [BRIDGE_HEAD, BRIDGE_REGS]), (1, -2, [BRIDGE_HEAD, BRIDGE_REGS]),
                 (2, 1, []), (0, 1, [])]
        for err_num, device_err_num, lines in cases:
            with self.subTest(err_num=err_num, device_err_num=device_err_num):
                r = self.refuse(SET_SHPC_INFO, TARNEX_STUB_ERR_NUM=err_num,
                                TARNEX_STUB_DEVICE_ERR_NUM=device_err_num)
                self.assertEqual(r.stderr, "ERROR: " + REFUSED_TABLE + "\n")
                self.refused(r, [REFUSED_TABLE, "err_num %d device_err_num %d"
                                 % (err_num, device_err_num)] + lines)
                self.assertEqual(self.sent(), [SET_HBA_INFO, SET_SHPC_INFO])

    def test_counts_and_addresses_rewritten_by_the_driver_are_not_followed(self):
        # The driver leaves huge counts and a wild array address behind: the
        # element lines still come from the records the command built.
        for request, err_num, device_err_num, lines in (
                (SET_SHPC_INFO, 1, 1, [REFUSED_TABLE, "err_num 1 device_err_num 1", BRIDGE_HEAD,
                                       BRIDGE_REGS, BEHIND_1]),
                (SET_SHPC_INFO, 5, 3, [REFUSED_TABLE, "err_num 5 device_err_num 3"]),
                (SET_HBA_INFO, 1000, 0, [REFUSED_ARRAY, "err_num 1000"])):
            with self.subTest(err_num=err_num):
                self.refused(self.refuse(request, TARNEX_STUB_ERR_NUM=err_num, TARNEX_STUB_SCRIBBLE=1,
                                         TARNEX_STUB_DEVICE_ERR_NUM=device_err_num), lines)


if __name__ == "__main__":
    unittest.main()
