"""End-to-end scenarios: real stations (cibula --headless) on a test LAN.
CIBULA_BIN names the station binary (default: build/app/cibula).  Run as
root, e.g.:
cd tests/lan && PYTHONPATH=../../lanlab /usr/bin/python3 -B -m unittest -v test_headless
"""
import os
import signal
import time
import unittest

import lan
import wire as rp
from lancase import DOBA, FAIL, NO_CONNECT, LanCase

SLOVAK = "Ďakujem, že čítaš: ľúbezné ťava ôsmy ŕ"


def setUpModule():
    lan.require()


class FourStations(LanCase):
    """Stations A-D on hosts 1-4, each with a transcript left from an earlier
    run; a raw peer P on host 5."""

    @classmethod
    def setUpClass(cls):
        hosts = cls.make_lan(4, peer=True)
        for h in hosts:
            with open(os.path.join(h.cwd, h.addr + ".txt"), "w") as f:
                f.write("JA -> 10.213.0.9 : stary\n")
        cls.a, cls.b, cls.c, cls.d = cls.start(hosts)
        cls.boot = {s: (s.mark(), s.transcript()) for s in cls.stations}

    def test_discovery(self):
        p, addrs = self.peer, {s.addr for s in self.stations}
        up = max(p.wait_event(15, ev="udp", **{"from": s.addr})["t"] for s in self.stations)
        for s in self.stations:
            h = p.wait_event(1, ev="udp", **{"from": s.addr})
            raw = bytes.fromhex(h["hex"])
            self.assertEqual((len(raw), raw[:5], raw[-1]), (134, b"HELLO", 0))
            e, n = int.from_bytes(raw[5:69], "little"), int.from_bytes(raw[69:133], "little")
            self.assertGreaterEqual(n, 1 << 510)
            self.assertTrue(e.bit_length() == 511 and rp.is_probable_prime(e), e)  # may exceed n
            self.assertEqual(p.keys()[s.addr], (e, n))
            # until all listed all, no list held anything else; the old transcript
            # was emptied, and only its owner may read it
            mark, transcript = self.boot[s]
            self.assertEqual(os.stat(s.transcript_path).st_mode & 0o777, 0o600, s.addr)
            listed = [t for t, pane, l in s.entries() if pane == "stations" and set(l.split()) == addrs - {s.addr}]
            self.assertLess(listed[0], up + 2, "%s listed all late" % s.addr)
            self.assertLessEqual(set(" ".join(s.lines("stations", until=mark)).split()), addrs - {s.addr})
            self.assertEqual(transcript, b"", "transcript of %s not emptied at start" % s.addr)

    def test_routes(self):
        self.assertEqual(self.deliver(self.a, self.d, 0, "priamo"), [])
        self.deliver(self.a, self.d, 0, "dlhy text " + "x" * 110)  # cut to 99
        self.deliver_route(self.a, self.d, 1, "cez jedneho")
        self.deliver_route(self.a, self.d, 3, "cez troch")
        self.deliver_route(self.b, self.c, 3, "")

    def test_commands_and_unknown_recipient(self):
        a, m = self.a, self.a.mark()
        for cmd in ("frobnicate", "clear", "send 10.213.0.4"):
            a.send(cmd)
        a.send_msg("10.213.0.99", 0, "nikomu")
        self.expect_lines(a, "messages", m, ["", "Stanica neexistuje."])
        a.send_msg("10.213.0.99", 2, "nikomu")
        self.expect_lines(a, "messages", m, ["", "Stanica neexistuje."] * 2)
        a.write("send 10.213.0.99 0 " + "x" * 5000)  # too long: dropped, the next line is read
        a.send_msg("10.213.0.99", 0, "nikomu")
        self.expect_lines(a, "messages", m, ["", "Stanica neexistuje."] * 3)
        time.sleep(0.3)
        self.assertEqual(a.lines("stderr", m)[2:], ["cibula: input line longer than 4096 bytes dropped"])
        self.assertEqual(len(a.lines("stderr", m)), 3, a.lines("stderr", m))

    def test_onion_in_pieces_and_text_that_looks_like_output(self):
        p, c, d = self.peer, self.c, self.d
        m, mp = {s: s.mark() for s in (c, d)}, p.mark()
        p.call("onion", to=d.addr, route=[c.addr], text="po kuskoch", chunks=3, gap=0.4)
        self.expect_incoming(d, p.addr, "po kuskoch", m[d])
        self.expect_line(c, "transfers", "PRENOS: %s -> %s -> %s" % (p.addr, c.addr, d.addr), m[c])
        self.assertTrue(p.wait_event(3, since=mp, ev="tcp", kind="ACK", **{"from": d.addr}))
        p.call("onion", to=d.addr, text="riadok\nstations\t10.9.9.9\x7f")
        self.expect_incoming(d, p.addr, "riadok?stations?10.9.9.9?", m[d])
        self.assertNotIn("10.9.9.9", d.stations())

    def test_bad_connections(self):
        p, a, b, d = self.peer, self.a, self.b, self.d
        md, mp = d.mark(), p.mark()
        p.call("tcp", to=d.addr, hold=10, tag="idle")
        t0 = time.monotonic()
        self.deliver(a, d, 0, "po tichom spojeni")  # not held up behind it
        self.assertLess(time.monotonic() - t0, 5.5)
        self.expect_line(d, "messages", FAIL, md)
        closed = p.wait_event(6, since=mp, ev="tcp_closed", tag="idle")
        self.assertTrue(closed and closed["by"] == "peer" and 2 <= closed["after"] <= 5, closed)
        # 64 zero bytes; a valid packet padded with zeros to 3000 bytes (too
        # long: not delivered); a connection closed at once (nothing at all)
        pkt = bytes.fromhex(p.call("onion", to=b.addr, text="pridlhe", send=False)["packet"])
        mb = b.mark()
        for data in (b"", bytes(64), pkt + bytes(3000 - len(pkt))):
            p.call("tcp", to=b.addr, hex=data.hex())
        self.expect_lines(b, "messages", mb, ["", FAIL] * 2)
        self.assertEqual(p.events(mp, ev="tcp", kind="ACK"), [])
        self.deliver(b, a, 0, "stale tu")

    def test_peer_joins_repeats_itself_and_leaves(self):
        a, b, d, p = self.a, self.b, self.d, self.peer
        self.deliver(a, d, 1, SLOVAK)
        before, mp = {s: s.stations() for s in self.stations}, p.mark()
        p.call("hello")
        try:
            for s in self.stations:
                # the newest stands at the bottom of the pane
                self.assertTrue(s.wait_stations(before[s] + [p.addr], 2, ordered=True), self.dump())
                w = p.wait_event(3, since=mp, ev="tcp", kind="WELCOME", **{"from": s.addr})
                raw = bytes.fromhex(w["hex"])
                self.assertEqual((len(raw), raw[-1]), (136, 0))
                self.assertEqual(p.keys()[s.addr], (int.from_bytes(raw[7:71], "little"),
                                                    int.from_bytes(raw[71:135], "little")))
            # the same HELLO again costs nothing: no WELCOME, no redraw, no line
            marks, mp = {s: s.mark() for s in self.stations}, p.mark()
            p.call("hello")
            time.sleep(1.5)
            self.assertEqual(p.events(mp, ev="tcp"), [])
            for s in self.stations:
                self.assertEqual(s.lines("stations", marks[s]) + s.lines("messages", marks[s]), [], s.addr)
            for sender, route in ((a, 0), (b, 1)):
                m, mp = sender.mark(), p.mark()
                sender.send_msg(p.addr, route, SLOVAK)
                ev = p.wait_event(5, since=mp, ev="tcp", kind="MESS")
                self.assertEqual((ev["writer"], bytes.fromhex(ev["text"])), (sender.addr, SLOVAK.encode("cp1250")))
                self.expect_line(sender, "messages", "JA -> %s : %s" % (p.addr, SLOVAK), m)
                self.expect_line(sender, "messages", DOBA, m)
        finally:
            p.call("bye")
        for s in self.stations:
            self.assertTrue(s.wait_stations(before[s], 3), s.addr)


