"""Shows what tarnex does, run for real as root in a private namespace over
the example machine in examples/machine (nothing on this host is touched)."""

import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sandbox"))
from sandbox import Sandbox  # noqa: E402

NOBODY = 65534


def show(sb, title, *args, **kw):
    print("\n== %s\n$ tarnex %s" % (title, " ".join(args)))
    r = sb.run(*args, **kw)
    sys.stdout.write(r.stdout)
    sys.stdout.write(r.stderr)
    print("(exit status %d)" % r.returncode)
    return r


def main():
    sb = Sandbox()
    try:
        shutil.copytree(os.path.join(HERE, "machine"), sb.root, dirs_exist_ok=True)
        # The node's PCI tree: a PCI Express downstream port with a SAS HBA
        # (bus 3) and an SHPC bridge with a SCSI HBA in slot 2 (bus 6).
        sb.port("0000:02:00.0", 3)
        sb.adapter("0000:03:00.0")
        sb.shpc_bridge("0000:05:01.0", 6)
        sb.adapter("0000:06:02.0")
        print("Example machine: %s" % os.path.join(HERE, "machine"))
        print("-- /etc/opt/KVXRtarnex/hba_addr.conf --")
        sys.stdout.write(sb.read("etc/hba_addr.conf"))
        show(sb, "list the table (blanks normalised, comments kept)", "-l")
        show(sb, "register the table with the driver", "-r")
        show(sb, "two modes at once are refused", "-l", "-r")
        show(sb, "only root may run it", "-l", user=NOBODY)
        print("\n-- /var/opt/KVXRtarnex/log/user.log --")
        sys.stdout.write(sb.read("var/log/user.log"))
    finally:
        shutil.rmtree(sb.root, ignore_errors=True)


if __name__ == "__main__":
    main()
