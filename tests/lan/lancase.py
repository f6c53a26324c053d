# LanCase, the base of every LAN test: one test LAN per class, its stations
# started and listing each other, and the checks the tests share.
import re
import time
import unittest

import lan
from rawpeer import RawPeer

FAIL = "Prijem dat zlyhal."
NO_CONNECT = "Chyba pri pripojeni na vzdalenu stanicu."
DOBA = re.compile(r"DOBA PRENOSU: (\d+)ms\.")


class LanCase(unittest.TestCase):
    # `n` stations and, with `with_peer`, a raw peer on the next host that
    # listens from the start (it knows every key, unlisted).
    n, with_peer = 4, False

    @classmethod
    def setUpClass(cls):
        cls.start(cls.make_lan(cls.n, cls.with_peer))

    @classmethod
    def make_lan(cls, n, peer=False, **kw):
        # The LAN; its first n hosts, for stations.
        cls.net = lan.Lan(n + peer, **kw)
        cls.addClassCleanup(cls.net.close)
        if peer:
            cls.peer = RawPeer.launch(cls.net, cls.net.hosts[n])
        return cls.net.hosts[:n]

    @classmethod
    def start(cls, hosts, **kw):
        # Stations on hosts, once each lists all the others.
        cls.stations = [cls.net.start_station(h, **kw) for h in hosts]
        for s in cls.stations:
            if not s.wait_stations(cls.others(s), 15):
                raise RuntimeError("%s does not list the others%s" % (s.addr, cls.net.dump()))
        return cls.stations

    @classmethod
    def others(cls, s):
        return {t.addr for t in cls.stations if t is not s and t.running() and t.host.plugged}

    def dump(self):
        return self.net.dump()

    def expect_lines(self, st, pane, since, expected, timeout=5):
        # The lines of `pane` from `since` on become exactly `expected`.
        self.expect(st, lambda: st.lines(pane, since), expected, timeout, "%s %s" % (st.addr, pane))

    def expect(self, st, got, want, timeout, msg):
        # got() becomes want within timeout
        st.wait_until(lambda: got() == want, timeout)
        self.assertEqual(got(), want, msg + self.dump())

    def expect_line(self, st, pane, pattern, since=0, timeout=5):
        i = st.wait_for_line(pane, pattern, timeout, since)
        self.assertIsNotNone(i, "%s: no %s line %r%s" % (st.addr, pane, pattern, self.dump()))
        return i

    def expect_incoming(self, st, sender, text, since, timeout=5):
        # st shows an empty line, then 'sender -> JA : text'.
        i = self.expect_line(st, "messages", "%s -> JA : %s" % (sender, text), since, timeout)
        self.assertEqual(st.lines("messages", since, i)[-1:], [""], "%s%s" % (st.addr, self.dump()))

    def deliver(self, a, r, route_len, text, timeout=10):
        # Sends text from a to r and checks what a, r and every relay show;
        # the relays of the drawn route, first hop first.
        marks, before = {s: s.mark() for s in self.stations}, a.transcript()
        shown, t0 = text[:99], time.monotonic()
        a.send_msg(r.addr, route_len, text)
        self.expect_incoming(r, a.addr, shown, marks[r], timeout)
        took = a.when(self.expect_line(a, "messages", DOBA, marks[a])) - t0
        got, relays = a.lines("messages", marks[a]), a.route(marks[a], r.addr, shown)
        # as printed: the relay nearest the recipient first
        self.assertEqual(got, ["", r.addr, *relays[::-1], "VYGENEROVANA TRASA:", "JA -> %s : %s" % (r.addr, shown),
                               got[-1]], self.dump())
        self.assertLessEqual(int(DOBA.fullmatch(got[-1]).group(1)), took * 1000 + 5)
        # every relay shows one PRENOS line per visit, chaining a to r
        hops = [a.addr] + relays + [r.addr]
        prenos = ["PRENOS: %s -> %s -> %s" % tuple(hops[i - 1:i + 2]) for i in range(1, len(hops) - 1)]
        for s in self.stations:
            mine = sorted(l for l in prenos if l.split(" -> ")[1] == s.addr)
            self.expect(s, lambda: sorted(s.lines("transfers", marks[s])), mine, 3, "%s transfers, %s" % (s.addr, hops))
        # a's transcript: the message, its route from the recipient back, the time
        record = "JA -> %s : %s\nVYGENEROVANA TRASA:\n%s\n%s\n\n" % (r.addr, shown, "\n".join(hops[:0:-1]), got[-1])
        self.expect(a, a.transcript, before + record.encode(), 2, "transcript of %s" % a.addr)
        return relays

    def burst(self, a, d, tag, timeout=12):
        # 24 messages from a to d over 2 relays, all at once; once every one
        # is delivered and acknowledged or reported unconfirmed (or `timeout`
        # s are up): how many d got, a saw acknowledged, a reported unconfirmed.
        m, md, t0 = a.mark(), d.mark(), time.monotonic()
        for i in range(24):
            a.send_msg(d.addr, 2, "%s%d" % (tag, i))
        count = lambda: (sum(l.startswith("%s -> JA : %s" % (a.addr, tag)) for l in d.lines("messages", md)),
                         sum(bool(DOBA.fullmatch(l)) for l in a.lines("messages", m)),
                         a.lines("messages", m).count("Sprava pre %s nebola potvrdena." % d.addr))
        a.wait_until(lambda: sum(count()[1:]) >= 24, t0 + timeout - time.monotonic())
        d.wait_until(lambda: count()[0] >= count()[1], 1)  # d shows each before it acknowledges
        return count()

    def deliver_route(self, a, r, route_len, text, tries=8):
        # deliver() until the route has route_len relays (the last relay drawn
        # may be the recipient, which shortens the route by one)
        for _ in range(tries):
            relays = self.deliver(a, r, route_len, text)
            if len(relays) == route_len:
                return relays
        self.fail("%d routes of length %d all came out shorter" % (tries, route_len))
