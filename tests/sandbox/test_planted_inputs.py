"""What a careless operator or an attacker plants around the command: FIFOs,
links and nodes at its paths, an endless or lingering query command, the
leftovers of killed runs. Nothing hangs, nothing planted is followed or
replaced, and kills lose nothing that was reported done."""

import os
import random
import re
import stat
import subprocess
import threading
import time
import unittest

import hotplug_fix
from devfix import Machine
from sandbox import LOCK, NOBODY, TARNEX_BIN, SandboxTest

EXTENDED = {"KVXRtarnex": "KOBRANT"}
ETC = "/etc/opt/KVXRtarnex/"
ENTRY = ",/dev/sdb 0000:05:00.0\n"
# Kills of the real command in the crash test; CI runs a modest number.
KILLS = int(os.environ.get("TARNEX_CRASH_KILLS", "40"))


def gone(pid):
    """True once pid has ended (a zombie until its new parent reaps it)."""
    for _ in range(100):
        try:
            with open("/proc/%s/stat" % pid) as f:
                if f.read().rsplit(") ", 1)[1][0] == "Z":
                    return True
        except OSError:
            return True
        time.sleep(0.05)
    return False


class NodeTest(SandboxTest):
    table = "A" + ENTRY + "B" + ENTRY

    def setUp(self):
        SandboxTest.setUp(self)
        self.m = Machine(self.sb)
        self.m.disk("sdb", 16, "0000:05:00.0")


