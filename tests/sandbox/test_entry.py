"""The command's entry: privilege, log, options and their messages."""

import os
import re
import unittest

from sandbox import LOG, NOBODY, TARNEX_BIN, TARNEX_RUNNER, SandboxTest

USAGE = ("ERROR: usage: tarnex -a DEVICE-PATH\n"
         "ERROR:   or:  tarnex -d LABEL\n"
         "ERROR:   or:  tarnex -c OLD-LABEL NEW-LABEL\n"
         "ERROR:   or:  tarnex -l | -r\n")
EXTENDED = {"KVXRtarnex": "KOBRANT"}
OPTION_LINE = re.compile(r"option \d \d \d \d$")


class Privilege(SandboxTest):
    def test_non_root_gets_one_line_and_no_log(self):
        r = self.sb.run("-l", user=NOBODY)
        self.assertRun(r, 1, stderr="ERROR: must run as root.\n", stdout="")
        self.assertFalse(self.sb.exists(LOG))


class ClosedStandardDescriptors(SandboxTest):
    table = "label0,/dev/sda 0000:05:00.0\n"

    def test_listing_to_a_closed_stdout_fails_and_stays_out_of_the_log(self):
        runner = TARNEX_RUNNER + " " if TARNEX_RUNNER else ""
        r = self.sb.run_program(["/bin/sh", "-c", runner + TARNEX_BIN + " -l >&- <&-"])
        self.assertEqual(r.status, 30, r)
        self.assertIn("(stdout): an input/output error has occurred(9:", r.stderr)
        self.assertNotIn("label0", self.sb.read(LOG))


class LogOpening(SandboxTest):
    def test_log_that_is_a_symbolic_link_is_refused(self):
        self.sb.write("var/log/target", "")
        os.symlink(self.sb.path("var/log/target"), self.sb.path(LOG))
        r = self.sb.run("-l")
        self.assertRun(r, 2, stderr="ERROR: initialization failed(407).\n")
        self.assertEqual(self.sb.read("var/log/target"), "")

    def test_missing_log_directory(self):
        self.sb.remove("var/log")
        self.assertRun(self.sb.run("-l"), 2, stderr="ERROR: initialization failed(408).\n")

    def test_log_that_is_a_directory_is_refused(self):
        os.mkdir(self.sb.path(LOG))
        self.assertRun(self.sb.run("-l"), 2, stderr="ERROR: initialization failed(407).\n")

    def test_new_log_is_created_owner_rw_group_r(self):
        self.sb.run("-l")
        self.assertEqual(os.stat(self.sb.path(LOG)).st_mode & 0o7777, 0o640)
        self.assertEqual(self.sb.log_messages()[0], "start.")

    def test_rotation_at_exactly_the_limit(self):
        self.sb.write(LOG, "x" * 1048575 + "\n")
        self.sb.run("-l")
        old = self.sb.read(LOG + ".1")
        self.assertTrue(old.startswith("x" * 1048575 + "\n"))
        # The line that found the file at the limit is the last of generation 1.
        self.assertTrue(old.endswith(">start.\n"), old[-80:])
        self.assertEqual(self.sb.log_messages()[0], "option 0 0 1 0")

    def test_no_rotation_below_the_limit(self):
        # The first line finds the file one byte short and is appended; the
        # second finds it over the limit and rotates.
        self.sb.write(LOG, "x" * 1048574 + "\n")
        self.sb.run("-l")
        old = self.sb.read(LOG + ".1").splitlines()
        self.assertEqual(len(old), 3)
        self.assertTrue(old[1].endswith(">start."))
        self.assertTrue(old[2].endswith(">option 0 0 1 0"))


class BadOptions(SandboxTest):
    """Every bad option is reported, then the usage, then status 3."""

    def test_bad_options(self):
        unknown = "ERROR: unknown option %s.\n"
        cases = [(args, "", None) for args in (
            [], ["-l", "-r"], ["-c", "A"], ["-c", "A", "B", "C"], ["-l", "X"], ["-a"], ["-d"],
            ["-a", "-d", "X"])]
        cases += [
            (["-x", "-l"], unknown % "-x", None),
            (["-\x01", "-l"], "ERROR: unknown option character 0x1.\n", None),
            ([b"-\xff", "-l"], "ERROR: unknown option character 0xff.\n", None),
            (["-x", "-y", "-l"], unknown % "-x" + unknown % "-y", None),
            (["-t", "5", "-l"], unknown % "-t", None),
            (["-l", "-f"], "ERROR: option -f requires an argument.\n", EXTENDED),
            (["-l", "-t"], "ERROR: option -t requires an argument.\n", EXTENDED)]
        # Extended options need the exact variable.
        cases += [(["-n", "-l"], unknown % "-n", {"KVXRtarnex": value})
                  for value in ("KOBRANTX", "kobrant", "", " KOBRANT")]
        for args, errors, env in cases:
            with self.subTest(args=args, env=env):
                self.sb.remove(LOG)
                r = self.sb.run(*args, env=env)
                self.assertRun(r, 3, stderr=errors + USAGE, stdout="")
                msgs = self.sb.log_messages()
                self.assertEqual(msgs[0], "start.")
                self.assertEqual(msgs[-1], "end(1010).")
                self.assertEqual(msgs[1] == "option has been extended.", env == EXTENDED, msgs)
                self.assertFalse([m for m in msgs if OPTION_LINE.match(m)], msgs)


class GoodOptions(SandboxTest):
    def options_line(self, *args, env=None):
        self.sb.run(*args, env=env)
        msgs = self.sb.log_messages()
        self.sb.remove(LOG)
        return [m for m in msgs if OPTION_LINE.match(m) or m.startswith("specify")]

    def test_mode_flags_in_the_option_line(self):
        self.assertEqual(self.options_line("-a", "-a", "/dev/sda"), ["option 1 0 0 0"])
        self.assertEqual(self.options_line("-d", "A", "B"), ["option 0 1 0 0"])
        self.assertEqual(self.options_line("-c", "A", "B"), ["option 0 0 0 0"])
        self.assertEqual(self.options_line("-l"), ["option 0 0 1 0"])
        self.assertEqual(self.options_line("-r", "ignored"), ["option 0 0 0 1"])

    def test_extended_options_are_logged(self):
        self.assertEqual(
            self.options_line("-t", "0x10", "-n", "-o", "-", "-f", "/tmp/t", "-l", env=EXTENDED),
            ["specify -t 16", "specify -n.", "specify -o -.", "specify -f /tmp/t.",
             "option 0 0 1 0"])
        self.assertEqual(self.options_line("-t", "010", "-l", env=EXTENDED),
                         ["specify -t 8", "option 0 0 1 0"])
        self.assertEqual(self.options_line("-t", "soon", "-l", env=EXTENDED),
                         ["specify -t 0", "option 0 0 1 0"])


if __name__ == "__main__":
    unittest.main()
