# The Debian package, unpacked (never installed) from CIBULA_DEB_DIR: its
# binary's options, manual and maintainer scripts, and a --relay station on a test LAN.
import configparser
import gzip
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import unittest
from xml.etree import ElementTree

import lan
from lancase import LanCase

SOURCE = pathlib.Path(__file__).resolve().parents[2]
# Every mode, command and output pane, as --help, the manual and the README name them.
NAMES = ["--headless", "--relay", "--interface", "--help", "--version", "send recipient route-length text",
         "clear", "quit", "messages<tab>", "transfers<tab>", "stations<tab>", "10012"]
UNIT = "cibula-relay.service"


def setUpModule():
    global ROOT, BIN, CONTROL
    (deb,) = pathlib.Path(os.environ["CIBULA_DEB_DIR"]).glob("cibula_*.deb")  # exactly one
    ROOT = tempfile.mkdtemp(prefix="cibula-deb-")
    unittest.addModuleCleanup(shutil.rmtree, ROOT, ignore_errors=True)
    os.chmod(ROOT, 0o755)  # the station runs inside it as root of a namespace
    BIN, CONTROL = os.path.join(ROOT, "usr", "bin", "cibula"), os.path.join(ROOT, "DEBIAN")
    subprocess.run(["dpkg-deb", "-x", deb, ROOT], check=True)
    subprocess.run(["dpkg-deb", "-e", deb, CONTROL], check=True)


def run(*args):
    return subprocess.run([BIN, *args], capture_output=True, text=True, timeout=10)


class Options(unittest.TestCase):
    def test_options_help_manual_and_readme(self):
        h = run("--help")
        self.assertEqual((h.returncode, h.stderr), (0, ""))
        # arguments: exit code, standard output, standard error
        for args, want in ((["--version"], (0, "cibula %s\n" % os.environ["CIBULA_VERSION"], "")),
                           (["--frob"], (2, "", h.stdout)),
                           (["--headless", "--relay"], (2, "", h.stdout))):
            r = run(*args)
            self.assertEqual((r.returncode, r.stdout, r.stderr), want, args)
        # each names every mode, command, pane and the port
        with gzip.open(os.path.join(ROOT, "usr/share/man/man1/cibula.1.gz"), "rt") as f:
            manual = re.sub(r"\\f[BIRP]", "", f.read().replace("\\-", "-"))
        for name, text in (("--help", h.stdout), ("manual", manual), ("README", (SOURCE / "README.md").read_text())):
            self.assertEqual([n for n in NAMES if n not in text.lower()], [], name)


class Firewalls(unittest.TestCase):
    def test_profiles_open_the_port_for_both_protocols(self):
        # ufw's application profile and firewalld's service, each well formed, named and described
        ufw = configparser.ConfigParser()
        ufw.read(os.path.join(ROOT, "etc/ufw/applications.d/cibula"))
        profile = ufw["cibula"]
        self.assertEqual((sorted(profile["ports"].split("|")), bool(profile["title"] and profile["description"])),
                         (["10012/tcp", "10012/udp"], True))
        service = ElementTree.parse(os.path.join(ROOT, "usr/lib/firewalld/services/cibula.xml")).getroot()
        self.assertEqual((service.tag, bool(service.findtext("short") and service.findtext("description"))),
                         ("service", True))
        self.assertEqual(sorted((p.get("protocol"), p.get("port")) for p in service.iter("port")),
                         [("tcp", "10012"), ("udp", "10012")])
        # the administrator's files: an upgrade keeps their changes
        with open(os.path.join(CONTROL, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/default/cibula", "/etc/ufw/applications.d/cibula"])


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
    @unittest.skipUnless(os.geteuid() == 0, "maintainer scripts: skipped: a mount namespace needs root")
    def test_install_upgrade_remove_purge(self):
        # Each step of a package's life, as dpkg runs it, against stand-in
        # systemctl, deb-systemd-helper and deb-systemd-invoke that log their calls.
        tmp = pathlib.Path(tempfile.mkdtemp(prefix="cibula-maint-"))
        self.addCleanup(shutil.rmtree, tmp)
        standins, varlib, calls = tmp / "bin", tmp / "varlib", tmp / "calls"
        standins.mkdir()
        for name in ("systemctl", "deb-systemd-helper", "deb-systemd-invoke"):
            (standins / name).write_text(STAND_IN)
            (standins / name).chmod(0o755)
        # The relay's state as systemd keeps it for a dynamic user, beside others' state.
        for d in ("private/cibula", "private/other", "other"):
            (varlib / d).mkdir(parents=True)
            (varlib / d / "kept.txt").touch()
        (varlib / "cibula").symlink_to("private/cibula")
        state = lambda: sorted(str(f.relative_to(varlib)) for f in varlib.rglob("*"))
        kept, purged = state(), ["other", "other/kept.txt", "private", "private/other", "private/other/kept.txt"]
        helper = lambda *verbs: ["deb-systemd-helper %s %s" % (v, UNIT) for v in verbs]
        reload, invoke = "systemctl --system daemon-reload", "deb-systemd-invoke %s " + UNIT
        # script and arguments, systemd running, relay enabled before: its calls, the state after
        for script, systemd, enabled, want, after in (
                (["postinst", "configure"], True, False, helper("debian-installed", "update-state") + [reload], kept),
                (["prerm", "upgrade", "0.1"], True, True, [], kept),
                (["postinst", "configure", "0.1"], True, True, helper("debian-installed", "unmask",
                 "--quiet was-enabled", "enable", "update-state") + [reload, invoke % "try-restart"], kept),
                (["postinst", "configure", "0.1"], False, False, helper("debian-installed", "update-state"), kept),
                (["prerm", "remove"], True, False, [invoke % "stop"], kept),
                (["postrm", "remove"], True, False, [reload] + helper("mask"), kept),
                (["postrm", "purge"], True, False, helper("purge", "unmask"), purged)):
            calls.write_text("")
            env = dict(os.environ, PATH="%s:%s" % (standins, os.environ["PATH"]), CALLS=str(calls), VARLIB=str(varlib),
                       STANDINS=str(standins), ENABLED="yes" * enabled, SYSTEMD="yes" * systemd)
            r = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", NAMESPACE, "sh",
                                os.path.join(CONTROL, script[0]), *script[1:]],
                               env=env, capture_output=True, text=True, timeout=30)
            got = (r.returncode, r.stderr, calls.read_text().splitlines(), state())
            self.assertEqual(got, (0, "", want, after), script)


class Relay(LanCase):
    # A and D run --headless, R runs --relay with its standard input closed.

    @classmethod
    def setUpClass(cls):
        lan.require(need_station=False)
        cls.stations = [cls.net.start_station(h, binary=BIN, args=[mode]) for h, mode in
                        zip(cls.make_lan(3), ("--headless", "--relay", "--headless"))]
        cls.stations[1].close_stdin()

    def test_relays(self):
        a, r, d = self.stations
        for s in self.stations:
            self.assertTrue(s.wait_stations(self.others(s), 15), self.dump())
        # Two relays drawn from {R, D}, never the same twice in a row: R is always one.
        self.assertIn(r.addr, self.deliver(a, d, 2, "cez relay"))
