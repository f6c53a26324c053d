"""A LAN that heals: a station whose link came up late is heard at its next
HELLO, a restarted station is re-keyed, a repeated HELLO costs nothing, and
zero bytes lost on the way (a writer at x.y.z.0, a relay that strips the
tail) no longer lose the message.  Run as root:
cd tests/lan && PYTHONPATH=../../lanlab /usr/bin/python3 -B -m unittest -v test_heal
"""
import signal
import time
import unittest

import lan
from test_headless import LanCase

LONGEST_GAP = 32.5  # Cannounce::LONGEST_MS: the longest wait for the next HELLO
NO_ACCEPT = "Soket sa nepodarilo prijat."


def setUpModule():
    lan.require()


def cpu_seconds(proc):
    with open("/proc/%d/stat" % proc.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / 100  # utime + stime, in USER_HZ


class Heal(LanCase):
    """A /23: stations A, B, C at .0.1-.0.3, Z at .1.0, and U whose link is
    down when it starts; a raw peer P at .0.4 that knows every key."""

    @classmethod
    def setUpClass(cls):
        cls.make_lan(4, prefix=23)
        z = cls.net.add_host(addr=lan.SUBNET.rsplit(".", 1)[0] + ".1.0")
        u = cls.net.add_host(plugged=False)
        cls.peer = cls.net.start_rawpeer(cls.net.hosts[3])
        cls.stations = cls.net.start_stations(cls.net.hosts[:3] + [z, u])
        cls.a, cls.b, cls.c, cls.z, cls.u = cls.stations
        plugged = cls.stations[:4]
        for s in plugged:
            s.wait_stations({t.addr for t in plugged if t is not s}, 15)

    def others(self, s):
        return {t.addr for t in self.stations if t is not s}

    def all_list_all(self, timeout):
        end = time.monotonic() + timeout
        return all(s.wait_stations(self.others(s), end - time.monotonic()) for s in self.stations)

    def test_1_plugged_in_late(self):
        u = self.u
        time.sleep(max(0, u.started + 5 - time.monotonic()))  # its first three HELLOs are lost
        self.assertFalse(u.stations(), self.dump())
        u.host.plug()
        t0 = time.monotonic()
        self.assertTrue(self.all_list_all(LONGEST_GAP + 2.5), self.dump())
        print("plug-in to all listing all: %.1f s" % (time.monotonic() - t0))

    def test_2_same_key_hello_costs_nothing(self):
        p, live = self.peer, [s for s in self.stations if s.host.plugged]
        before = {s: set(s.stations() or ()) for s in live}
        mp = p.mark()
        p.call("hello")
        for s in live:
            self.assertTrue(p.wait_event(3, since=mp, ev="tcp", kind="WELCOME", **{"from": s.addr}), s.addr)
            self.assertTrue(s.wait_stations(before[s] | {p.addr}, 3), s.addr)
        marks, mp = {s: s.mark() for s in live}, p.mark()
        p.call("hello")
        time.sleep(1.5)
        try:
            self.assertEqual(p.events(mp, ev="tcp"), [])
            for s in live:
                self.assertEqual(s.lines("stations", marks[s]) + s.lines("messages", marks[s]), [], s.addr)
        finally:
            p.call("bye")
            for s in live:
                s.wait_stations(before[s], 3)

    def test_3_restart_after_sigkill(self):
        b = self.b
        b.kill(signal.SIGKILL)
        b.wait()
        marks = {s: s.mark() for s in self.stations if s is not b}
        nb = self.net.start_station(b.host)
        type(self).stations = [nb if s is b else s for s in self.stations]
        self.assertTrue(nb.wait_stations(self.others(nb), 5), self.dump())
        listed = time.monotonic() - nb.started
        rekeyed = []
        for s, m in marks.items():  # a new key redraws the stations pane
            r = s.wait_record(lambda r: r[1] == "stations", nb.started + 5 - time.monotonic(), m)
            self.assertTrue(r, "%s did not re-key %s%s" % (s.addr, nb.addr, self.dump()))
            self.assertEqual(set(r[1][2].split()), self.others(s))
            rekeyed.append(r[1][0] - nb.started)
        print("restart to listing all: %.2f s, to re-keyed by all: %.2f s" % (listed, max(rekeyed)))
        for s in marks:
            self.deliver(s, nb, 0, "znova ahoj")
            self.deliver(nb, s, 0, "som spat")
        self.deliver_route(self.a, nb, 1, "cez relay")

    def test_4_empty_text_from_dot_zero(self):
        self.assertTrue(self.z.addr.endswith(".0"))
        self.deliver(self.z, self.a, 0, "")

    def test_5_relay_that_strips_the_zero_tail(self):
        p, a = self.peer, self.a
        m, mp = a.mark(), p.mark()
        sent = p.call("onion", to=a.addr, text="dlhsi text na dva bloky sifry, ktory konci nulovymi bajtmi ",
                      zero_tail=True, strip=True)
        self.assertEqual(len(bytes.fromhex(sent["inner"])), 128)
        self.assertLess(len(bytes.fromhex(sent["packet"])), 128)
        self.expect_incoming(a, p.addr, bytes.fromhex(sent["text"]).decode("cp1250"), m)
        self.assertTrue(p.wait_event(3, since=mp, ev="tcp", kind="ACK", **{"from": a.addr}), self.dump())

    def test_9_broadcast_port_taken(self):
        host = self.net.add_host()
        holder = self.net._track(lan.Proc(host, [lan.PYTHON, "-c", "import socket, sys\n"
                                                 "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                                                 "s.bind(('', 10012)); print('bound', flush=True)\n"
                                                 "sys.stdin.read()"]))
        self.assertTrue(holder.wait_record(lambda r: r[2] == "bound", 10), holder.dump())
        x = self.net.start_station(host)
        self.expect_line(x, "messages", "Chyba pri napojeni soketu na rozsah adries. BROADCAST", timeout=10)
        cpu = cpu_seconds(x)
        time.sleep(2)
        cpu = cpu_seconds(x) - cpu
        self.assertLess(cpu, 0.2, "%.2f s of CPU in 2 s%s" % (cpu, self.dump()))
        self.assertEqual(x.lines("messages").count("Chyba pri napojeni soketu na rozsah adries. BROADCAST"), 1)
        self.assertNotIn(NO_ACCEPT, x.lines("messages"))
        self.assertEqual(x.quit(), 0)


if __name__ == "__main__":
    unittest.main()
