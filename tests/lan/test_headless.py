# Real stations (cibula --headless, CIBULA_BIN) on a test LAN.  As root:
# cd tests/lan && PYTHONPATH=../../lanlab /usr/bin/python3 -B -m unittest -v test_headless
import collections
import os
import signal

import lan
import wire as rp
from lancase import FAIL, LanCase

SLOVAK = "Ďakujem, že čítaš: ľúbezné ťava ôsmy ŕ"


def setUpModule():
    lan.require()


class Stations(LanCase):
    # Stations A-E, each with a transcript left from an earlier run; raw peer P.
    # The last test (by name) makes every station leave.

    @classmethod
    def setUpClass(cls):
        hosts = cls.make_lan(5, peer=True)
        for h in hosts:
            with open(os.path.join(h.cwd, h.addr + ".txt"), "w") as f:
                f.write("JA -> 10.213.0.9 : stary\n")
        cls.a, cls.b, cls.c, cls.d, cls.e = cls.start(hosts)
        cls.boot = {s: (s.mark(), s.transcript()) for s in cls.stations}

    def test_discovery(self):
        p, addrs = self.peer, {s.addr for s in self.stations}
        up = max(p.wait_event(15, ev="udp", **{"from": s.addr})["t"] for s in self.stations)
        for s in self.stations:
            raw = bytes.fromhex(p.wait_event(1, ev="udp", **{"from": s.addr})["hex"])
            e = int.from_bytes(raw[5:69], "little")
            self.assertEqual((len(raw), raw[:5], e.bit_length(), rp.is_probable_prime(e)), (134, b"HELLO", 511, True))
            # until all listed all, no list held anything else; the old transcript
            # was emptied, and only its owner may read it
            listed = [t for t, pane, l in s.entries() if pane == "stations" and set(l.split()) == addrs - {s.addr}]
            self.assertLess(listed[0], up + 2, "%s listed all late" % s.addr)
            self.assertLessEqual(set(" ".join(s.lines("stations", until=self.boot[s][0])).split()), addrs - {s.addr})
            self.assertEqual((self.boot[s][1], os.stat(s.transcript_path).st_mode & 0o777), (b"", 0o600), s.addr)

    def test_routes(self):
        a, b, c, d, _ = self.stations
        # sender, recipient, relays, text; a route longer than the others repeats them
        for row in ((a, d, 0, "dlhy text " + "x" * 110), (a, d, 1, SLOVAK),
                    (a, d, 3, "cez troch"), (b, c, 3, ""), (a, d, 12, "dlha trasa " * 9)):
            with self.subTest(route=row[2], text=row[3][:12]):
                self.deliver_route(*row)

    def test_commands_and_unknown_recipient(self):
        a, m = self.a, self.a.mark()
        for line in ("frobnicate", "clear", "send 10.213.0.4", "send 10.213.0.99 0 nikomu",
                     "send 10.213.0.99 2 nikomu", "send 10.213.0.99 0 " + "x" * 5000, "send 10.213.0.99 0 nikomu"):
            a.write(line)
        # the line too long is dropped, and the next one read
        self.expect_lines(a, "messages", m, ["", "Stanica neexistuje."] * 3)
        self.expect_lines(a, "stderr", m, ["cibula: unknown command: frobnicate",
                                           "cibula: usage: send RECIPIENT ROUTE-LENGTH TEXT",
                                           "cibula: input line longer than 4096 bytes dropped"])

    def test_onion_in_pieces_and_text_that_looks_like_output(self):
        p, c, d, md = self.peer, self.c, self.d, self.d.mark()
        p.call("onion", to=d.addr, route=[c.addr], text="po kuskoch", chunks=3, gap=0.4)
        self.expect_incoming(d, p.addr, "po kuskoch", md)
        p.call("onion", to=d.addr, text="riadok\nstations\t10.9.9.9\x7f")
        self.expect_incoming(d, p.addr, "riadok?stations?10.9.9.9?", md)
        self.assertNotIn("10.9.9.9", d.stations())

    def test_bad_connections(self):
        p, a, d, md, mp = self.peer, self.a, self.d, self.d.mark(), self.peer.mark()
        p.call("tcp", to=d.addr, hold=10, tag="idle")
        # while that one is held, more from the same peer: nothing at all (no
        # line); 64 zero bytes; a valid packet padded with zeros to 3000 bytes
        # (too long: not delivered)
        pkt = bytes.fromhex(p.call("onion", to=d.addr, text="pridlhe", send=False)["packet"])
        for data in (b"", bytes(64), pkt + bytes(3000 - len(pkt))):
            p.call("tcp", to=d.addr, hex=data.hex())
        self.deliver(a, d, 0, "po tichom spojeni", timeout=5)  # not held up behind them
        closed = p.wait_event(6, since=mp, ev="tcp_closed", tag="idle")
        self.assertTrue(closed and closed["by"] == "peer" and 2 <= closed["after"] <= 5, closed)
        # the idle one, the zeros and the long one each end in a failure line
        want = {"": 4, FAIL: 3, "%s -> JA : po tichom spojeni" % a.addr: 1}
        self.expect(d, lambda: collections.Counter(d.lines("messages", md)), want, 3, d.addr)
        self.assertEqual(p.events(mp, ev="tcp", kind="ACK"), [])

    def test_peer_joins_is_written_to_and_leaves(self):
        p, before, mp = self.peer, {s: s.stations() for s in self.stations}, self.peer.mark()
        p.call("hello")
        try:
            for s in self.stations:  # the newest stands at the bottom
                self.assertTrue(s.wait_stations(before[s] + [p.addr], 2, ordered=True), self.dump())
            self.b.send_msg(p.addr, 1, SLOVAK)  # the text goes out in cp1250
            ev = p.wait_event(5, since=mp, ev="tcp", kind="MESS")
            self.assertEqual((ev["writer"], bytes.fromhex(ev["text"])), (self.b.addr, SLOVAK.encode("cp1250")))
        finally:
            p.call("bye")
        for s in self.stations:
            self.assertTrue(s.wait_stations(before[s], 3), s.addr)

    def test_ways_of_leaving(self):
        # each way of leaving says BYE, ends with 0 and is forgotten
        ways = (lambda s: s.write("quit"), lambda s: s.kill(signal.SIGTERM), lambda s: s.kill(signal.SIGHUP),
                lambda s: s.close_stdin(), lambda s: s.kill(signal.SIGINT))
        for how, (s, leave) in enumerate(zip(self.stations[::-1], ways)):
            mp = self.peer.mark()
            leave(s)
            self.assertEqual(s.wait(), 0, "way %d%s" % (how, self.dump()))
            self.assertTrue(self.peer.wait_event(2, since=mp, ev="udp", hex=b"BYE".hex(), **{"from": s.addr}), how)
            for t in filter(lambda t: t.running(), self.stations):
                self.assertTrue(t.wait_stations(self.others(t), 2), "%s lists %s%s" % (t.addr, s.addr, self.dump()))
