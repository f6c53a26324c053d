"""End-to-end scenarios: real stations (cibula --headless) on a test LAN.

CIBULA_BIN names the station binary (default: build/app/cibula).  Run as
root:  cd tests/lan && PYTHONPATH=../../lanlab /usr/bin/python3 -B -m unittest -v test_headless
"""
import collections
import os
import re
import signal
import time
import unittest

import lan
import rawpeer as rp

SLOVAK = "Ďakujem, že čítaš: ľúbezné ťava ôsmy ŕ"
FAIL = ["", "Prijem dat zlyhal."]
DOBA = re.compile(r"DOBA PRENOSU: (\d+)ms\.")


def setUpModule():
    lan.require()


class LanCase(unittest.TestCase):
    net = None
    stations = ()

    @classmethod
    def make_lan(cls, n, **kw):
        cls.net = lan.Lan(n, **kw)
        cls.addClassCleanup(cls.net.close)

    def dump(self):
        return "\n" + "\n".join("--- %s\n%s" % (s.addr, s.dump()) for s in self.net.procs)

    def expect_lines(self, st, pane, since, expected, timeout=5):
        """The lines of `pane` from `since` on become exactly `expected`."""
        st.wait_until(lambda: st.lines(pane, since) == expected, timeout)
        self.assertEqual(st.lines(pane, since), expected, "%s %s%s" % (st.addr, pane, self.dump()))

    def expect_line(self, st, pane, pattern, since=0, timeout=5):
        i = st.wait_for_line(pane, pattern, timeout, since)
        self.assertIsNotNone(i, "%s: no %s line %r%s" % (st.addr, pane, pattern, self.dump()))
        return i

    def expect_incoming(self, st, sender, text, since, timeout=5):
        """st shows an empty line, then 'sender -> JA : text'."""
        line = "%s -> JA : %s" % (sender, text)
        self.expect_line(st, "messages", line, since, timeout)
        got = st.lines("messages", since)
        self.assertEqual(got[got.index(line) - 1:got.index(line)], [""], "%s: %r" % (st.addr, got))

    def deliver(self, a, r, route_len, text, timeout=10):
        """Sends text from a to r and checks what every station shows and a's
        transcript.  Returns the relays H1..Hk of the drawn route."""
        marks = {s: s.mark() for s in self.stations}
        before = a.transcript()
        self.assertIsNotNone(before, "no transcript " + a.transcript_path)
        shown = text[:99]
        t0 = time.monotonic()
        a.send_msg(r.addr, route_len, text)
        self.expect_incoming(r, a.addr, shown, marks[r], timeout)
        i = self.expect_line(a, "messages", DOBA, marks[a])
        elapsed_ms = (a.records[i][0] - t0) * 1000
        got = a.lines("messages", marks[a])
        relays = a.route(marks[a], r.addr, shown)
        self.assertIsNotNone(relays, self.dump())
        back = relays[::-1]  # as printed: nearest the recipient first
        self.assertEqual(got, ["", r.addr, *back, "VYGENEROVANA TRASA:",
                               "JA -> %s : %s" % (r.addr, shown), got[-1]], self.dump())
        ms = int(DOBA.fullmatch(got[-1]).group(1))
        self.assertLessEqual(ms, elapsed_ms + 5)
        others = {s.addr for s in self.stations if s is not a and s.running()}
        self.assertLessEqual(set(relays), others)
        self.assertIn(len(relays), {route_len, route_len - 1} if route_len > 0 else {0})
        hops = [a.addr] + relays + [r.addr]
        self.assertTrue(all(x != y for x, y in zip(hops[1:], hops[2:])), hops)
        # every relay shows one PRENOS line per visit, chaining a to r
        want = collections.defaultdict(collections.Counter)
        for i in range(1, len(hops) - 1):
            want[hops[i]]["PRENOS: %s -> %s -> %s" % tuple(hops[i - 1:i + 2])] += 1
        for s in self.stations:
            seen = lambda: collections.Counter(s.lines("transfers", marks[s]))
            s.wait_until(lambda: seen() == want[s.addr], 3)
            self.assertEqual(seen(), want[s.addr], "%s transfers, route %s%s" % (s.addr, hops, self.dump()))
        record = "JA -> %s : %s\nVYGENEROVANA TRASA:\n%s\n" % (r.addr, shown, "\n".join([r.addr] + back))
        record += got[-1] + "\n\n"
        tails = {before + record.encode(enc) for enc in ("utf-8", "cp1250")}
        a.wait_until(lambda: a.transcript() in tails, 2)
        self.assertIn(a.transcript(), tails, "transcript of %s" % a.addr)
        return relays

    def deliver_route(self, a, r, route_len, text, tries=8):
        """deliver() until the route has route_len relays (the last relay drawn
        may be the recipient, which shortens the route by one)."""
        for _ in range(tries):
            relays = self.deliver(a, r, route_len, text)
            if len(relays) == route_len:
                return relays
        self.fail("%d routes of length %d all came out shorter" % (tries, route_len))


