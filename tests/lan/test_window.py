"""The station in a real window, under Xvfb and openbox, beside headless stations:
cibula_gui_driver (CIBULA_GUI_DRIVER), which types, clicks and reads its panes from inside."""
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

import lan
from rawpeer import RawPeer

DOBA = re.compile(r"DOBA PRENOSU: \d+ms\.")
TOOLS = ("Xvfb", "openbox", "xprop", "xmessage", "dbus-daemon", "dbus-monitor")


def setUpModule():
    lan.require(also=next(("no " + t for t in TOOLS if not shutil.which(t)), None))


def poll(fn, timeout):
    """fn()'s first true value within `timeout` seconds, else its last one."""
    end = time.monotonic() + timeout
    while not (value := fn()) and time.monotonic() < end:
        time.sleep(0.1)
    return value


class WindowDriver(lan.Proc):
    def command(self, line, timeout=10):
        """Runs a remote-control command; the lines it printed before 'end'."""
        since = self.mark()
        self.write(line)
        done = self.wait_record(lambda r: r[1] == "stdout" and r[2] in ("end", "error\t" + line),
                                timeout, since)
        if not done or done[1][2] != "end":
            raise RuntimeError("driver: %s failed\n%s" % (line, self.dump()))
        return [r[2] for r in self.records[since:done[0]] if r[1] == "stdout"]

    def pane(self, n):
        return [l.split("\t", 1)[1] for l in self.command("pane %d" % n)]

    def wait_pane(self, n, pred, timeout=5):
        poll(lambda: pred(self.pane(n)), timeout)
        return self.pane(n)

    def wait_state(self, want, timeout=5):
        """Waits until the window is 'active' or 'inactive'; its X window id, or None."""
        state = poll(lambda: (s := self.command("state")[0].split("\t"))[2] == want and s, timeout)
        return state[1] if state else None


