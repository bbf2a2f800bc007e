"""The Debian packages on a real Debian 12 server (emulated): installed with
dpkg beside kdump-tools, rebooted, panicked into the crash kernel and purged,
in one QEMU run with no step by hand (lab/debian_server.py)."""

import os
import re
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "lab"))
import debian_server  # noqa: E402
import records  # noqa: E402

# Left by the run itself whatever the packages do: logs, journal, the dump,
# dpkg's own records, the kdump initramfs rebuilt in place.
CHURN = ("/var/log/", "/var/lib/systemd/", "/var/crash/", "/var/cache/", "/var/lib/dpkg/",
         "/var/lib/kdump/", "/var/lib/lab/", "/etc/ld.so.cache", "/var/tmp/", "/root/")


class DebianServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = os.environ.get("TARNEX_EMU_KEEP") or tempfile.mkdtemp(prefix="tarnex-debian-")
        cls.r = debian_server.run(work)
        sys.stderr.write("debian server: preparation %.0f s, one QEMU run %.0f s, files in %s\n"
                         % (cls.r.prepared, cls.r.seconds, work))

    def ok(self, step):
        self.assertEqual(self.r.read(step, "rc").strip(), "0", self.r.read(step, "err"))
        return self.r.read(step, "out")

    def test_install_keeps_the_table_and_creates_the_rest(self):
        self.assertEqual(self.r.rc, 0, self.r.console[-3000:])
        self.ok("dpkg_install")
        self.assertEqual(self.r.read("table.after_install"), debian_server.TABLE)
        self.assertEqual(self.ok("installed_modes").split("\n")[1:-1], [
            "644 root /etc/opt/KVXRtarnex/alterpm.conf", "750 root /var/opt/KVXRtarnex/log",
            "750 root /var/opt/KVXRtarnex/lock", "600 root /var/opt/KVXRtarnex/lock/.tarnex.lock"])
        self.assertEqual(self.ok("signer").strip(), "DKMS module signing key")

    def test_udev_started_registration_and_the_driver_got_the_table(self):
        self.assertRegex(self.ok("register"), r"Result=success\nExecMainStatus=0\n"
                         r"WantedBy=\S+-tarnex\.device\nActiveState=active")
        reqs = records.decode_dump(self.ok("received"))
        self.assertEqual([(q["request"], q["result"], q["problems"]) for q in reqs],
                         [(records.HBA_ARRAY, 0, []), (records.SHPC_TABLE, 0, [])])
        got = {h["bus_id"] for h in reqs[0]["hbas"]}
        got |= {h["bus_id"] for b in reqs[1]["bridges"] for h in b["hbas"]}
        self.assertEqual(got, set(re.findall(r" (0000:\S+)\n", debian_server.TABLE)))

    def test_module_loaded_after_the_driver_and_holds_the_hook(self):
        klog = self.ok("klog")
        self.assertLess(klog.index("tarnex: stand-in driver loaded"),
                        klog.index("panicforkiv: ver.1.0.0 initialized."))
        self.assertNotIn("cannot get tarnex_hook", klog)
        self.assertEqual(self.ok("refcnt").strip(), "1")

    def test_unit_rated_and_verified(self):
        score = re.search(r"Overall exposure level for \S+: ([\d.]+)", self.ok("security"))
        sys.stderr.write("systemd-analyze security: %s\n" % score.group(1))
        self.assertLessEqual(float(score.group(1)), 2.5)
        self.assertEqual((self.ok("verify"), self.r.read("verify", "err")), ("", ""))

    def test_crash_kernel_initramfs_loads_driver_then_module(self):
        self.assertEqual(self.ok("kdump_loaded").strip(), "1")
        self.ok("kdump_unpack")
        self.assertRegex(self.r.read("kdump_modules"),
                         r"(?s)extra/tarnex\.ko\n.*/dkms/panicforkiv\.ko\n")
        self.assertEqual(self.r.read("kdump_conf_modules").split()[-2:], ["tarnex", "panicforkiv"])

    def test_panic_calls_the_hook_once_and_the_crash_kernel_says_dumping(self):
        self.assertEqual(self.ok("hook_before").strip(), "calls=0")
        after = self.r.console.split("LAB-PANIC", 1)[1]
        self.assertEqual(after.count("tarnex_hook called"), 1)
        # loaded from the initramfs: before the root file system is mounted
        self.assertLess(after.index("panicforkiv: Setting system status to dumping."),
                        after.index("EXT4-fs (vda): mounted"))
        self.assertEqual([e["status"] for e in self.r.bmc if e["ev"] == "status"], ["dumping"])
        self.assertRegex(self.ok("crash_dir"), r"dump\.\d+")

    def test_purge_leaves_only_the_dkms_signing_key(self):
        self.ok("dpkg_purge")
        before = set(self.r.read("paths.before").split("\n"))
        left = [p for p in self.r.read("paths.after").split("\n")
                if p not in before and not p.startswith(CHURN)]
        self.assertEqual(left, ["/var/lib/dkms/mok.key", "/var/lib/dkms/mok.pub"])
        self.assertNotIn("panicforkiv", self.ok("kdump_initrd_after"))


if __name__ == "__main__":
    unittest.main()