class FourStations(LanCase):
    """Stations A, B, C, D on hosts 1-4; a raw peer P on host 5 that listens
    from the start, so it knows every station's key without being listed."""

    @classmethod
    def setUpClass(cls):
        cls.make_lan(5)
        cls.peer = cls.net.start_rawpeer(cls.net.hosts[4])
        for h in cls.net.hosts[:4]:  # a transcript left from an earlier run
            with open(os.path.join(h.cwd, h.addr + ".txt"), "w") as f:
                f.write("JA -> 10.213.0.9 : stary\n")
        cls.stations = cls.net.start_stations(cls.net.hosts[:4])
        cls.a, cls.b, cls.c, cls.d = cls.stations
        for s in cls.stations:
            if not s.wait_stations({t.addr for t in cls.stations if t is not s}, 15):
                break

    def test_01_discovery(self):
        p, addrs = self.peer, {s.addr for s in self.stations}
        hellos = [p.wait_event(15, ev="udp", **{"from": s.addr}) for s in self.stations]
        self.assertTrue(all(hellos), self.dump())
        for h in hellos:
            raw = bytes.fromhex(h["hex"])
            self.assertEqual((len(raw), raw[:5], raw[-1]), (134, b"HELLO", 0))
            e, n = int.from_bytes(raw[5:69], "little"), int.from_bytes(raw[69:133], "little")
            self.assertGreaterEqual(n, 1 << 510)
            self.assertTrue(e.bit_length() == 511 and rp.is_probable_prime(e), e)  # may exceed n
            self.assertEqual(p.keys()[h["from"]], (e, n))
        up = max(h["t"] for h in hellos)  # the last station to come up
        for s in self.stations:
            s.wait_stations(addrs - {s.addr}, up + 2 - time.monotonic())
            self.assertEqual(set(s.stations()), addrs - {s.addr}, "%s%s" % (s.addr, self.dump()))
            listed = set().union(*(set(l.split()) for l in s.lines("stations")))
            self.assertLessEqual(listed, addrs - {s.addr}, s.addr)
            self.assertEqual(s.transcript(), b"", "transcript of %s not emptied at start" % s.addr)

    def test_02_routes_0_1_3(self):
        self.assertEqual(self.deliver(self.a, self.d, 0, "priamo"), [])
        self.deliver(self.a, self.d, 0, "dlhy text " + "x" * 110)  # cut to 99
        self.deliver_route(self.a, self.d, 1, "cez jedneho")
        self.deliver_route(self.a, self.d, 3, "cez troch")
        self.deliver_route(self.b, self.c, 3, "")

    def test_03_commands_and_unknown_recipient(self):
        a = self.a
        m = a.mark()
        for cmd in ("frobnicate", "clear", "send 10.213.0.4"):
            a.send(cmd)
        a.send_msg("10.213.0.99", 0, "nikomu")
        self.expect_lines(a, "messages", m, ["", "Stanica neexistuje."])
        a.send_msg("10.213.0.99", 2, "nikomu")
        self.expect_lines(a, "messages", m, ["", "Stanica neexistuje."] * 2)
        time.sleep(0.3)
        self.assertEqual(len(a.lines("stderr", m)), 2, a.lines("stderr", m))

    def test_04_inner_layer_ending_in_zero(self):
        p, b, d = self.peer, self.b, self.d
        m = {s: s.mark() for s in (b, d)}
        mp = p.mark()
        sent = p.call("onion", to=d.addr, route=[b.addr], text="nula na konci ", zero_tail=True)
        self.assertEqual(bytes.fromhex(sent["inner"])[-1], 0)
        self.expect_incoming(d, p.addr, bytes.fromhex(sent["text"]).decode("cp1250"), m[d])
        self.expect_line(b, "transfers", "PRENOS: %s -> %s -> %s" % (p.addr, b.addr, d.addr), m[b])
        self.assertTrue(p.wait_event(3, since=mp, ev="tcp", kind="ACK", hex=b"ACK".hex(), **{"from": d.addr}))

    def test_04b_text_cannot_forge_output_lines(self):
        p, d = self.peer, self.d
        md = d.mark()
        p.call("onion", to=d.addr, text="riadok\nstations\t10.9.9.9\x7f")
        self.expect_incoming(d, p.addr, "riadok?stations?10.9.9.9?", md)
        self.assertNotIn("10.9.9.9", d.stations())

    def test_05_packet_in_pieces(self):
        p, c, d = self.peer, self.c, self.d
        m = {s: s.mark() for s in (c, d)}
        mp = p.mark()
        p.call("onion", to=d.addr, route=[c.addr], text="po kuskoch", chunks=3, gap=0.4)
        self.expect_incoming(d, p.addr, "po kuskoch", m[d])
        self.expect_line(c, "transfers", "PRENOS: %s -> %s -> %s" % (p.addr, c.addr, d.addr), m[c])
        self.assertTrue(p.wait_event(3, since=mp, ev="tcp", kind="ACK", **{"from": d.addr}))

    def test_06_silent_connection(self):
        p, a, d = self.peer, self.a, self.d
        md, mp = d.mark(), p.mark()
        p.call("tcp", to=d.addr, hold=10, tag="idle")
        t0, ma = time.monotonic(), a.mark()
        a.send_msg(d.addr, 0, "po tichom spojeni")
        self.expect_incoming(d, a.addr, "po tichom spojeni", md, timeout=5)
        self.assertLess(time.monotonic() - t0, 5.5)
        self.expect_line(a, "messages", DOBA, ma)
        self.expect_line(d, "messages", FAIL[1], md)
        closed = p.wait_event(6, since=mp, ev="tcp_closed", tag="idle")
        self.assertTrue(closed and closed["by"] == "peer" and 2 <= closed["after"] <= 5, closed)

    def test_07_garbage(self):
        p, marks = self.peer, {s: s.mark() for s in self.stations}
        mp = p.mark()
        for s in self.stations:
            p.call("tcp", to=s.addr, hex=bytes(64).hex())
        for s in self.stations:
            self.expect_lines(s, "messages", marks[s], FAIL)
        # a valid packet for B followed by zero bytes to 3000: too long, not delivered
        b, c = self.b, self.c
        mb = b.mark()
        pkt = bytes.fromhex(p.call("onion", to=b.addr, text="pridlhe", send=False)["packet"])
        p.call("tcp", to=b.addr, hex=(pkt + bytes(3000 - len(pkt))).hex())
        self.expect_lines(b, "messages", mb, FAIL)
        p.call("tcp", to=c.addr)  # connects and closes at once
        ring = self.stations[1:] + self.stations[:1]
        for s, t in zip(self.stations, ring):
            m, ms = t.mark(), s.mark()
            s.send_msg(t.addr, 0, "stale tu")
            self.expect_incoming(t, s.addr, "stale tu", m)
            self.expect_line(s, "messages", DOBA, ms)
        self.assertTrue(all(s.running() for s in self.stations))
        self.assertNotIn("%s -> JA : pridlhe" % p.addr, b.lines("messages"))
        self.assertEqual(p.events(mp, ev="tcp", kind="ACK"), [])

    def test_08_newest_at_the_bottom(self):
        # The pane is refilled from the list's front (newest) inserting each at
        # the top, so the station heard first stands on top.
        p, before = self.peer, {s: s.stations() for s in self.stations}
        p.call("hello")
        try:
            for s in self.stations:
                self.assertTrue(s.wait_stations(before[s] + [p.addr], 2), self.dump())
                self.assertEqual(s.stations(), before[s] + [p.addr], s.addr)
        finally:
            p.call("bye")
            for s in self.stations:
                s.wait_stations(before[s], 3)

    def test_09_slovak_text(self):
        a, b, d, p = self.a, self.b, self.d, self.peer
        self.deliver(a, d, 1, SLOVAK)
        before = {s: s.stations() for s in self.stations}
        mp = p.mark()
        p.call("hello")
        for s in self.stations:
            self.assertTrue(s.wait_stations(before[s] + [p.addr], 2), self.dump())
            w = p.wait_event(3, since=mp, ev="tcp", kind="WELCOME", **{"from": s.addr})
            self.assertTrue(w, s.addr)
            raw = bytes.fromhex(w["hex"])
            self.assertEqual((len(raw), raw[-1]), (136, 0))
            self.assertEqual(p.keys()[s.addr], (int.from_bytes(raw[7:71], "little"),
                                                int.from_bytes(raw[71:135], "little")))
        try:
            for sender, route in ((a, 0), (b, 1)):
                m, mp = sender.mark(), p.mark()
                sender.send_msg(p.addr, route, SLOVAK)
                ev = p.wait_event(5, since=mp, ev="tcp", kind="MESS")
                self.assertTrue(ev, self.dump())
                self.assertEqual(ev["writer"], sender.addr)
                self.assertEqual(bytes.fromhex(ev["text"]), SLOVAK.encode("cp1250"))
                self.expect_line(sender, "messages", "JA -> %s : %s" % (p.addr, SLOVAK), m)
                self.expect_line(sender, "messages", DOBA, m)
        finally:
            p.call("bye")
            for s in self.stations:
                s.wait_stations(before[s], 3)
        for s in self.stations:
            self.assertEqual(set(s.stations()), set(before[s]), s.addr)

    def test_10_quit_then_alone(self):
        a, b, c, d, p = *self.stations, self.peer
        for s, how in ((d, "quit"), (c, "sigterm"), (b, "eof")):
            mp = p.mark()
            if how == "quit":
                code = s.quit()
            elif how == "sigterm":
                s.kill(signal.SIGTERM)
                code = s.wait()
            else:
                s.popen.stdin.close()
                code = s.wait()
            self.assertEqual(code, 0, "%s after %s%s" % (s.addr, how, self.dump()))
            self.assertTrue(p.wait_event(2, since=mp, ev="udp", hex=b"BYE".hex(), **{"from": s.addr}), how)
            left = [t for t in self.stations if t.running()]
            for t in left:
                self.assertTrue(t.wait_stations({u.addr for u in left if u is not t}, 2),
                                "%s still lists %s%s" % (t.addr, s.addr, self.dump()))
        m = a.mark()
        a.send_msg(b.addr, 1, "nikto")
        self.expect_lines(a, "messages", m, ["", "Nie su dostupne ziadne stanice", "", "Stanica neexistuje."])
        a.send_msg(b.addr, 0, "nikto")
        self.expect_lines(a, "messages", m, ["", "Nie su dostupne ziadne stanice"] + ["", "Stanica neexistuje."] * 2)
        mp = p.mark()
        a.kill(signal.SIGINT)
        self.assertEqual(a.wait(), 0)
        self.assertTrue(p.wait_event(2, since=mp, ev="udp", hex=b"BYE".hex(), **{"from": a.addr}))


