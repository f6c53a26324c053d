# Stations on the LANs people have: no router, link-local addresses, a
# full-tunnel VPN, a container bridge, a host wired and on Wi-Fi to one LAN,
# a host on two LANs; the station on a second interface is told it (one there
# from the start, or an adapter that comes later).  In each, the stations
# find each other at once, list nothing else and deliver; an interface named
# wrongly stops the station before it sends.
import contextlib
import os
import re
import time
import unittest

import lan
from lancase import LanCase
from rawpeer import RawPeer

HELLO = b"HELLO".hex()


def setUpModule():
    lan.require()


class Shapes(LanCase):
    # Every row builds its own LANs, each with a raw peer that listens.

    @classmethod
    def setUpClass(cls):
        pass

    def dump(self):
        return "".join(net.dump() for net in self.nets)

    def lan_with(self, n, **kw):
        # a LAN closed with the row: its n station hosts, and its raw peer
        net = self.stack.enter_context(lan.Lan(n + 1, **kw))
        self.nets.append(net)
        return net.hosts[:n], RawPeer.launch(net, net.hosts[n])

    def start(self, net, hosts):
        # stations on hosts, one on a leg told its interface
        return [net.start_station(h, args=("--headless",) + ("--interface", h.dev) * (not h.own)) for h in hosts]

    def shape(self, name):
        # The row's LANs, stations running: [(stations, the raw peer of their
        # LAN)], the first where messages go, from and to its first station.
        if name not in ("two LANs", "adapter later"):
            kw = {"no route": dict(router=False), "link-local": dict(subnet="169.254.7", prefix=16, router=False)}
            hosts, peer = self.lan_with(3 + (name == "no route"), **kw.get(name, {}))
            if name == "VPN":
                hosts[0].tunnel()
            for h in hosts * (name == "bridge"):
                h.bridge()
            if name == "wired and Wi-Fi":  # the route to the others leaves by eth0, the station is on wlan0
                hosts[0] = self.nets[0].add_host(into=hosts[0], dev="wlan0")
            return [(self.start(self.nets[0], hosts), peer)]
        # the other LAN carries the dual host's default route; its station is
        # told the lab's interface
        (x, h), home_peer = self.lan_with(2)
        hosts, lab_peer = self.lan_with(2, subnet="10.214.0")
        home, lab, dev = *self.nets, "wlan0" if name == "adapter later" else "eth1"
        groups = [(self.start(lab, hosts), lab_peer), (self.start(home, [h]), home_peer)]
        leg = lab.add_host(into=x, dev=dev, made=dev == "eth1")
        groups[0][0][:0] = self.start(lab, [leg])
        if not leg.made:  # it says so at once, then waits for the adapter
            self.expect_line(groups[0][0][0], "stderr", "cibula: on wlan0, no such interface yet", timeout=1)
            time.sleep(2)
            leg.give_address()
        return groups

    def test_shapes(self):
        for name in ("no route", "link-local", "VPN", "bridge", "wired and Wi-Fi", "two LANs", "adapter later"):
            with self.subTest(name), contextlib.ExitStack() as self.stack:
                self.nets = []
                groups, t0 = self.shape(name), time.monotonic()
                # every station lists every other within 2 s after the last
                # first HELLO its LAN heard (15 s at most)
                for stations, peer in groups:
                    first = [peer.wait_event(max(0, t0 + 15 - time.monotonic()), ev="udp", **{"from": s.addr})
                             for s in stations]
                    self.assertNotIn(None, first, "not heard" + self.dump())
                    up = max(e["t"] for e in first)
                    for s in stations:
                        want = {t.addr for t in stations} - {s.addr}
                        s.wait_until(lambda: set(s.stations() or ()) == want, up + 2 - time.monotonic())
                        when = [t for t, pane, l in s.entries() if pane == "stations" and set(l.split()) == want]
                        self.assertTrue(not want or when and when[0] <= up + 2, s.addr + " late" + self.dump())
                self.stations = [s for stations, _ in groups for s in stations]
                a, *_, r = main = groups[0][0]
                for x, y in ((a, r), (r, a))[:1 + (name == "VPN")]:
                    self.deliver_route(x, y, len(main) - 2, "cez " + name)
                # nothing from or of the wrong address, LAN or interface
                for stations, peer in groups:
                    addrs = {s.addr for s in stations}
                    heard = {e["from"] for e in peer.events(ev="udp") if e["hex"].startswith(HELLO)}
                    self.assertEqual(heard, addrs, self.dump())
                    for s in stations:
                        self.assertEqual([l for l in s.lines("stations") if not set(l.split()) <= addrs - {s.addr}],
                                         [], s.addr + self.dump())
                        self.assertEqual(os.listdir(s.host.cwd), [s.addr + ".txt"])
                        self.assertIn("cibula: on %s, %s" % (s.host.dev, s.addr), s.lines("stderr"), self.dump())

    def test_bad_interface(self):
        # the usage or the fault's line, status 2, nothing sent
        with contextlib.ExitStack() as self.stack:
            self.nets = []
            (h,), peer = self.lan_with(1)
            h.tunnel()
            for args, line in (((), r".*--interface.*"), (("lo",), r"cibula: .*\blo\b.*"),
                               (("x" * 16,), r"cibula: .*x{16}.*"), (("tun0",), r"cibula: .*\btun0\b.*")):
                with self.subTest(args=args):
                    x = self.nets[0].start_station(h, args=("--headless", "--interface", *args), expect_exit=2)
                    self.assertEqual(x.wait(5), 2, x.dump())
                    self.assertTrue([l for l in x.lines("stderr") if re.fullmatch(line, l)], x.dump())
            self.assertIsNone(peer.wait_event(0.5, ev="udp"), self.dump())


if __name__ == "__main__":
    unittest.main()
