"""Planted FIFOs, links, nodes, endless or lingering query commands and kills:
nothing hangs, is followed, is replaced, or is lost once reported done."""

import concurrent.futures
import os
import random
import re
import subprocess
import time
import unittest

import hotplug_fix
from devfix import Machine
from sandbox import LOCK, NOBODY, TARNEX_BIN, SandboxTest

EXTENDED = {"KVXRtarnex": "KOBRANT"}
ETC = "/etc/opt/KVXRtarnex/"
ENTRY = ",/dev/sdb 0000:05:00.0"
KILLS = int(os.environ.get("TARNEX_CRASH_KILLS", "40"))  # CI runs a modest number
# A lockdown file of the test's own; WRITE=ro also makes the bridge's config read-only.
LOCKDOWN = ('cd /sys/kernel/security && mount -t tmpfs lockdown . && cd . && { [ -z "$MODES" ] '
            '|| echo "$MODES" > lockdown; }; c=/sys/bus/pci/devices/0000:00:1e.0/config; [ '
            '"$WRITE" != ro ] || { mount --bind $c $c && mount -o remount,bind,ro $c; }; exec "$@"')


def gone(pid):
    """True once pid ends within 5 s (a zombie until its new parent reaps it)."""
    return any(time.sleep(0.05) or subprocess.run(["ps", "-o", "stat=", "-p", pid], text=True,
               capture_output=True).stdout[:1] in ("", "Z") for _ in range(100))


