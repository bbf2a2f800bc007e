"""The BMCs the emulated server's KCS interface can talk to through QEMU's
ipmi-bmc-extern: our own (bmc/bmc.py, which records what it is told) and
OpenIPMI's ipmi_sim with a management controller at 0x24.

    with OwnBmc(workdir) as bmc:
        server = emu.Server(bmc=("extern", bmc.port), ...)
        ...
        bmc.events()          # the record of the last connection
"""

import json
import os
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import emu  # noqa: E402

BMC_PY = os.path.join(HERE, "bmc", "bmc.py")


class OwnBmc:
    """bmc/bmc.py as a child process on a free loopback port."""

    def __init__(self, workdir, oem_cc=0, slow_ms=0):
        os.makedirs(workdir, exist_ok=True)
        self.record = os.path.join(workdir, "bmc.jsonl")
        with open(os.path.join(workdir, "bmc.err"), "w") as err:
            self.proc = subprocess.Popen(
                [sys.executable, BMC_PY, "--record", self.record, "--oem-cc", str(oem_cc),
                 "--slow-ms", str(slow_ms)],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("port "):
            self.stop()
            raise emu.EmuError("the BMC did not start: %r" % line)
        self.port = int(line.split()[1])

    def events(self, last_connection=True):
        """The record's events, as dicts; only those of the last connection
        (one boot attempt) unless told otherwise."""
        with open(self.record) as f:
            evs = [json.loads(line) for line in f if line.strip()]
        if last_connection:
            starts = [i for i, e in enumerate(evs) if e["ev"] == "connect"]
            if starts:
                evs = evs[starts[-1]:]
        return evs

    def statuses(self):
        return [e for e in self.events() if e["ev"] == "status"]

    def stop(self):
        _stop(self.proc)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


IPMI_SIM_CONF = """\
# BMC at 0x20 whose system interface is the VM's KCS device (QEMU's
# ipmi-bmc-extern connects to it); no LAN channel.
name "tarnex_emu"
set_working_mc 0x20
  serial kcs 127.0.0.1 %(port)d codec VM
"""
IPMI_SIM_EMU = """\
# the BMC at 0x20 and a second management controller at IPMB 0x24
mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02
mc_enable 0x20
mc_add 0x24 0x42 no-device-sdrs 0x01 1 0 0x29 0x000157 0x0abc
mc_enable 0x24
"""


def _free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def _listening(port):
    """Whether something listens on 127.0.0.1:port (from /proc/net/tcp,
    without connecting to it)."""
    want = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == want and fields[3] == "0A":
                return True
    return False


class IpmiSim:
    """OpenIPMI's ipmi_sim (package openipmi) on a free loopback port, with
    a controller at 0x24; its output goes to ipmi_sim.log in workdir."""

    def __init__(self, workdir):
        emu.run(["sh", os.path.join(emu.TOP, "tests", "tools", "ensure-packages.sh"),
                 "openipmi"])
        os.makedirs(workdir, exist_ok=True)
        self.port = _free_port()
        conf = os.path.join(workdir, "ipmi_sim.conf")
        cmds = os.path.join(workdir, "ipmi_sim.emu")
        state = os.path.join(workdir, "ipmi_sim.state")
        os.makedirs(state, exist_ok=True)
        with open(conf, "w") as f:
            f.write(IPMI_SIM_CONF % {"port": self.port})
        with open(cmds, "w") as f:
            f.write(IPMI_SIM_EMU)
        self.log = os.path.join(workdir, "ipmi_sim.log")
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(["ipmi_sim", "-c", conf, "-f", cmds, "-s", state, "-n"],
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT)
        for _ in range(100):
            if _listening(self.port):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.1)
        self.stop()
        raise emu.EmuError("ipmi_sim did not listen on %d:\n%s" % (self.port, open(self.log).read()))

    def stop(self):
        _stop(self.proc)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
