"""The BMC of the emulated server without QEMU: this test plays QEMU's side
of the ipmi-bmc-extern protocol on a socket pair."""

import json
import os
import socket
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bmc as B  # noqa: E402

HALT_SEND = bytes.fromhex("00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e")


def unescape(data):
    out, esc = bytearray(), False
    for b in data:
        if b == B.ESC_CHAR:
            esc = True
        else:
            out.append(b & ~0x10 if esc else b)
            esc = False
    return bytes(out)


class Qemu:
    """QEMU's end: frames requests, splits what comes back into messages
    and control commands."""

    def __init__(self):
        fd, self.rec_path = tempfile.mkstemp(prefix="bmc-test-", suffix=".jsonl")
        os.close(fd)
        self.record = B.Record(self.rec_path)
        self.sock, self.peer = socket.socketpair()
        self.sock.settimeout(2)
        self.thread = threading.Thread(target=B.serve_connection,
                                       args=(self.peer, self.record, 0), daemon=True)
        self.thread.start()
        self.buf = b""

    def announce(self):
        self.sock.sendall(bytes((B.CMD_VERSION, 0x01, B.CMD_CHAR, B.CMD_CAPABILITIES, 0x3F,
                                 B.CMD_CHAR)))

    def send(self, msg_id, netfn, cmd, data=b""):
        raw = bytes((msg_id, netfn << 2, cmd)) + bytes(data)
        self.sock.sendall(B.escape(raw + bytes((B.ipmb_checksum(raw),))) + bytes((B.MSG_CHAR,)))

    def next(self):
        """('msg', bytes) or ('cmd', bytes), unescaped."""
        while True:
            for i, b in enumerate(self.buf):
                if b in (B.MSG_CHAR, B.CMD_CHAR):
                    item = unescape(self.buf[:i])
                    self.buf = self.buf[i + 1:]
                    return ("msg" if b == B.MSG_CHAR else "cmd"), item
            self.buf += self.sock.recv(4096)

    def answer(self, msg_id, netfn, cmd, data=b""):
        """Sends a request and returns the answer's completion code and data."""
        self.send(msg_id, netfn, cmd, data)
        kind, m = self.next()
        assert kind == "msg", (kind, m)
        assert sum(m) & 0xFF == 0, "bad checksum: %s" % m.hex()
        assert m[0] == msg_id and m[1] == ((netfn | 1) << 2) and m[2] == cmd, m.hex()
        return m[3], m[4:-1]

    def records(self):
        with open(self.rec_path) as f:
            return [json.loads(line) for line in f]

    def close(self):
        self.sock.close()
        self.thread.join(2)
        self.peer.close()
        self.record.f.close()
        os.unlink(self.rec_path)


class BmcProtocol(unittest.TestCase):
    def setUp(self):
        self.q = Qemu()
        self.addCleanup(self.q.close)

    def test_silent_until_qemu_announces_itself(self):
        self.q.send(1, B.NETFN_APP, B.APP_GET_MSG_FLAGS)
        self.q.sock.settimeout(0.3)
        with self.assertRaises(socket.timeout):
            self.q.sock.recv(1)
        self.q.sock.settimeout(2)
        self.q.announce()
        self.assertEqual(self.q.answer(2, B.NETFN_APP, B.APP_GET_MSG_FLAGS), (0, b"\x00"))
        self.assertEqual([r["ev"] for r in self.q.records()][:1], ["early-message"])

    def test_halt_status_round_trip_passes_the_module_checks(self):
        q = self.q
        q.announce()
        self.assertEqual(q.answer(1, B.NETFN_APP, B.APP_CLEAR_MSG_FLAGS, b"\xeb"), (0, b""))
        self.assertEqual(q.answer(2, B.NETFN_APP, B.APP_SEND_MSG, HALT_SEND), (0, b""))
        self.assertEqual(q.next(), ("cmd", bytes((B.CMD_ATTN,))))
        self.assertEqual(q.answer(3, B.NETFN_APP, B.APP_GET_MSG_FLAGS), (0, b"\x01"))
        cc, g = q.answer(4, B.NETFN_APP, B.APP_GET_MSG)
        self.assertEqual(q.next(), ("cmd", bytes((B.CMD_NOATTN,))))
        g = bytearray(bytes((cc,)) + g)      # as the module sees it: code first
        self.assertEqual(len(g), 9)
        self.assertEqual((g[0], g[6], g[7]), (0, 0x4B, 0))
        g[1] = 0x20                          # the module puts rqSA over the channel byte
        self.assertEqual(g[3], B.ipmb_checksum(g[1:3]))
        self.assertEqual(g[8], B.ipmb_checksum(g[4:8]))
        st = [r for r in q.records() if r["ev"] == "status"]
        self.assertEqual([(s["status"], s["code"], s["oem"]) for s in st],
                         [("halt", 0x0B, "03 4b 0f ff")])
        self.assertEqual(q.answer(5, B.NETFN_APP, B.APP_GET_MSG), (B.CC_EMPTY, b""))

    def test_send_message_refusals(self):
        q = self.q
        q.announce()
        other = bytes((0x00, 0x2C)) + HALT_SEND[2:]
        self.assertEqual(q.answer(1, B.NETFN_APP, B.APP_SEND_MSG, other), (B.CC_NAK, b""))
        broken = bytearray(HALT_SEND)
        broken[-1] ^= 1                      # body checksum off: the bus drops it
        self.assertEqual(q.answer(2, B.NETFN_APP, B.APP_SEND_MSG, broken), (0, b""))
        self.assertEqual(q.answer(3, B.NETFN_APP, B.APP_GET_MSG_FLAGS), (0, b"\x00"))
        self.assertEqual([r["ev"] for r in q.records() if r["ev"] == "ipmb-dropped"],
                         ["ipmb-dropped"])

    def test_every_message_id_and_checksum_survive_the_escapes(self):
        self.q.announce()
        for msg_id in range(256):
            self.assertEqual(self.q.answer(msg_id, B.NETFN_APP, B.APP_GET_MSG_FLAGS),
                             (0, b"\x00"), msg_id)

    def test_platform_event_is_recorded(self):
        self.q.announce()
        data = bytes.fromhex("41 03 20 73 6f a1 79 73")
        self.assertEqual(self.q.answer(1, B.NETFN_SE, B.SE_PLATFORM_EVENT, data), (0, b""))
        self.assertEqual([r["data"] for r in self.q.records() if r["ev"] == "event"],
                         ["41 03 20 73 6f a1 79 73"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
