"""The Debian package, unpacked into a temporary folder (never installed):
its binary's options, its manual page and the README agreeing with --help,
and a relay station (--relay, standard input closed) carrying a message
between two --headless stations on a test LAN.

CIBULA_DEB_DIR names the folder holding the .deb (ctest makes it with cpack),
CIBULA_VERSION the project's version.
"""
import glob
import gzip
import os
import re
import shutil
import signal
import subprocess
import tempfile
import unittest

import lan
from test_headless import LanCase

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# Every mode, command and output pane, as --help, the manual and the README name them.
NAMES = ["--headless", "--relay", "--help", "--version", "send recipient route-length text",
         "clear", "quit", "messages<tab>", "transfers<tab>", "stations<tab>", "10012"]
ROOT = BIN = None


def setUpModule():
    global ROOT, BIN
    debs = glob.glob(os.path.join(os.environ["CIBULA_DEB_DIR"], "cibula_*.deb"))
    if len(debs) != 1:
        raise RuntimeError("expected one package, found %r" % debs)
    ROOT = tempfile.mkdtemp(prefix="cibula-deb-")
    unittest.addModuleCleanup(shutil.rmtree, ROOT, ignore_errors=True)
    os.chmod(ROOT, 0o755)  # the station runs inside it as root of a namespace
    subprocess.run(["dpkg-deb", "-x", debs[0], ROOT], check=True)
    BIN = os.path.join(ROOT, "usr", "bin", "cibula")


def run(*args):
    return subprocess.run([BIN, *args], capture_output=True, text=True, timeout=10)


class Options(unittest.TestCase):
    def test_version_help_unknown(self):
        r = run("--version")
        self.assertEqual((r.returncode, r.stdout), (0, "cibula %s\n" % os.environ["CIBULA_VERSION"]))
        h = run("--help")
        self.assertEqual((h.returncode, h.stderr), (0, ""))
        for bad in (["--frob"], ["--headless", "--relay"]):
            r = run(*bad)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (2, "", h.stdout), bad)

    def test_help_manual_and_readme_name_everything(self):
        with gzip.open(os.path.join(ROOT, "usr/share/man/man1/cibula.1.gz"), "rt") as f:
            manual = re.sub(r"\\f[BIRP]", "", f.read().replace("\\-", "-"))
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        for name, text in (("--help", run("--help").stdout), ("manual", manual), ("README", readme)):
            missing = [n for n in NAMES if n not in text.lower()]
            self.assertEqual(missing, [], name)


class Relay(LanCase):
    """A and D run --headless, R runs --relay with its standard input closed."""

    @classmethod
    def setUpClass(cls):
        lan.require(need_station=False)
        cls.stations = [cls.net.start_station(h, binary=BIN, args=[mode]) for h, mode in
                        zip(cls.make_lan(3), ("--headless", "--relay", "--headless"))]
        cls.stations[1].close_stdin()

    def test_relays_until_sigterm(self):
        a, r, d = self.stations
        for s in self.stations:
            self.assertTrue(s.wait_stations(self.others(s), 15), self.dump())
        # Two relays drawn from {R, D}, never the same twice in a row: R is always one.
        self.assertIn(r.addr, self.deliver(a, d, 2, "cez relay"))
        self.assertTrue(r.running())
        r.kill(signal.SIGTERM)
        self.assertEqual(r.wait(), 0, self.dump())
        for s in (a, d):  # its BYE made the others forget it
            self.assertTrue(s.wait_stations(self.others(s), 3), self.dump())


if __name__ == "__main__":
    unittest.main()
