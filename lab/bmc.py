#!/usr/bin/env python3
"""The lab's BMC, behind QEMU's ipmi-bmc-extern.

QEMU (the client, chardev socket with reconnect=1) and this program (the
server on 127.0.0.1) talk the "VM" protocol of ipmi-bmc-extern: a message is
its bytes followed by 0xA0, a control command its bytes followed by 0xA1;
0xA0, 0xA1 and 0xAA inside either go as 0xAA and the byte with bit 4 set.
A request is msg_id, NetFn/LUN, cmd, data, checksum; an answer msg_id,
NetFn/LUN, cmd, completion code, data, checksum (each adds up to 0). QEMU
announces itself with the control command 0xFF (version); the BMC raises
and drops SMS_ATN with 0x01 (0x02 with an interrupt) and 0x00 and switches
the interrupt with 0x05 and 0x06. QEMU 7.2 dies on a control command sent
before the KCS device is attached, so nothing is sent before QEMU's version.

It serves what panicforkiv sends (Clear/Get Message Flags, Send Message to
a management controller at IPMB 0x24 that answers the OEM request NetFn
0x30 command 0x4B, Get Message handing the answer over with the IPMB
checksums) and what Linux's ipmi_si and ipmi_msghandler ask (Get Device ID,
the global enables, the Platform Event Message of a panic). Every request,
answer and machine status goes to a JSON-lines record stamped with
time.monotonic():

    python3 bmc.py --record FILE [--port 0]     # prints "port N" when ready
"""

import argparse
import json
import os
import select
import socket
import sys
import time

MSG_CHAR, CMD_CHAR, ESC_CHAR = 0xA0, 0xA1, 0xAA

CMD_VERSION = 0xFF
CMD_NOATTN, CMD_ATTN, CMD_ATTN_IRQ = 0x00, 0x01, 0x02
CMD_ENABLE_IRQ, CMD_DISABLE_IRQ = 0x05, 0x06

NETFN_SE, NETFN_APP, NETFN_OEM = 0x04, 0x06, 0x30

APP_GET_DEVICE_ID = 0x01
APP_SET_GLOBAL_ENABLES = 0x2E
APP_GET_GLOBAL_ENABLES = 0x2F
APP_CLEAR_MSG_FLAGS = 0x30
APP_GET_MSG_FLAGS = 0x31
APP_GET_MSG = 0x33
APP_SEND_MSG = 0x34
APP_READ_EVENT_BUF = 0x35
SE_PLATFORM_EVENT = 0x02

GLOBAL_RCV_MSG_INT = 0x01       # receive message queue interrupt enabled
FLAG_RCV_MSG = 0x01             # Get Message Flags: a message waits

CC_OK = 0x00
CC_EMPTY = 0x80                 # Get Message / Read Event Buffer: nothing there
CC_NAK = 0x83                   # Send Message: NAK on write, nobody at that address
CC_INVALID_CMD = 0xC1
CC_LENGTH = 0xC7

MC_SA = 0x24                    # the management controller behind the BMC
OEM_CMD = 0x4B
STATUS_NAMES = {0x0A: "dumping", 0x0B: "halt"}


def ipmb_checksum(data):
    """Two's complement of the byte sum: data plus checksum add up to 0."""
    return (-sum(data)) & 0xFF


def hexs(data):
    return " ".join("%02x" % b for b in data)


def escape(data):
    out = bytearray()
    for b in data:
        if b in (MSG_CHAR, CMD_CHAR, ESC_CHAR):
            out += bytes((ESC_CHAR, b | 0x10))
        else:
            out.append(b)
    return bytes(out)


class Record:
    """The JSON-lines record of everything the BMC was told."""

    def __init__(self, path):
        self.f = open(path, "a", buffering=1)

    def write(self, ev, **fields):
        fields["ev"] = ev
        fields["t"] = time.monotonic()
        self.f.write(json.dumps(fields, sort_keys=True) + "\n")


class Controller:
    """The management controller at IPMB 0x24: answers OEM 0x30/0x4B with
    completion code oem_cc and anything else with 0xC1."""

    def __init__(self, record, oem_cc=0):
        self.record, self.oem_cc = record, oem_cc

    def receive(self, frame):
        """frame: the IPMB request from rsSA to the body checksum. Returns
        what the BMC queues for Get Message (the answer without its rqSA),
        or None for a frame the bus drops."""
        if len(frame) < 7 or frame[0] != MC_SA:
            return None
        if ipmb_checksum(frame[0:2]) != frame[2] or ipmb_checksum(frame[3:-1]) != frame[-1]:
            self.record.write("ipmb-dropped", frame=hexs(frame))
            return None
        netfn, rs_lun = frame[1] >> 2, frame[1] & 3
        rq_sa, seq_lun, cmd, data = frame[3], frame[4], frame[5], frame[6:-1]
        if netfn == NETFN_OEM and cmd == OEM_CMD and data:
            cc = self.oem_cc
            self.record.write("status", status=STATUS_NAMES.get(data[0], "unknown"),
                              code=data[0], oem=hexs(data[1:]), frame=hexs(frame))
        else:
            cc = CC_INVALID_CMD
            self.record.write("ipmb-request", frame=hexs(frame))
        head = ((netfn + 1) << 2) | (seq_lun & 3)
        body = [MC_SA, (seq_lun & 0xFC) | rs_lun, cmd, cc]
        return [head, ipmb_checksum([rq_sa, head])] + body + [ipmb_checksum(body)]


