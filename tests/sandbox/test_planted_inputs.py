"""Planted FIFOs, links, nodes, endless or lingering query commands and kills:
nothing hangs, is followed, is replaced, or is lost once reported done."""

import concurrent.futures
import errno
import os
import random
import re
import subprocess
import time
import unittest

from sandbox import EXTENDED, LOCK, MXVOL_MAJOR, SandboxTest

ETC = "/etc/opt/KVXRtarnex/"
ENTRY = ",/dev/sdb 0000:05:00.0"
NOBODY = 65534
KILLS = int(os.environ.get("TARNEX_CRASH_KILLS", "40"))  # CI runs a modest number


def gone(pid):
    """True once pid ends within 5 s (a zombie until its new parent reaps it)."""
    return any(time.sleep(0.05) or subprocess.run(["ps", "-o", "stat=", "-p", pid], text=True,
               capture_output=True).stdout[:1] in ("", "Z") for _ in range(100))


class Planted(SandboxTest):
    table = "A%s\nB%s\n" % (ENTRY, ENTRY)

    def setUp(self):
        SandboxTest.setUp(self)
        self.sb.disk("sdb", 16, "0000:05:00.0")

    def plant(self, rel, kind):
        self.sb.remove(rel)
        p = self.sb.path(rel)
        {"fifo": lambda: os.mkfifo(p), "dir": lambda: os.mkdir(p),
         "file": lambda: os.close(os.open(p, os.O_CREAT)),
         "link": lambda: os.symlink(self.sb.path("etc/victim"), p),
         "immutable": lambda: (os.close(os.open(p, os.O_CREAT)),  # rename over it: EPERM
                               subprocess.run(["chattr", "+i", p], check=True)),
         "node": lambda: os.mknod(p, 0o20600, os.makedev(240, 9))}[kind]()  # S_IFCHR

    def test_fifo_inputs_time_out_and_release_the_lock(self):
        def check(rel, args, status, loc):
            self.plant(rel, "fifo")
            self.assertRun(self.sb.run("-t", "1", *args, env=EXTENDED), status,
                           "ERROR: %s%s: failed to access file(9:%s).\n" % (ETC, rel[4:], loc))
            self.plant(rel, "file")
            self.sb.write(rel, self.table if "alter" not in rel else "")
            self.assertRun(self.sb.run("-t", "1", *args, env=EXTENDED), 0, "")
        self.each([("etc/hba_addr.conf", ["-l"], 4, "1011"),
                   ("etc/other", ["-f", ETC + "other", "-l"], 4, "1011"),
                   ("etc/alterpm.conf", ["-r"], 9, "c3b")], check)

    def test_query_command_that_never_stops_or_lingers_is_ended_with_its_group(self):
        self.sb.node("mxvol/_diag", 10, 250, char=True)
        self.sb.node("mxvol/CLS/dsk/vol1", MXVOL_MAJOR, 1)
        self.sb.proc_devices(block={MXVOL_MAJOR: "mxvol"})

        def check(body, operand, stderr):
            self.sb.mxvinfo("echo $$ > %s\n%s" % (self.sb.path("child"), body))
            self.assertRun(self.sb.run("-t", "2", "-a", operand, env=EXTENDED), 6, stderr)
            self.assertNotIn("illegal class-name CLS.", self.sb.log())
            for pidfile in [f for f in ("child", "grandchild") if self.sb.exists(f)]:
                self.assertTrue(gone(self.sb.read(pidfile).strip()), pidfile)
        failed = "ERROR: illegal class-name CLS.\n"
        self.each([('exec yes "disk a b c d sdb"', "CLS", failed),
                   ("sleep 60 & echo $! > %s\nexec sleep 60" % self.sb.path("grandchild"), "CLS",
                    failed),
                   ("exec yes", "/dev/mxvol/CLS/dsk/vol1",
                    "ERROR: /usr/sbin/mxvinfo: failed to access file(1:4aa).\n")], check)

    def test_lock_file_or_output_that_is_no_regular_file_is_refused_untouched(self):
        lock, out = "/var/opt/KVXRtarnex/lock/.tarnex.lock", ETC + "out"
        self.addCleanup(subprocess.run, ["chattr", "-i", self.sb.path("etc/out")])

        def check(kind, path, err, loc="206a"):
            rel, args = (LOCK, ["-l"]) if path == lock else ("etc/out", ["-d", "A", "-o", out])
            self.plant(LOCK, "file")
            self.sb.write("etc/victim", "untouched\n", mode=0o600)
            self.plant(rel, kind)
            before = os.lstat(self.sb.path(rel))
            self.assertRun(self.sb.run(*args, env=EXTENDED), 10 if path == lock else 32,
                           "ERROR: %s: an input/output error has occurred(%x:%s).\n"
                           % (path, err, "3de" if path == lock else loc), "")
            self.assertEqual(os.lstat(self.sb.path(rel))[:2], before[:2])  # mode, inode
            self.assertEqual(self.sb.read("etc/victim"), "untouched\n")
            # Nothing renamed, no temporary file left.
            self.assertEqual(self.sb.listdir("etc"), ["alterpm.conf", "hba_addr.conf"] +
                             ["out"] * (path == out) + ["victim"])
        self.each([("link", lock, 0x28), ("fifo", lock, 0x16), ("node", out, 0x16),
                   ("fifo", out, 0x16), ("link", out, 0x28), ("dir", out, 0x15),
                   ("immutable", out, 0x1, "2067")], check)  # the rename fails

    def test_save_removes_stale_temporaries_and_nothing_else(self):
        # name: (mode, owner); only the first has all a temporary's marks
        kept = {"confAbz01": (0o600, 0), "confAbz0199": (0o600, 0), "confAb-019": (0o600, 0),
                "confAbz018": (0o644, 0), "confAbz017": (0o600, NOBODY)}
        for name, (mode, owner) in [("confAbz019", (0o600, 0))] + list(kept.items()):
            os.chown(self.sb.write("etc/hba_addr." + name, "", mode=mode), owner, owner)
        self.sb.write("etc/alterpm.confAbz019", "", mode=0o600)
        os.mkdir(self.sb.path("etc/hba_addr.confDirDir"), 0o600)
        os.symlink("hba_addr.conf", self.sb.path("etc/hba_addr.confLnkLnk"))
        self.assertRun(self.sb.run("-d", "A"), 0, "")
        self.assertEqual(self.sb.listdir("etc"), sorted(
            ["alterpm.conf", "alterpm.confAbz019", "hba_addr.conf", "hba_addr.conf.1",
             "hba_addr.confDirDir", "hba_addr.confLnkLnk"] + ["hba_addr." + n for n in kept]))

    def test_lockdown_that_refuses_the_select_write_is_named(self):
        self.sb.write("etc/hba_addr.conf", "l0,/dev/sda 0000:05:01.0\n")
        self.sb.adapter("0000:05:01.0")
        line = "kernel lockdown (integrity) refuses writes to PCI configuration space; the " \
            "SHPC register window needs one."

        def check(modes, err, named):
            self.sb.remove("security")
            os.mkdir(self.sb.path("security"))
            if modes is not None:
                self.sb.write("security/lockdown", modes + "\n")
            self.sb.shpc_bridge("0000:00:1e.0", 5, fail_select=err)
            self.assertRun(self.sb.run("-r"), 9, "ERROR: there was a fatal error(9aa).\n" +
                           ("ERROR: %s\n" % line if named else ""))
            self.assertEqual(self.sb.log()[2:-1], ["there was a fatal error(9aa).",
                             "0000:00:1e.0(1005)"] + [line] * named + ["callee search_shpc(2711)."])
        on, off = "none [integrity] confidentiality", "[none] integrity confidentiality"
        self.each([(on, errno.EPERM, True), (off, errno.EPERM, False), (None, errno.EPERM, False),
                   (on, errno.EROFS, False)], check)  # None: no lockdown file

    def test_killed_and_concurrent_edits_lose_nothing_reported_done(self):
        self.sb.write("etc/hba_addr.conf", "".join("L%d%s\n" % (i, ENTRY) for i in range(2000)))
        rng, done = random.Random(1), []
        # (operation, kill delay or None): -a, -c and -d, most killed at a random moment
        ops = [(rng.choice([("-a", "/dev/sdb"), ("-c", "L%d" % n, "M%d" % n), ("-d", "L%d" % n)]),
                rng.uniform(0.02, 0.3) if rng.random() < 0.7 else None) for n in range(1999)]
        ops = ops[:[i for i, (_, d) in enumerate(ops) if d is not None][KILLS - 1] + 1]

        def run(op, delay):
            p = subprocess.Popen(self.sb.command(*op), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if delay is not None:
                time.sleep(delay)
                p.kill()
            p.communicate()
            if p.returncode >= 0:  # not killed: it ended by itself
                done.append((op, p.returncode))

        with concurrent.futures.ThreadPoolExecutor(3) as pool:  # three runs at a time
            list(pool.map(lambda od: run(*od), ops))
        self.assertEqual([d for d in done if d[1] != 0], [])
        self.assertRun(self.sb.run("-d", "L1999"), 0, "")  # the next save
        names = self.sb.listdir("etc")
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
