"""The Debian package, unpacked into a temporary folder (never installed):
its binary's options, its manual page and the README agreeing with --help,
its maintainer scripts as dpkg runs them, against stand-ins, and a relay
station (--relay, standard input closed) carrying a message between two
--headless stations on a test LAN.

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
from lancase import LanCase

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
# Every mode, command and output pane, as --help, the manual and the README name them.
NAMES = ["--headless", "--relay", "--help", "--version", "send recipient route-length text",
         "clear", "quit", "messages<tab>", "transfers<tab>", "stations<tab>", "10012"]
ROOT = BIN = CONTROL = None
UNIT = "cibula-relay.service"


def setUpModule():
    global ROOT, BIN, CONTROL
    debs = glob.glob(os.path.join(os.environ["CIBULA_DEB_DIR"], "cibula_*.deb"))
    if len(debs) != 1:
        raise RuntimeError("expected one package, found %r" % debs)
    ROOT = tempfile.mkdtemp(prefix="cibula-deb-")
    unittest.addModuleCleanup(shutil.rmtree, ROOT, ignore_errors=True)
    os.chmod(ROOT, 0o755)  # the station runs inside it as root of a namespace
    subprocess.run(["dpkg-deb", "-x", debs[0], ROOT], check=True)
    BIN = os.path.join(ROOT, "usr", "bin", "cibula")
    CONTROL = os.path.join(ROOT, "DEBIAN")
    subprocess.run(["dpkg-deb", "-e", debs[0], CONTROL], check=True)


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


# Logs its call; as deb-systemd-helper it finds the unit installed and enabled before when ENABLED is set.
STAND_IN = """#!/bin/sh
echo "${0##*/} $*" >>"$CALLS"
case "$*" in *debian-installed*|*was-enabled*) [ -n "$ENABLED" ] ;; esac
"""
# A mount namespace of its own: /run empty but for /run/systemd/system when
# systemd runs, /var/lib the stand-in folder, /usr/bin/deb-systemd-helper the stand-in.
NAMESPACE = """set -eu
mount -t tmpfs none /run
[ -z "$SYSTEMD" ] || mkdir -p /run/systemd/system
mount --bind "$VARLIB" /var/lib
mount --bind "$STANDINS/deb-systemd-helper" /usr/bin/deb-systemd-helper
exec "$@"
"""


class MaintainerScripts(unittest.TestCase):
    """postinst, prerm and postrm with the arguments dpkg passes, one step of
    a package's life after the other, against stand-in systemctl,
    deb-systemd-helper and deb-systemd-invoke that log their calls."""

    def setUp(self):
        if os.geteuid() != 0:
            print("maintainer scripts: skipped: a mount namespace needs root")
            raise unittest.SkipTest("not root")
        self.tmp = tempfile.mkdtemp(prefix="cibula-maint-")
        self.addCleanup(shutil.rmtree, self.tmp)
        self.standins, self.varlib = os.path.join(self.tmp, "bin"), os.path.join(self.tmp, "varlib")
        os.makedirs(self.standins)
        for name in ("systemctl", "deb-systemd-helper", "deb-systemd-invoke"):
            path = os.path.join(self.standins, name)
            with open(path, "w") as f:
                f.write(STAND_IN)
            os.chmod(path, 0o755)
        # The relay's state as systemd keeps it for a dynamic user, beside others' state.
        for d in ("private/cibula", "private/other", "other"):
            os.makedirs(os.path.join(self.varlib, d))
            open(os.path.join(self.varlib, d, "kept.txt"), "w").close()
        os.symlink("private/cibula", os.path.join(self.varlib, "cibula"))

    def run_script(self, script, args, systemd=True, enabled=False):
        calls = os.path.join(self.tmp, "calls")
        open(calls, "w").close()
        env = dict(os.environ, PATH=self.standins + ":" + os.environ["PATH"], CALLS=calls,
                   ENABLED="yes" * enabled, SYSTEMD="yes" * systemd, VARLIB=self.varlib, STANDINS=self.standins)
        r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", NAMESPACE, "sh",
                            os.path.join(CONTROL, script), *args], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual((r.returncode, r.stderr), (0, ""), (script, args))
        with open(calls) as f:
            return f.read().splitlines()

    def state(self):
        return sorted(os.path.relpath(os.path.join(d, n), self.varlib)
                      for d, dirs, files in os.walk(self.varlib) for n in dirs + files)

    def test_install_upgrade_remove_purge(self):
        helper, invoke, reload = "deb-systemd-helper ", "deb-systemd-invoke ", "systemctl --system daemon-reload"
        # step, script, arguments, systemd running, relay enabled before, calls
        steps = (
            ("install", "postinst", ["configure"], True, False,
             [helper + "debian-installed " + UNIT, helper + "update-state " + UNIT, reload]),
            ("upgrade: old prerm", "prerm", ["upgrade", "0.1"], True, True, []),
            ("upgrade of an enabled relay", "postinst", ["configure", "0.1"], True, True,
             [helper + "debian-installed " + UNIT, helper + "unmask " + UNIT, helper + "--quiet was-enabled " + UNIT,
              helper + "enable " + UNIT, helper + "update-state " + UNIT, reload, invoke + "try-restart " + UNIT]),
            ("upgrade without systemd", "postinst", ["configure", "0.1"], False, False,
             [helper + "debian-installed " + UNIT, helper + "update-state " + UNIT]),
            ("remove: prerm", "prerm", ["remove"], True, False, [invoke + "stop " + UNIT]),
            ("remove: postrm", "postrm", ["remove"], True, False, [reload, helper + "mask " + UNIT]),
            ("purge", "postrm", ["purge"], True, False, [helper + "purge " + UNIT, helper + "unmask " + UNIT]),
        )
        before = self.state()
        for step, script, args, systemd, enabled, calls in steps:
            self.assertEqual(self.run_script(script, args, systemd, enabled), calls, step)
            # Only purge touches the relay's state, and nothing else's.
            self.assertEqual(self.state(), before if step != "purge" else
                             ["other", "other/kept.txt", "private", "private/other", "private/other/kept.txt"], step)


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
