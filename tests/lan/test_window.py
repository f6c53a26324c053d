# The station in a real window, under Xvfb and openbox, beside headless
# stations: cibula_gui_driver (CIBULA_GUI_DRIVER) types, clicks and reads its
# panes from inside.
import os
import re
import shutil
import subprocess
import time
import unittest

import lan
from lancase import DOBA

TOOLS = ("Xvfb", "openbox", "xprop", "xmessage", "dbus-daemon", "dbus-monitor")


def setUpModule():
    lan.require(also=next(("no " + t for t in TOOLS if not shutil.which(t)), None))


def poll(fn, timeout):
    # fn()'s first true value within `timeout` seconds, else its last one
    end = time.monotonic() + timeout
    while not (value := fn()) and time.monotonic() < end:
        time.sleep(0.1)
    return value


class WindowDriver(lan.Proc):
    def command(self, line):
        # the lines a remote-control command printed before 'end', each without its tag
        since = self.mark()
        self.write(line)
        end, _ = self.wait_record(lambda r: r[1] == "stdout" and r[2] == "end", 10, since)
        return [r[2].split("\t", 1)[1] for r in self.records[since:end] if r[1] == "stdout"]

    def pane(self, n, pred=lambda lines: True):
        # pane n (1 messages, 2 stations, 3 transfers), top first, once pred holds of it
        self.wait_until(lambda: pred(self.command("pane %d" % n)), 5)
        return self.command("pane %d" % n)