class SmallMtu(LanCase):
    """MTU 576 on every link: longer routes need several TCP segments."""

    @classmethod
    def setUpClass(cls):
        cls.make_lan(4, mtu=576)
        cls.stations = cls.net.start_stations()

    def test_routes(self):
        out = self.net.hosts[0].run("ip", "link", "show", "eth0", capture_output=True, text=True).stdout
        self.assertIn("mtu 576", out)
        a, b, c, d = self.stations
        for s in self.stations:
            self.assertTrue(s.wait_stations({t.addr for t in self.stations if t is not s}, 15), self.dump())
        self.deliver_route(a, d, 3, "cez troch pri malom MTU")
        self.assertGreaterEqual(len(self.deliver(a, d, 12, "dlha trasa " * 9)), 11)


class Links(LanCase):
    """A /23: A and B at .0.1 and .0.2, C at .1.0 (a host address there),
    whose link is down when its station starts."""

    @classmethod
    def setUpClass(cls):
        cls.make_lan(2, prefix=23)
        cls.net.add_host(addr=lan.SUBNET.rsplit(".", 1)[0] + ".1.0", plugged=False)
        cls.stations = cls.net.start_stations()

    def test_unplug_and_plug(self):
        a, b, c = self.stations
        self.assertTrue(a.wait_stations({b.addr}, 15) and b.wait_stations({a.addr}, 5), self.dump())
        time.sleep(0.5)
        self.assertFalse(c.stations(), "an unplugged station heard someone" + self.dump())
        self.assertNotIn(c.addr, a.stations() + b.stations(), "an unplugged station was heard")
        c.host.plug()
        c.quit()
        c = self.net.start_station(c.host)
        self.stations = [a, b, c]
        for s in self.stations:
            self.assertTrue(s.wait_stations({t.addr for t in self.stations if t is not s}, 15), self.dump())
        self.deliver_route(a, c, 1, "na adresu s nulou")
        # unplugged, nothing gets in or out; plugged again, all does
        b.host.unplug()
        m = {s: s.mark() for s in self.stations}
        a.send_msg(b.addr, 0, "do prazdna")
        b.send_msg(a.addr, 0, "z prazdna")
        for s in (a, b):
            self.expect_line(s, "messages", "Chyba pri pripojeni na vzdalenu stanicu.", m[s], timeout=8)
        self.assertEqual([l for s in (a, b) for l in s.lines("messages", m[s]) if " -> JA : " in l], [])
        b.host.plug()
        self.deliver(a, b, 0, "uz to ide")
        self.deliver(b, a, 0, "aj naspat")


if __name__ == "__main__":
    unittest.main()
