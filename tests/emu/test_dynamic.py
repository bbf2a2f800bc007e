"""The emulated server with the dynamic i386 build of tarnex: one boot runs
every scenario, the cases check what it left."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import servercases  # noqa: E402


class DynamicBuild(servercases.ServerCases, servercases.StandInCases, unittest.TestCase):
    VARIANT = "dynamic"


def tearDownModule():
    servercases.shutdown()


if __name__ == "__main__":
    unittest.main(verbosity=2)