class WindowOnLan(unittest.TestCase):
    def setUp(self):
        # Xvfb picks a free display itself: other runs may be choosing at the same time.
        fd_r, fd_w = os.pipe()
        self.display = ""
        self.start_x(["Xvfb", "-displayfd", str(fd_w), "-nolisten", "tcp", "-screen", "0", "800x600x24"], (fd_w,))
        os.close(fd_w)
        with os.fdopen(fd_r) as f:
            self.display = ":" + f.readline().strip()
        wm = self.start_x(["openbox", "--sm-disable"])
        # openbox manages the screen once it names itself on the root window
        managing = poll(lambda: "window id" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK"), 10)
        self.assertTrue(managing and wm.poll() is None, "openbox did not start on display " + self.display)
        self.net = lan.Lan(3)
        self.addCleanup(self.net.close)

    def start_x(self, argv, fds=()):
        # an X program on the test's own display, outside the LAN
        proc = subprocess.Popen(argv, env=dict(os.environ, DISPLAY=self.display), pass_fds=fds,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait, 10)
        self.addCleanup(proc.terminate)
        return proc

    def xprop(self, *args):
        return subprocess.run(["xprop", "-display", self.display, *args], capture_output=True, text=True,
                              timeout=10).stdout

    def start_gui(self, host=None, **env):
        # the windowed station, on the first host unless told; `env` adds to
        # (None: removes from) the environment the stations get
        env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb", **env)
        env = lan.station_env({k: v for k, v in env.items() if v is not None})
        gui = self.net.track(WindowDriver(host or self.net.hosts[0], [os.environ["CIBULA_GUI_DRIVER"]], env))
        self.assertTrue(gui.wait_record(lambda r: r[2] == "ready", 20), gui.dump())
        return gui

    def receive(self, gui, text, shown=None, state="active"):
        # The peer writes to the window (another program's window covering it
        # unless active): shown on top, an empty line under it; whether it asked for attention.
        if state == "inactive":
            self.start_x(["xmessage", "-geometry", "800x600+0+0", "Iné okno"])
        # the X window id once the window is 'active' or 'inactive'
        wid = gui.wait_until(lambda: (s := gui.command("state")[0].split("\t"))[1] == state and s[0], 5)
        self.assertTrue(wid, gui.dump())
        line = "%s -> JA : %s" % (self.peer.addr, shown or text)
        self.peer.send_msg(gui.addr, 0, text)
        self.assertEqual(gui.pane(1, lambda l: l[:1] == [line])[:2], [line, ""])
        # (longer for a request expected: a loaded machine may be slow to show it)
        return poll(lambda: "DEMANDS_ATTENTION" in self.xprop("-id", wid, "_NET_WM_STATE"),
                    5 if state == "inactive" else 2)

    def test_two_windows_and_a_third_that_cannot_listen(self):
        # A private session bus (the daemon as dbus-run-session starts it, but
        # ending with its process), watched; nothing owns the notification service.
        host, quiet_host, peer_host = self.net.hosts
        bus = self.net.start_proc(host, ["dbus-daemon", "--session", "--nofork", "--print-address"])
        address = bus.wait_record(lambda r: r[1] == "stdout", 10)[1][2]
        monitor = self.net.start_proc(host, ["dbus-monitor", "--address", address,
                                             "interface=org.freedesktop.Notifications"])
        self.assertTrue(monitor.wait_record(lambda r: "member=NameLost" in r[2], 10), monitor.dump())
        self.peer = peer = self.net.start_station(peer_host)
        # No session bus at all: nothing to notify through, and nothing said about it
        # (standard error only says where the station is).
        quiet = self.start_gui(quiet_host, DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=quiet_host.cwd)
        gui = self.start_gui(DBUS_SESSION_BUS_ADDRESS=address)
        self.assertTrue(peer.wait_stations({gui.addr, quiet.addr}), peer.dump())
        self.assertEqual(set(gui.pane(2, lambda l: len(l) == 2)), {quiet.addr, peer.addr})
        self.assertFalse(self.receive(gui, "Kým sa pozeráš."))
        mark = peer.mark()
        # A window opened on a host with a station cannot listen: it says so,
        # stays open, and neither announces itself nor says BYE when closed.
        second = self.start_gui(quiet_host, DBUS_SESSION_BUS_ADDRESS=None)
        started = time.monotonic()

        # Typed into the window and sent with the button: delivered, and acknowledged.
        for command in ("set 1 Z okna: ďakujem", "set 2 " + peer.addr, "press 1"):
            gui.command(command)
        self.assertIsNotNone(peer.wait_for_line("messages", "%s -> JA : Z okna: ďakujem" % gui.addr, 5), peer.dump())
        self.assertRegex(gui.pane(1, lambda l: DOBA.fullmatch(l[0]))[0], DOBA)

        # One sent to the covered window asks for attention and is notified.
        self.assertTrue(self.receive(gui, "Kým sa nepozeráš: ďakujem.", state="inactive"))
        # one Notify call; its third and fourth string arguments: summary and body
        calls = lambda: "\n".join(monitor.lines("stdout")).split("member=Notify")[1:]
        monitor.wait_until(lambda: "nepozeráš" in "".join(calls()), 5)
        self.assertEqual([re.findall(r'^ +string "(.*)"$', c, re.M)[2:4] for c in calls()],
                         [["Nová správa od " + peer.addr, "Kým sa nepozeráš: ďakujem."]], monitor.dump())
        # no forged columns or lines
        self.assertTrue(self.receive(quiet, "tab\tDEL\x7f koniec", "tab?DEL? koniec", state="inactive"))
        self.assertEqual(quiet.lines("stderr"), ["cibula: on eth0, " + quiet.addr])

        self.assertEqual(second.pane(1, bool), ["Chyba pri napojeni soketu na rozsah adries. UNICAST"])
        # past its would-be HELLOs at 1 s and 3 s
        time.sleep(max(0.0, started + 3.5 - time.monotonic()))
        self.assertEqual((second.running(), second.pane(2)), (True, []))
        second.write("close")
        self.assertEqual(second.wait(10), 0, second.dump())

        # Closing the window says BYE; the second's BYE would have taken the quiet one.
        gui.write("close")
        self.assertEqual(gui.wait(10), 0, gui.dump())
        self.assertTrue(peer.wait_until(lambda: peer.lines("stations", mark) == [quiet.addr], 5), peer.dump())