class Planted(NodeTest):
    def plant(self, rel, kind):
        self.sb.remove(rel)
        p = self.sb.path(rel)
        {"fifo": lambda: os.mkfifo(p), "dir": lambda: os.mkdir(p),
         "link": lambda: os.symlink(self.sb.path("etc/victim"), p),
         "node": lambda: os.mknod(p, 0o600 | stat.S_IFCHR, os.makedev(240, 9))}[kind]()

    def test_fifo_inputs_time_out_and_release_the_lock(self):
        cases = [  # (planted FIFO, arguments, status, message)
            ("etc/hba_addr.conf", ["-l"], 4, ETC + "hba_addr.conf: failed to access file(9:1011)"),
            ("etc/other", ["-f", ETC + "other", "-l"], 4, ETC + "other: failed to access file(9:1011)"),
            ("etc/alterpm.conf", ["-r"], 9, ETC + "alterpm.conf: failed to access file(9:"),
        ]
        for rel, args, status, message in cases:
            with self.subTest(rel=rel):
                self.plant(rel, "fifo")
                r = self.m.run("-t", "1", *args, env=EXTENDED, timeout=60)
                self.assertEqual(r.status, status, r)
                self.assertIn("ERROR: " + message, r.stderr)
                self.sb.remove(rel)
                self.sb.write(rel, self.table if "alterpm" not in rel else "")
                self.assertRun(self.m.run("-t", "1", *args, env=EXTENDED), 0, stderr="")

    def test_query_command_that_never_stops_or_lingers_is_ended_with_its_group(self):
        self.m.diag()
        cases = [  # (query command, -a operand, standard error)
            ('exec yes "disk a b c d sdb"', "CLS", "ERROR: illegal class-name CLS.\n"),
            ('yes "disk a b c d sdb"', "CLS", "ERROR: illegal class-name CLS.\n"),
            ("sleep 60 & echo $! > %s\nexec sleep 60" % self.sb.path("grandchild"), "CLS",
             "ERROR: illegal class-name CLS.\n"),
        ]
        for body, operand, stderr in cases:
            with self.subTest(body=body):
                self.sb.remove("grandchild")
                self.m.mxvinfo("echo $$ > %s\n%s" % (self.sb.path("child"), body))
                r = self.m.run("-t", "2", "-a", operand, env=EXTENDED, timeout=60)
                self.assertRun(r, 6, stderr=stderr)
                self.assertIn("/usr/sbin/mxvinfo -D -c CLS 0x0.", self.sb.log_messages())
                # The message belongs to standard error alone.
                self.assertNotIn("illegal class-name CLS.", self.sb.log_messages())
                for pidfile in ("child", "grandchild"):
                    if self.sb.exists(pidfile):
                        self.assertTrue(gone(self.sb.read(pidfile).strip()), pidfile)
        self.m.node("mxvol/CLS/dsk/vol1", 241, 1)
        self.m.proc_devices(block={241: "mxvol"})
        self.m.mxvinfo('exec yes "disk a b c d sdb"')
        self.assertRun(self.m.run("-a", "/dev/mxvol/CLS/dsk/vol1", timeout=60), 6,
                       stderr="ERROR: /usr/sbin/mxvinfo: failed to access file(1:4aa).\n")

    def test_planted_lock_file_is_refused(self):
        for kind, errno in (("link", 0x28), ("fifo", 0x16)):
            with self.subTest(kind=kind):
                self.sb.write("etc/victim", "untouched\n", mode=0o600)
                self.plant(LOCK, kind)
                msg = "/var/opt/KVXRtarnex/lock/.tarnex.lock: an input/output error has " \
                      "occurred(%x:3de)." % errno
                self.assertRun(self.sb.run("-l"), 10, stderr="ERROR: " + msg + "\n", stdout="")
                self.assertEqual(self.sb.log_messages()[-2:], [msg, "end(fce)."])
                self.assertEqual(self.sb.read("etc/victim"), "untouched\n")

    def test_output_that_is_no_regular_file_is_refused_before_anything_moves(self):
        for kind, errno in (("node", 0x16), ("fifo", 0x16), ("link", 0x28), ("dir", 0x15)):
            with self.subTest(kind=kind):
                self.sb.write("etc/victim", "untouched\n")
                self.plant("etc/out", kind)
                before = os.lstat(self.sb.path("etc/out"))
                r = self.m.run("-d", "A", "-o", ETC + "out", env=EXTENDED)
                self.assertRun(r, 32, stderr="ERROR: %sout: an input/output error has "
                               "occurred(%x:206a).\n" % (ETC, errno))
                after = os.lstat(self.sb.path("etc/out"))
                self.assertEqual((after.st_mode, after.st_ino, after.st_rdev),
                                 (before.st_mode, before.st_ino, before.st_rdev))
                self.assertEqual(self.sb.read("etc/victim"), "untouched\n")
                self.assertEqual(sorted(os.listdir(self.sb.path("etc"))),
                                 ["alterpm.conf", "hba_addr.conf", "out", "victim"])

    def test_save_removes_stale_temporaries_and_nothing_else(self):
        cases = [  # (name, mode, owner, removed)
            ("hba_addr.confAbz019", 0o600, 0, True),
            ("hba_addr.confAbz01", 0o600, 0, False),
            ("hba_addr.confAbz0199", 0o600, 0, False),
            ("hba_addr.confAb-019", 0o600, 0, False),
            ("hba_addr.confAbz018", 0o644, 0, False),
            ("hba_addr.confAbz017", 0o600, NOBODY, False),
            ("alterpm.confAbz019", 0o600, 0, False),
        ]
        for name, mode, owner, _ in cases:
            os.chown(self.sb.write("etc/" + name, "A" + ENTRY, mode=mode), owner, owner)
        os.mkdir(self.sb.path("etc/hba_addr.confDirDir"), 0o600)
        os.symlink("hba_addr.conf", self.sb.path("etc/hba_addr.confLnkLnk"))
        self.assertRun(self.m.run("-d", "A"), 0, stderr="")
        self.assertEqual(self.sb.read("etc/hba_addr.conf"), "B" + ENTRY)
        for name, _, _, removed in cases:
            self.assertEqual(self.sb.exists("etc/" + name), not removed, name)
        self.assertTrue(self.sb.exists("etc/hba_addr.confDirDir"))
        self.assertTrue(self.sb.exists("etc/hba_addr.confLnkLnk"))


# A lockdown file of our own in the namespace; WRITE=ro makes the bridge's
# config file read-only there as well.
LOCKDOWN = ('mount -t tmpfs lockdown /sys/kernel/security && '
            '[ -z "$MODES" ] || echo "$MODES" > /sys/kernel/security/lockdown; '
            'c=/sys/bus/pci/devices/0000:00:1e.0/config; [ "$WRITE" != ro ] || '
            '{ mount --bind $c $c && mount -o remount,bind,ro $c; }; exec "$@"')