class Planted(SandboxTest):
    table = "A%s\nB%s\n" % (ENTRY, ENTRY)

    def setUp(self):
        SandboxTest.setUp(self)
        self.m = Machine(self.sb)
        self.m.disk("sdb", 16, "0000:05:00.0")

    def plant(self, rel, kind):
        self.sb.remove(rel)
        p = self.sb.path(rel)
        {"fifo": lambda: os.mkfifo(p), "dir": lambda: os.mkdir(p),
         "file": lambda: os.close(os.open(p, os.O_CREAT)),
         "link": lambda: os.symlink(self.sb.path("etc/victim"), p),
         "node": lambda: os.mknod(p, 0o20600, os.makedev(240, 9))}[kind]()  # S_IFCHR

    def test_fifo_inputs_time_out_and_release_the_lock(self):
        for rel, args, status, loc in (("etc/hba_addr.conf", ["-l"], 4, "1011"),
                                       ("etc/other", ["-f", ETC + "other", "-l"], 4, "1011"),
                                       ("etc/alterpm.conf", ["-r"], 9, "c3b")):
            with self.subTest(rel=rel):
                self.plant(rel, "fifo")
                r = self.m.run("-t", "1", *args, env=EXTENDED, timeout=60)
                self.assertRun(r, status, stderr="ERROR: %s%s: failed to access file(9:%s).\n"
                               % (ETC, rel[4:], loc))
                self.plant(rel, "file")
                self.sb.write(rel, self.table if "alter" not in rel else "")
                self.assertRun(self.m.run("-t", "1", *args, env=EXTENDED), 0, stderr="")

    def test_query_command_that_never_stops_or_lingers_is_ended_with_its_group(self):
        self.m.diag()
        self.m.node("mxvol/CLS/dsk/vol1", 241, 1)
        self.m.proc_devices(block={241: "mxvol"})
        failed = "ERROR: illegal class-name CLS.\n"
        for body, operand, stderr in (('exec yes "disk a b c d sdb"', "CLS", failed),
                                      ("sleep 60 & echo $! > %s\nexec sleep 60"
                                       % self.sb.path("grandchild"), "CLS", failed),
                                      ("exec yes", "/dev/mxvol/CLS/dsk/vol1", "ERROR: /usr/sbin/"
                                       "mxvinfo: failed to access file(1:4aa).\n")):
            with self.subTest(body=body):
                self.m.mxvinfo("echo $$ > %s\n%s" % (self.sb.path("child"), body))
                self.assertRun(self.m.run("-t", "2", "-a", operand, env=EXTENDED, timeout=60), 6,
                               stderr=stderr)
                self.assertNotIn("illegal class-name CLS.", self.sb.log_messages())
                for pidfile in [f for f in ("child", "grandchild") if self.sb.exists(f)]:
                    self.assertTrue(gone(self.sb.read(pidfile).strip()), pidfile)

    def test_lock_file_or_output_that_is_no_regular_file_is_refused_untouched(self):
        lock, out = "/var/opt/KVXRtarnex/lock/.tarnex.lock", ETC + "out"
        for kind, path, err in (("link", lock, 0x28), ("fifo", lock, 0x16), ("node", out, 0x16),
                                ("fifo", out, 0x16), ("link", out, 0x28), ("dir", out, 0x15)):
            with self.subTest(kind=kind, path=path):
                rel, args = (LOCK, ["-l"]) if path == lock else ("etc/out", ["-d", "A", "-o", out])
                self.plant(LOCK, "file")
                self.sb.write("etc/victim", "untouched\n", mode=0o600)
                self.plant(rel, kind)
                before = os.lstat(self.sb.path(rel))
                self.assertRun(self.m.run(*args, env=EXTENDED), 10 if path == lock else 32,
                               stdout="", stderr="ERROR: %s: an input/output error has occurred"
                               "(%x:%s).\n" % (path, err, "3de" if path == lock else "206a"))
                self.assertEqual(os.lstat(self.sb.path(rel))[:2], before[:2])  # mode, inode
                self.assertEqual(self.sb.read("etc/victim"), "untouched\n")
                self.assertEqual([n for n in os.listdir(self.sb.path("etc")) if "." in n[-2:]], [])

    def test_save_removes_stale_temporaries_and_nothing_else(self):
        # name: (mode, owner); only the first has all a temporary's marks
        kept = {"confAbz01": (0o600, 0), "confAbz0199": (0o600, 0), "confAb-019": (0o600, 0),
                "confAbz018": (0o644, 0), "confAbz017": (0o600, NOBODY)}
        for name, (mode, owner) in [("confAbz019", (0o600, 0))] + list(kept.items()):
            os.chown(self.sb.write("etc/hba_addr." + name, "", mode=mode), owner, owner)
        self.sb.write("etc/alterpm.confAbz019", "", mode=0o600)
        os.mkdir(self.sb.path("etc/hba_addr.confDirDir"), 0o600)
        os.symlink("hba_addr.conf", self.sb.path("etc/hba_addr.confLnkLnk"))
        self.assertRun(self.m.run("-d", "A"), 0, stderr="")
        self.assertEqual(sorted(os.listdir(self.sb.path("etc"))), sorted(
            ["alterpm.conf", "alterpm.confAbz019", "hba_addr.conf", "hba_addr.conf.1",
             "hba_addr.confDirDir", "hba_addr.confLnkLnk"] + ["hba_addr." + n for n in kept]))

    def test_lockdown_that_refuses_the_select_write_is_named(self):
        self.sb.write("etc/hba_addr.conf", "l0,/dev/sda 0000:05:01.0\n")
        m = hotplug_fix.Machine()
        m.shpc_bridge("0000:00:1e.0", secondary=5)
        m.adapter("0000:05:01.0")
        config = os.path.join(m.write(self.sb), "0000:00:1e.0/config")
        self.addCleanup(subprocess.run, ["chattr", "-i", config])
        line = "kernel lockdown (integrity) refuses writes to PCI configuration space; the " \
            "SHPC register window needs one."
        on, off = "none [integrity] confidentiality", "[none] integrity confidentiality"
        for modes, write, named in ((on, "+i", True), (off, "+i", False), ("", "+i", False),
                                    (on, "ro", False)):  # "": no lockdown file
            with self.subTest(modes=modes, write=write):  # +i: EPERM, ro: EROFS
                self.sb.remove("var/log/user.log")
                subprocess.run(["chattr", "+i" if write == "+i" else "-i", config], check=True)
                r = self.sb.run_program(["/bin/sh", "-c", LOCKDOWN, "sh", TARNEX_BIN, "-r"],
                                        env={"MODES": modes, "WRITE": write})
                self.assertRun(r, 9, stderr="ERROR: there was a fatal error(9aa).\n" +
                               ("ERROR: %s\n" % line if named else ""))
                self.assertEqual(self.sb.log_messages()[2:-1], ["there was a fatal error(9aa).",
                                 "0000:00:1e.0(1003)"] + [line] * named + ["callee search_shpc"
                                                                           "(2711)."])

    def test_killed_and_concurrent_edits_lose_nothing_reported_done(self):
        self.sb.write("etc/hba_addr.conf", "".join("L%d%s\n" % (i, ENTRY) for i in range(2000)))
        rng, done = random.Random(1), []
        # (operation, kill delay or None): -a, -c and -d, most killed at a random moment
        ops = [(rng.choice([("-a", "/dev/sdb"), ("-c", "L%d" % n, "M%d" % n), ("-d", "L%d" % n)]),
                rng.uniform(0.02, 0.3) if rng.random() < 0.7 else None) for n in range(1999)]
        ops = ops[:[i for i, (_, d) in enumerate(ops) if d is not None][KILLS - 1] + 1]

        def run(op, delay):
            p = self.sb.start(*op, preload=True, env=self.m.env())
            if delay is not None:
                time.sleep(delay)
                p.kill()
            p.communicate()
            if p.returncode >= 0:  # not killed: it ended by itself
                done.append((op, p.returncode))

        with concurrent.futures.ThreadPoolExecutor(3) as pool:  # three runs at a time
            list(pool.map(lambda od: run(*od), ops))
        self.assertEqual([d for d in done if d[1] != 0], [])
        self.assertRun(self.m.run("-d", "L1999"), 0, stderr="")  # the next save
        names = sorted(os.listdir(self.sb.path("etc")))
        self.assertEqual(names, sorted(["alterpm.conf", "hba_addr.conf"] +
                                       ["hba_addr.conf.%d" % i for i in range(1, 11)]))
        for name in names[1:]:  # every generation is a whole table
            self.assertRegex(self.sb.read("etc/" + name), r"\A(([LM]\d+|/dev/sdb)%s\n)*\Z"
                             % re.escape(ENTRY), name)
        table = self.sb.read("etc/hba_addr.conf").splitlines()
        dropped = {op[1] for op, _ in done if op[0] != "-a"}  # by -c and -d
        self.assertEqual([l for l in table if l.split(",")[0] in dropped], [])
        self.assertLessEqual({op[2] + ENTRY for op, _ in done if op[0] == "-c"}, set(table))
        self.assertGreaterEqual(table.count("/dev/sdb" + ENTRY),
                                sum(1 for op, _ in done if op[0] == "-a"))


if __name__ == "__main__":
    unittest.main()
