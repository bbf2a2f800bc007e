"""Shows what tarnex does, run for real as root in a private namespace over
the example machine in examples/machine (nothing on this host is touched)."""

import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sandbox"))
from sandbox import NOBODY, Sandbox  # noqa: E402


def show(sb, title, *args, **kw):
    print("\n== %s\n$ tarnex %s" % (title, " ".join(args)))
    r = sb.run(*args, **kw)
    sys.stdout.write(r.stdout)
    sys.stdout.write(r.stderr)
    print("(exit status %d)" % r.status)
    return r


def main():
    with Sandbox() as sb:
        shutil.copytree(os.path.join(HERE, "machine"), sb.root, dirs_exist_ok=True)
        print("Example machine: %s" % os.path.join(HERE, "machine"))
        print("-- /etc/opt/KVXRtarnex/hba_addr.conf --")
        sys.stdout.write(sb.read("etc/hba_addr.conf"))
        show(sb, "list the table (blanks normalised, comments kept)", "-l")
        show(sb, "register the table with the driver", "-r")
        show(sb, "two modes at once are refused", "-l", "-r")
        show(sb, "only root may run it", "-l", user=NOBODY)
        print("\n-- /var/opt/KVXRtarnex/log/user.log --")
        sys.stdout.write(sb.read("var/log/user.log"))


if __name__ == "__main__":
    main()