class Lockdown(SandboxTest):
    table = "l0,/dev/sda 0000:05:01.0\n"

    def test_lockdown_that_refuses_the_select_write_is_named(self):
        self.sb.write("etc/alterpm.conf", "")
        m = hotplug_fix.Machine()
        m.shpc_bridge("0000:00:1e.0", secondary=5)
        m.adapter("0000:05:01.0")
        m.write(self.sb)
        config = self.sb.path("sys_pci/0000:00:1e.0/config")
        self.addCleanup(subprocess.run, ["chattr", "-i", config])
        line = ("kernel lockdown (integrity) refuses writes to PCI configuration space; the "
                "SHPC register window needs one.")
        cases = [  # (lockdown modes, how the write is refused, errno, line expected)
            ("none [integrity] confidentiality", "+i", 1, True),
            ("[none] integrity confidentiality", "+i", 1, False),
            ("", "+i", 1, False),
            ("none [integrity] confidentiality", "ro", 0x1e, False),
        ]
        for modes, write, errno, named in cases:
            with self.subTest(modes=modes, write=write):
                self.sb.remove("var/log/user.log")
                subprocess.run(["chattr", "+i" if write == "+i" else "-i", config], check=True)
                r = self.sb.run_program(["/bin/sh", "-c", LOCKDOWN, "sh", TARNEX_BIN, "-r"],
                                        env={"MODES": modes, "WRITE": write})
                self.assertRun(r, 9, stderr="ERROR: there was a fatal error(9aa).\n" +
                               ("ERROR: %s\n" % line if named else ""))
                self.assertEqual(self.sb.log_messages()[2:-1], [
                    "there was a fatal error(9aa).", "0000:00:1e.0(1003)"] +
                    [line] * named + ["callee search_shpc(2711)."])


class Kills(NodeTest):
    """Runs of -a, -c and -d, most of them killed at a random moment, several
    at a time; afterwards every table generation is whole and every change
    that was reported done is in the table."""

    table = "".join("L%d%s" % (i, ENTRY) for i in range(2000))

    def test_killed_and_concurrent_edits(self):
        labels = iter(range(2000))
        lock = threading.Lock()
        kills, done = [0], []

        def worker(rng):
            while True:
                with lock:
                    if kills[0] >= KILLS:
                        return
                    n = next(labels)
                    op = rng.choice([("-a", "/dev/sdb"), ("-c", "L%d" % n, "M%d" % n),
                                     ("-d", "L%d" % n)])
                    kill = rng.random() < 0.7
                    kills[0] += kill
                p = self.sb.start(*op, preload=True, env=self.m.env())
                if kill:
                    time.sleep(rng.uniform(0.02, 0.3))
                    p.kill()
                out, err = p.communicate()
                if p.returncode >= 0:
                    with lock:
                        done.append((op, p.returncode, err))

        threads = [threading.Thread(target=worker, args=(random.Random(i),)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual([d for d in done if d[1] != 0], [])
        self.assertRun(self.m.run("-d", "L1999"), 0, stderr="")  # the next save

        line = re.compile(r"^([LM]\d+|/dev/sdb),/dev/sdb 0000:05:00\.0$")
        names = sorted(os.listdir(self.sb.path("etc")))
        self.assertEqual(names, sorted(["alterpm.conf", "hba_addr.conf"] +
                                       ["hba_addr.conf.%d" % i for i in range(1, 11)]))
        for name in names[1:]:
            text = self.sb.read("etc/" + name)
            self.assertTrue(text.endswith("\n") and all(line.match(l) for l in text.splitlines()),
                            name)
        table = self.sb.read("etc/hba_addr.conf").splitlines()
        for op, _, _ in done:
            if op[0] == "-d":
                self.assertNotIn(op[1] + ENTRY[:-1], table)
            elif op[0] == "-c":
                self.assertIn(op[2] + ENTRY[:-1], table)
                self.assertNotIn(op[1] + ENTRY[:-1], table)
        adds = sum(1 for op, _, _ in done if op[0] == "-a")
        self.assertGreaterEqual(table.count("/dev/sdb" + ENTRY[:-1]), adds)


if __name__ == "__main__":
    unittest.main()