class Bmc:
    """The BMC of one connection's lifetime; the record outlives it."""

    def __init__(self, record, send, oem_cc=0):
        self.record, self.send = record, send
        self.mc = Controller(record, oem_cc)
        self.queue = []                 # receive message queue
        self.enables = 0
        self.atn = False

    def control(self, *cmd):
        self.send(escape(bytes(cmd)) + bytes((CMD_CHAR,)))

    def update_atn(self):
        want = bool(self.queue)
        if want != self.atn:
            self.atn = want
            irq = self.enables & GLOBAL_RCV_MSG_INT
            self.control(CMD_ATTN_IRQ if (want and irq) else CMD_ATTN if want else CMD_NOATTN)

    def handle(self, netfn, lun, cmd, data):
        """One request; returns the answer's completion code and data."""
        if netfn == NETFN_APP:
            if cmd == APP_GET_DEVICE_ID:
                # device 0x20 rev 1, firmware 1.00 (available), IPMI 2.0,
                # SEL device and event receiver, no manufacturer (so that no
                # driver takes a vendor's quirks), product 0
                return CC_OK, [0x20, 0x01, 0x01, 0x00, 0x02, 0x14, 0x00, 0x00, 0x00,
                               0x00, 0x00]
            if cmd == APP_SET_GLOBAL_ENABLES:
                if len(data) < 1:
                    return CC_LENGTH, []
                before = self.enables & GLOBAL_RCV_MSG_INT
                self.enables = data[0]
                if (self.enables & GLOBAL_RCV_MSG_INT) != before:
                    self.control(CMD_ENABLE_IRQ if self.enables & GLOBAL_RCV_MSG_INT
                                 else CMD_DISABLE_IRQ)
                return CC_OK, []
            if cmd == APP_GET_GLOBAL_ENABLES:
                return CC_OK, [self.enables]
            if cmd == APP_CLEAR_MSG_FLAGS:
                if len(data) < 1:
                    return CC_LENGTH, []
                if data[0] & FLAG_RCV_MSG:
                    self.queue.clear()
                return CC_OK, []
            if cmd == APP_GET_MSG_FLAGS:
                return CC_OK, [FLAG_RCV_MSG if self.queue else 0]
            if cmd == APP_GET_MSG:
                if not self.queue:
                    return CC_EMPTY, []
                msg = self.queue.pop(0)
                self.record.write("answer-fetched", data=hexs(msg))
                return CC_OK, [0x00] + msg        # channel 0, then the answer
            if cmd == APP_SEND_MSG:
                if len(data) < 2:
                    return CC_LENGTH, []
                if data[0] & 0x0F or data[1] != MC_SA:
                    return CC_NAK, []
                answer = self.mc.receive(list(data[1:]))
                if answer is not None:
                    self.queue.append(answer)
                return CC_OK, []
            if cmd == APP_READ_EVENT_BUF:
                return CC_EMPTY, []
        elif netfn == NETFN_SE and cmd == SE_PLATFORM_EVENT:
            self.record.write("event", data=hexs(data))
            return CC_OK, []
        return CC_INVALID_CMD, []

    def message(self, raw):
        """One message from QEMU (unescaped, without the end mark)."""
        if len(raw) < 4 or sum(raw) & 0xFF:
            self.record.write("bad-message", data=hexs(raw))
            return
        msg_id, netfn, lun, cmd, data = raw[0], raw[1] >> 2, raw[1] & 3, raw[2], raw[3:-1]
        self.record.write("request", netfn=netfn, lun=lun, cmd=cmd, data=hexs(data))
        # every answer leaves here: a BMC that fails to answer would stop here
        cc, out = self.handle(netfn, lun, cmd, data)
        rsp = [msg_id, ((netfn | 1) << 2) | lun, cmd, cc] + list(out)
        rsp.append(ipmb_checksum(rsp))
        self.send(escape(bytes(rsp)) + bytes((MSG_CHAR,)))
        self.record.write("response", netfn=netfn | 1, cmd=cmd, cc=cc, data=hexs(out))
        self.update_atn()


def serve_connection(conn, record, oem_cc):
    """Until QEMU hangs up."""
    def send(data):
        conn.sendall(data)

    bmc = Bmc(record, send, oem_cc)
    announced = False
    buf, esc = bytearray(), False
    while True:
        chunk = conn.recv(4096)
        if not chunk:
            return
        for ch in chunk:
            if ch == ESC_CHAR:
                esc = True
                continue
            if ch == MSG_CHAR:
                if esc:
                    record.write("bad-message", data=hexs(buf), why="escape")
                elif announced:
                    bmc.message(bytes(buf))
                else:
                    record.write("early-message", data=hexs(buf))
                buf, esc = bytearray(), False
                continue
            if ch == CMD_CHAR:
                if buf and not esc:
                    record.write("control", cmd=hexs(buf))
                    if buf[0] == CMD_VERSION:
                        announced = True
                buf, esc = bytearray(), False
                continue
            if esc:
                ch &= ~0x10
                esc = False
            buf.append(ch)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--record", required=True, help="JSON-lines record (appended)")
    ap.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: any)")
    ap.add_argument("--oem-cc", type=lambda s: int(s, 0), default=0,
                    help="completion code of the controller at 0x24 for OEM 0x4B")
    args = ap.parse_args(argv)
    record = Record(args.record)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", args.port))
    srv.listen(1)
    record.write("listening", port=srv.getsockname()[1], pid=os.getpid())
    sys.stdout.write("port %d\n" % srv.getsockname()[1])
    sys.stdout.flush()
    n = 0
    while True:
        select.select([srv], [], [])
        conn, _ = srv.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        n += 1
        record.write("connect", n=n)
        try:
            serve_connection(conn, record, args.oem_cc)
        except OSError as e:
            record.write("connection-error", n=n, why=str(e))
        finally:
            conn.close()
        record.write("disconnect", n=n)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit(0)