class WindowOnLan(unittest.TestCase):
    def setUp(self):
        # Xvfb picks a free display itself: other runs may be choosing at the same time.
        fd_r, fd_w = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(fd_w), "-nolisten", "tcp", "-screen", "0",
                                      "800x600x24"], pass_fds=(fd_w,),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(fd_w)
        self.addCleanup(self.xvfb.wait, 10)
        self.addCleanup(self.xvfb.terminate)
        with os.fdopen(fd_r) as f:
            number = f.readline().strip()
        self.assertTrue(number.isdigit(), "Xvfb did not start")
        self.display = ":" + number
        wm = subprocess.Popen(["openbox", "--sm-disable"], env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(wm.wait, 10)
        self.addCleanup(wm.terminate)
        # Manages the screen once it names itself on the root window.
        managing = poll(lambda: "window id" in self.xprop("-root", "_NET_SUPPORTING_WM_CHECK"), 10)
        self.assertTrue(managing and wm.poll() is None, "openbox did not start")
        self.net = lan.Lan(3)
        self.addCleanup(self.net.close)
        self.relay, self.peer = (self.net.start_station(h) for h in self.net.hosts[1:])

    def xprop(self, *args):
        return subprocess.run(["xprop", "-display", self.display, *args],
                              capture_output=True, text=True, timeout=10).stdout

    def attention(self, wid, timeout=2):
        """Whether the window asks for attention (the window manager sets it
        on the window's request) within `timeout` seconds."""
        return poll(lambda: "_NET_WM_STATE_DEMANDS_ATTENTION" in self.xprop("-id", wid, "_NET_WM_STATE"),
                    timeout)

    def cover(self):
        """Another program's window comes up over the station's and takes the focus."""
        other = subprocess.Popen(["xmessage", "-display", self.display, "-geometry", "800x600+0+0",
                                  "Iné okno"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(other.wait, 10)
        self.addCleanup(other.terminate)

    def start_gui(self, host=None, **env):
        """The windowed station (on the first host unless told); `env` adds to
        (None: removes from) the environment."""
        env = dict(os.environ, DISPLAY=self.display, QT_QPA_PLATFORM="xcb", **env)
        # with the sanitizer options the stations get (leaks inside libdbus are not ours)
        env = lan.station_env({k: v for k, v in env.items() if v is not None})
        gui = self.net.track(WindowDriver(host or self.net.hosts[0], [os.environ["CIBULA_GUI_DRIVER"]], env))
        self.assertTrue(gui.wait_record(lambda r: r[2] == "ready", 20), gui.dump())
        return gui

    def receive(self, gui, text, shown=None):
        """The peer writes to the window straight; the window shows it (as
        `shown`, when given) on top."""
        line = "%s -> JA : %s" % (self.peer.addr, text if shown is None else shown)
        self.peer.send_msg(gui.addr, 0, text)
        self.assertEqual(gui.wait_pane(1, lambda l: l and l[0] == line)[0], line)

    def test_send_receive_close(self):
        # No session bus at all: nothing to notify through, and nothing said about it.
        runtime = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, runtime, True)
        gui = self.start_gui(DBUS_SESSION_BUS_ADDRESS=None, XDG_RUNTIME_DIR=runtime)
        relay, peer = self.relay, self.peer
        everyone = {gui.addr, relay.addr, peer.addr}
        for s in (relay, peer):
            self.assertTrue(s.wait_stations(everyone - {s.addr}), s.dump())
        self.assertEqual(set(gui.wait_pane(2, lambda l: len(l) == 2)), {relay.addr, peer.addr})

        # Typed into the window and sent with the button, through the relay:
        # the route is drawn at random, so send until it went through it.
        for attempt in range(8):
            mark = peer.mark()
            text = "Z okna, pokus %d: ďakujem" % attempt
            for command in ("set 1 " + text, "set 2 " + peer.addr, "set 3 1", "press 1"):
                gui.command(command)
            self.assertIsNotNone(peer.wait_for_line("messages", "%s -> JA : %s" % (gui.addr, text),
                                                    5, mark), peer.dump())
            top = gui.wait_pane(1, lambda l: l and DOBA.fullmatch(l[0]))
            self.assertRegex(top[0], DOBA)
            if top[1:4] == ["JA -> %s : %s" % (peer.addr, text), "VYGENEROVANA TRASA:", relay.addr]:
                break
        else:
            self.fail("no route went through the relay in 8 draws")
        self.assertEqual(relay.lines("transfers")[-1],
                         "PRENOS: %s -> %s -> %s" % (gui.addr, relay.addr, peer.addr))

        # One sent to the covered window shows up in its messages pane and
        # asks for attention.
        self.cover()
        wid = gui.wait_state("inactive")
        self.assertIsNotNone(wid, gui.dump())
        self.receive(gui, "Ahoj okno, tu je ľavá stanica.")
        self.assertEqual(gui.pane(1)[1], "")
        self.assertTrue(self.attention(wid))
        self.receive(gui, "tab\tDEL\x7f koniec", "tab?DEL? koniec")  # no forged columns or lines
        self.assertEqual(gui.lines("stderr"), [])

        # Closing the window says BYE.
        gui.write("close")
        self.assertEqual(gui.wait(10), 0, gui.dump())
        for s in (relay, peer):
            self.assertTrue(s.wait_stations(everyone - {s.addr, gui.addr}), s.dump())

    def test_second_station_stays_out(self):
        # A window opened on the relay's host cannot listen: it says so, stays
        # open, and neither announces itself nor says BYE when closed.
        relay, peer = self.relay, self.peer
        self.assertTrue(peer.wait_stations({relay.addr}), peer.dump())
        mark = peer.mark()
        gui = self.start_gui(self.net.hosts[1], DBUS_SESSION_BUS_ADDRESS=None)
        self.assertEqual(gui.wait_pane(1, lambda l: l),
                         ["Chyba pri napojeni soketu na rozsah adries. UNICAST"])
        time.sleep(5)  # past its would-be HELLOs at 1 s and 4 s
        self.assertTrue(gui.running())
        self.assertEqual(gui.pane(2), [])
        gui.write("close")
        self.assertEqual(gui.wait(10), 0, gui.dump())
        time.sleep(0.5)
        self.assertEqual(peer.lines("stations", mark), [], peer.dump())
        self.assertEqual(peer.stations(), [relay.addr])

    def test_typing_while_connections_are_held(self):
        # Connections that send nothing end at their deadline; meanwhile the
        # window takes what is typed.
        holder = RawPeer.launch(self.net)
        gui = self.start_gui(DBUS_SESSION_BUS_ADDRESS="disabled:")
        held = holder.start("conns", to=gui.addr, mode="silent", count=10, limit=10)
        time.sleep(0.3)
        t0 = time.monotonic()
        gui.command("set 1 Píšem, kým ma držia.")
        self.assertLessEqual(time.monotonic() - t0, 1.0)
        self.assertEqual({c[2] for c in holder.result(held, 20)["conns"]}, {"eof"})
        self.assertEqual(gui.wait_pane(1, lambda l: len(l) == 20), ["Prijem dat zlyhal.", ""] * 10)

    def test_attention_only_while_inactive(self):
        # A private session bus (the daemon as dbus-run-session starts it, but
        # ending with its process), watched; nothing owns the notification service.
        host = self.net.hosts[0]
        bus = self.net.track(lan.Proc(host, ["dbus-daemon", "--session", "--nofork", "--print-address"]))
        self.assertTrue(bus.wait_record(lambda r: r[1] == "stdout", 10), bus.dump())
        address = bus.lines("stdout")[0]
        monitor = self.net.track(lan.Proc(host, ["dbus-monitor", "--address", address,
                                                  "interface=org.freedesktop.Notifications"]))
        self.assertTrue(monitor.wait_record(lambda r: "member=NameLost" in r[2], 10), monitor.dump())
        gui = self.start_gui(DBUS_SESSION_BUS_ADDRESS=address)
        self.assertTrue(self.peer.wait_stations({gui.addr, self.relay.addr}), self.peer.dump())

        wid = gui.wait_state("active")
        self.assertIsNotNone(wid, gui.dump())
        self.receive(gui, "Kým sa pozeráš.")
        self.assertFalse(self.attention(wid))

        self.cover()
        self.assertIsNotNone(gui.wait_state("inactive"), gui.dump())
        self.receive(gui, "Kým sa nepozeráš: ďakujem.")
        self.assertTrue(self.attention(wid))
        notes = monitor.wait_until(lambda: notifications(monitor.lines("stdout")), 5)
        self.assertEqual(notes, [("Nová správa od " + self.peer.addr, "Kým sa nepozeráš: ďakujem.")])


def notifications(monitor):
    """(summary, body) of every Notify call in dbus-monitor's lines: the third
    and fourth string of its arguments, the lines indented under it."""
    calls = "\n".join(monitor).split("member=Notify")[1:]
    args = [re.findall(r'^ +string "(.*)"$', re.match(r".*((?:\n .*)*)", c).group(1), re.M) for c in calls]
    return [(a[2], a[3]) for a in args if len(a) >= 4]


if __name__ == "__main__":
    unittest.main()