class Leaving(LanCase):
    """Stations A-E leave by quit, SIGTERM, SIGHUP, end of input and SIGINT; raw peer P."""
    n, with_peer = 5, True

    def test_quit_then_alone(self):
        a, b, c, d, e = self.stations
        p = self.peer
        ways = (("quit", lambda s: s.quit()), ("SIGTERM", lambda s: s.kill(signal.SIGTERM) or s.wait()),
                ("SIGHUP", lambda s: s.kill(signal.SIGHUP) or s.wait()),
                ("end of input", lambda s: s.close_stdin() or s.wait()),
                ("SIGINT", lambda s: s.kill(signal.SIGINT) or s.wait()))
        for s, (how, leave) in zip((e, d, c, b, a), ways):
            if s is a:  # alone: a route finds nobody, a recipient is unknown
                m = a.mark()
                a.send_msg(b.addr, 1, "nikto")
                a.send_msg(b.addr, 0, "nikto")
                self.expect_lines(a, "messages", m, ["", "Nie su dostupne ziadne stanice"] +
                                  ["", "Stanica neexistuje."] * 2)
            mp = p.mark()
            self.assertEqual(leave(s), 0, "%s after %s%s" % (s.addr, how, self.dump()))
            self.assertTrue(p.wait_event(2, since=mp, ev="udp", hex=b"BYE".hex(), **{"from": s.addr}), how)
            for t in filter(lambda t: t.running(), self.stations):
                self.assertTrue(t.wait_stations(self.others(t), 2), "%s lists %s%s" % (t.addr, s.addr, self.dump()))


class SmallMtu(LanCase):
    """MTU 576 on every link: longer routes need several TCP segments."""
    lan_kw = {"mtu": 576}

    def test_routes(self):
        out = self.net.hosts[0].run("ip", "link", "show", "eth0", capture_output=True, text=True).stdout
        self.assertIn("mtu 576", out)
        a, d = self.stations[0], self.stations[3]
        self.deliver_route(a, d, 3, "cez troch pri malom MTU")
        self.assertGreaterEqual(len(self.deliver(a, d, 12, "dlha trasa " * 9)), 11)


if __name__ == "__main__":
    unittest.main()
