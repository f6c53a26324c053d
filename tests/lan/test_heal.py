# A LAN that heals: a station whose link came up late is heard at its next
# HELLO, one whose host got its address late at once, a restarted station is
# re-keyed, a link pulled and put back works again, a writer or recipient
# at x.y.z.0 (whose address ends in a zero byte) is reached, a second station
# on a host stays out of the LAN, a writer routes round a first hop that was
# killed, and stations gone without BYE are
# forgotten while what was written through them is delivered or reported
# (Vanished, about two minutes: its own ctest entry, lan_heal_long).
import os
import signal
import time
import unittest

import lan
import wire
from lancase import DOBA, LanCase, NO_CONNECT

SILENT = 100.0  # Cnet::SILENT_MS: the silence after which a repeating station is gone
PORT_TAKEN = 3  # the exit status of a --headless or --relay station that cannot listen
HOLD_UDP_PORT = ("import socket, sys\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                 "s.bind(('', 10012)); print(1, flush=True)\nsys.stdin.read()")


def setUpModule():
    lan.require()


class Heal(LanCase):
    # A /23: stations A, B, C at .0.1-.0.3, a raw peer P at .0.4 that knows
    # every key, Z at .1.0, and U whose link is down when it starts.

    @classmethod
    def setUpClass(cls):
        hosts = cls.make_lan(3, peer=True, prefix=23)
        z = cls.net.add_host(addr=lan.SUBNET.rsplit(".", 1)[0] + ".1.0")
        cls.a, cls.b, cls.c, cls.z = cls.start(hosts + [z])
        cls.stations.append(cls.net.start_station(cls.net.add_host(plugged=False)))

    def test_plugged_in_late(self):
        u = self.stations[-1]
        time.sleep(max(0, u.started + 5 - time.monotonic()))  # its first three HELLOs are lost
        self.assertFalse(u.stations(), self.dump())
        u.host.plug()
        end = time.monotonic() + 35  # the longest wait for the next HELLO is 32.5 s
        for s in self.stations:
            self.assertTrue(s.wait_stations(self.others(s), end - time.monotonic()), self.dump())

    def test_restart_after_sigkill(self):
        # A writes to C over 1 relay until B, killed, is its first hop: the
        # failure line, then a new route without B.  Restarted, with a new
        # key, B is listed by all at once and all use its new key.
        a, b, c = self.a, self.b, self.c
        b.kill(signal.SIGKILL)
        b.wait()
        for i in range(24):
            m, mc, text = a.mark(), c.mark(), "okolo %d" % i
            a.send_msg(c.addr, 1, text)
            self.expect_incoming(c, a.addr, text, mc, timeout=8)
            self.expect_line(a, "messages", DOBA, m)
            got, out = a.lines("messages", m), "JA -> %s : %s" % (c.addr, text)
            if got[:3] == ["", c.addr, b.addr]:
                break
        relays = a.route(m, c.addr, text)
        self.assertNotIn(b.addr, relays)
        self.assertEqual(got, ["", c.addr, b.addr, "VYGENEROVANA TRASA:", out, NO_CONNECT, "", c.addr,
                               *relays[::-1], "VYGENEROVANA TRASA:", out, got[-1]], self.dump())
        nb = type(self).b = self.net.start_station(b.host)
        self.stations[self.stations.index(b)] = nb
        self.assertTrue(nb.wait_stations(self.others(nb), 5), self.dump())
        for s in (t for t in self.stations if t is not nb and t.host.plugged):
            self.deliver(s, nb, 0, "znova ahoj")
        self.deliver(nb, a, 0, "som spat")

    def test_zero_bytes_on_the_way(self):
        # The raw peer's block sizes are the station's: its key fits them.
        keys = self.peer.keys().items()
        self.assertEqual([s for s, (e, n) in keys if not 256 ** wire.PLAIN <= n < 256 ** wire.CIPHER], [])
        # a writer at x.y.z.0: its last layer ends in the address's zero
        self.deliver(self.z, self.a, 0, "")
        self.deliver_route(self.a, self.z, 1, "na adresu s nulou")

    def test_link_pulled_and_put_back(self):
        # C unplugged: each end reports its message undelivered, and A, while
        # its connection to C waits, still takes B's message.  Plugged back,
        # the link works both ways.
        a, c = self.a, self.c
        c.host.unplug()
        try:
            m = {s: s.mark() for s in (a, c)}
            a.send_msg(c.addr, 0, "do prazdna")
            c.send_msg(a.addr, 0, "z prazdna")
            self.deliver(self.b, a, 0, "medzitym")
            for s in (a, c):
                self.expect_line(s, "messages", NO_CONNECT, m[s], timeout=8)
        finally:
            c.host.plug()
        self.deliver(a, c, 0, "uz to ide")
        self.deliver(c, a, 0, "aj naspat")

    def test_cannot_listen(self):
        # A station that cannot have its port leaves with its status and its
        # line, never heard: its broadcast port held by another program, or
        # a second station, headless or a relay, in A's namespace and folder.
        a, p = self.a, self.peer
        before, key, free = a.transcript(), p.keys()[a.addr], self.net.add_host()
        holder = self.net.start_proc(free, [lan.PYTHON, "-c", HOLD_UDP_PORT])
        self.assertTrue(holder.wait_record(lambda r: r[2] == "1", 10), holder.dump())
        for host, args, line in ((free, "--headless", "Chyba pri napojeni soketu na rozsah adries. BROADCAST"),
                                 (a.host, "--headless", "Chyba pri napojeni soketu na rozsah adries. UNICAST"),
                                 (a.host, "--relay", "Chyba pri napojeni soketu na rozsah adries. UNICAST")):
            mp = p.mark()
            x = self.net.start_station(host, args=(args,), expect_exit=PORT_TAKEN)
            self.assertEqual((x.wait(10), x.lines("messages")), (PORT_TAKEN, [line]), x.dump())
            time.sleep(0.5)
            heard = [bytes.fromhex(ev["hex"]) for ev in p.events(mp, ev="udp", **{"from": host.addr})]
            self.assertEqual([d for d in heard if wire.parse_key_message(b"HELLO", d) != key], [], args)
        self.deliver(self.b, a, 0, "prvy stale pocuva")
        self.assertEqual(a.transcript(), before)

    def test_address_comes_late(self):
        # A station whose host has no address yet, its transcript's name a
        # symlink planted in its folder.  Without an address it announces
        # nothing (not even from 0.0.0.0) and writes nothing; standard error says
        # so, and then, once, where it is.  Addressed, it is listed and
        # works, says once that it cannot open its transcript, and writes
        # nothing through the link.
        host, refused = self.net.add_host(addressed=False), "Subor %s.txt sa nepodarilo otvorit."
        target = os.path.join(host.cwd, "elsewhere")
        with open(target, "w") as f:
            f.write("cudzi subor\n")
        os.symlink(target, os.path.join(host.cwd, host.addr + ".txt"))
        mp = self.peer.mark()
        x = self.net.start_station(host)
        self.stations.append(x)
        self.addCleanup(self.stations.remove, x)
        time.sleep(max(0, x.started + 3 - time.monotonic()))
        self.assertEqual(sorted(os.listdir(host.cwd)), [host.addr + ".txt", "elsewhere"])
        self.assertTrue(x.running(), x.dump())
        host.give_address()
        for s in filter(lambda s: s.host.plugged, self.stations):
            self.assertTrue(s.wait_stations(self.others(s), 40), self.dump())
        self.deliver(self.a, x, 0, "uz mam adresu")
        x.send_msg(self.a.addr, 0, "bez prepisu")
        self.expect_line(x, "messages", DOBA)
        self.assertEqual(self.peer.events(mp, ev="udp", **{"from": "0.0.0.0"}), [])
        self.assertNotIn(x.addr, " ".join(x.lines("stations")))
        self.assertEqual(x.lines("messages").count(refused % host.addr), 1)
        self.assertEqual(x.lines("stderr"), ["cibula: on eth0, no address yet", "cibula: on eth0, " + host.addr])
        with open(target) as f:
            self.assertEqual(f.read(), "cudzi subor\n")
        self.assertEqual(x.quit(), 0, x.dump())


class Vanished(LanCase):
    # Seven stations: A-F and a raw peer P that announces once; B is killed
    # and C unplugged once both have repeated their HELLO, and A writes 24
    # messages over 2 relays to D at once, then 24 more once both are forgotten.

    @classmethod
    def setUpClass(cls):
        # B and C start last, so that every other station hears them repeat their HELLO
        a, b, c, d, e, f = cls.make_lan(6, peer=True)
        cls.a, cls.d, cls.e, cls.f, cls.b, cls.c = cls.start([a, d, e, f, b, c])

    def test_forgotten_after_their_silence(self):
        p, b, c = self.peer, self.b, self.c
        p.call("hello")
        for s in self.stations:
            self.assertTrue(s.wait_stations(self.others(s) | {p.addr}, 5), self.dump())
        time.sleep(max(0, max(b.started, c.started) + 5 - time.monotonic()))  # HELLOs at 0, 1 and 4 s
        b.kill(signal.SIGKILL)  # the two ways of vanishing without BYE
        b.wait()
        c.host.unplug()
        vanished = time.monotonic()
        # the last thing anyone heard from each: its last HELLO, as P heard it
        last = {x: max(e["t"] for e in p.events(ev="udp", **{"from": x.addr})) for x in (b, c)}
        marks = {s: s.mark() for s in self.stations}
        # Each of 24 messages is delivered and acknowledged, or reported, within 12 s.
        got, acked, reported = self.burst(self.a, self.d, "v")
        self.assertEqual((acked + reported, got), (24, acked), self.dump())
        live = [s for s in self.stations if s not in (b, c)]
        views = {s: self.others(s) | {p.addr} for s in live}
        views[c] = {p.addr}  # C hears nobody
        for s, want in views.items():
            self.assertTrue(s.wait_stations(want, vanished + SILENT + 2 - time.monotonic()), s.addr + self.dump())
        for s in live:  # each dropped within a second after its silence
            for x in (b, c):
                r = s.wait_record(lambda r: r[1] == "stations" and x.addr not in r[2].split(), 0, marks[s])
                self.assertTrue(SILENT - 0.3 <= r[1][0] - last[x] <= SILENT + 2, "%s forgot %s after %.2f s"
                                % (s.addr, x.addr, r[1][0] - last[x]))
            # and never drop a station that is still heard, nor P
            kept = [l for l in s.lines("stations", marks[s]) if not views[s] <= set(l.split())]
            self.assertEqual(kept, [], s.addr + self.dump())
        # once they are forgotten, all 24 get through
        self.assertEqual(self.burst(self.a, self.d, "w"), (24, 24, 0), self.dump())


if __name__ == "__main__":
    unittest.main()
