"""The station in a real window, under Xvfb, beside headless stations.

The windowed station is the real one with a remote control on stdin
(cibula_gui_driver): it types and clicks from inside, as QtTest does, and
reads its panes back.  CIBULA_GUI_DRIVER names it.
"""
import os
import re
import shutil
import subprocess
import time
import unittest

import lan

DOBA = re.compile(r"DOBA PRENOSU: \d+ms\.")


def setUpModule():
    lan.require(also=None if shutil.which("Xvfb") else "no Xvfb")


class WindowDriver(lan.Proc):
    def command(self, line, timeout=10):
        """Runs a remote-control command; the lines it printed before 'end'."""
        since = self.mark()
        self.write(line)
        done = self.wait_record(lambda r: r[1] == "stdout" and r[2] in ("end", "error\t" + line),
                                timeout, since)
        if not done or done[1][2] != "end":
            raise RuntimeError("driver: %s failed\n%s" % (line, self.dump()))
        return [r[2] for r in self.records[since:done[0]] if r[2].startswith("pane\t")]

    def pane(self, n):
        return [l.split("\t", 1)[1] for l in self.command("pane %d" % n)]

    def wait_pane(self, n, pred, timeout=5):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            lines = self.pane(n)
            if pred(lines):
                return lines
            time.sleep(0.1)
        return self.pane(n)


class WindowOnLan(unittest.TestCase):
    def setUp(self):
        display = next(n for n in range(90, 200) if not os.path.exists("/tmp/.X%d-lock" % n))
        self.xvfb = subprocess.Popen(["Xvfb", ":%d" % display, "-nolisten", "tcp", "-screen", "0",
                                      "800x600x24"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.xvfb.wait, 10)
        self.addCleanup(self.xvfb.terminate)
        while not os.path.exists("/tmp/.X11-unix/X%d" % display):
            self.assertIsNone(self.xvfb.poll(), "Xvfb did not start")
            time.sleep(0.05)
        self.net = lan.Lan(3)
        self.addCleanup(self.net.close)
        env = dict(os.environ, DISPLAY=":%d" % display, QT_QPA_PLATFORM="xcb")
        driver = os.environ.get("CIBULA_GUI_DRIVER") or os.path.join(
            os.path.dirname(lan.station_binary()), "..", "tests", "cibula_gui_driver")
        self.gui = self.net._track(WindowDriver(self.net.hosts[0], [driver], env))
        self.relay, self.peer = (self.net.start_station(h) for h in self.net.hosts[1:])
        self.assertTrue(self.gui.wait_record(lambda r: r[2] == "ready", 20), self.gui.dump())

    def test_send_receive_close(self):
        gui, relay, peer = self.gui, self.relay, self.peer
        everyone = {gui.addr, relay.addr, peer.addr}
        for s in (relay, peer):
            self.assertTrue(s.wait_stations(everyone - {s.addr}), s.dump())
        self.assertEqual(set(gui.wait_pane(2, lambda l: len(l) == 2)), {relay.addr, peer.addr})

        # Typed into the window and sent with the button, through the relay:
        # the route is drawn at random, so send until it went through it.
        for attempt in range(8):
            mark = peer.mark()
            text = "Z okna, pokus %d: ďakujem" % attempt
            gui.command("set 1 " + text)
            gui.command("set 2 " + peer.addr)
            gui.command("set 3 1")
            gui.command("press 1")
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

        # One sent to the window shows up in its messages pane.
        peer.send_msg(gui.addr, 0, "Ahoj okno, tu je ľavá stanica.")
        lines = gui.wait_pane(1, lambda l: l and l[0].endswith("ľavá stanica."))
        self.assertEqual(lines[:2], ["%s -> JA : Ahoj okno, tu je ľavá stanica." % peer.addr, ""])

        # Closing the window says BYE.
        gui.write("close")
        self.assertEqual(gui.wait(10), 0, gui.dump())
        for s in (relay, peer):
            self.assertTrue(s.wait_stations(everyone - {s.addr, gui.addr}), s.dump())


if __name__ == "__main__":
    unittest.main()
