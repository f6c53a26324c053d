# Abuse of real stations on the test LAN: junk datagrams, junk and idle
# connections, a missing next hop, a soak, a relay killed mid-traffic.  After
# each, an honest message over two relays must still arrive and be
# acknowledged.  The Markdown report goes to $CIBULA_ROBUSTNESS_REPORT.
import collections
import itertools
import os
import pathlib
import random
import resource
import signal
import tempfile
import time
import unittest

import lan
import rawpeer as rp
import wire
from lancase import DOBA, FAIL, NO_CONNECT, LanCase

BOUND = 3.5  # the station's 3 s bounded wait, and some slack for a busy machine
QUICK, ANSWER = 0.2, 0.05  # a message through a held station; its user's own send shown
SOAK_SECONDS = float(os.environ.get("CIBULA_SOAK_SECONDS", "180"))
REPORT = []  # [title, inputs, outcome] of each abuse tried


def setUpModule():
    lan.require()


def tearDownModule():
    path = os.environ.get("CIBULA_ROBUSTNESS_REPORT")
    if path and REPORT:
        with open(path, "w", encoding="utf-8") as f:
            f.write("# What a station withstands\n\nStation binary: `%s`.\n" % lan.station_binary())
            f.writelines("\n## %d. %s\n\n- Inputs: %s\n- Outcome: %s\n" % (i, *sec) for i, sec in enumerate(REPORT, 1))


def udp_drops(station):
    # datagrams the kernel dropped in the station's namespace for a full socket buffer
    out = pathlib.Path("/proc/%d/net/snmp" % station.pid).read_text()
    head, vals = [l.split() for l in out.splitlines() if l.startswith("Udp:")][:2]
    return int(vals[head.index("RcvbufErrors")])


def sanitized(station):
    # the sanitizer's quarantine holds freed memory on purpose: VmRSS is not checked then
    return "libasan" in pathlib.Path("/proc/%d/maps" % station.pid).read_text()


def costs(conns):
    # Seconds each connection held the station: the gaps between the
    # station's successive closes, the first counted from the last opening.
    return [b - a for a, b in itertools.pairwise([max(c[0] for c in conns)] + sorted(c[1] for c in conns))]


class AbuseCase(LanCase):

    def abuse(self, title, inputs):
        # this test's section of the report, failed until an honest message gets through after the abuse
        self.sec = [title, inputs, "TEST FAILED"]
        REPORT.append(self.sec)

    def honest(self, text, seen=""):
        # an honest message from the first station to the fourth over two relays, into the report
        a, d = self.stations[0], self.stations[3]
        hops = " -> ".join([a.addr, *self.deliver_route(a, d, 2, text), d.addr])
        self.sec[2] = "%shonest message %s delivered and acknowledged: %s" % (seen, hops, a.lines("messages")[-1])


class Abuse(AbuseCase):
    # Stations A-E on hosts 1-5; a raw peer P on host 6, listening from the
    # start (it knows every key) but never announced.  The abuse goes to B (and
    # C, D, or all); then A writes to D over two relays.
    n, with_peer = 5, True

    def unheld(self, label):
        # While something holds B: B's own send shows its lines within
        # ANSWER, and P's onion through B reaches D within QUICK of its last
        # byte leaving P (P's clock, not its busy threads); the check
        # returned is made once B is clear again.
        p, (a, b, c, d, e) = self.peer, self.stations
        m, t0, text = b.mark(), time.monotonic(), "%s: od B" % label
        b.send_msg(d.addr, 0, text)
        answer = b.when(self.expect_line(b, "messages", "JA -> %s : %s" % (d.addr, text), m)) - t0
        md, text = d.mark(), "%s: cez B" % label
        sent = p.call("onion", to=d.addr, route=[b.addr], text=text)["t"]
        took = d.when(self.expect_line(d, "messages", "%s -> JA : %s" % (p.addr, text), md)) - sent
        return lambda: (self.assertLessEqual(answer, ANSWER, label), self.assertLessEqual(took, QUICK, label))

    def test_junk(self):
        p, b, n = self.peer, self.stations[1], 10000
        long_ = sum(len(x) > 300 for x in rp.junk_datagrams(1, n))
        self.abuse("Junk datagrams", "%d datagrams to B, 0-1,400 bytes, a third starting HELLO or BYE" % n)
        m, drops = b.mark(), udp_drops(b)
        p.call("udp_burst", to=b.addr, seed=1, count=n, timeout=120)
        end = time.monotonic() + 20
        while len(b.lines("messages", m)) < long_ and time.monotonic() < end:  # polls: thousands of lines come
            time.sleep(0.1)
        time.sleep(0.5)
        drops, got = udp_drops(b) - drops, b.lines("messages", m)
        # one failure line for each long datagram the kernel let through, and no change to the list
        self.assertEqual(set(got), {FAIL}, self.dump())
        self.assertTrue(long_ - drops <= len(got) <= long_, "%d lines, %d long, %d dropped" % (len(got), long_, drops))
        self.assertEqual(b.lines("stations", m), [], "B's list changed")
        self.honest("po datagramoch", "%d dropped by B's kernel for a full buffer; " % drops)
        n, m = 1000, b.mark()
        # Junk connections: nothing for an empty one, an ACK that no message
        # waits on or a WELCOME up to 2,500 bytes; else a failure line.
        fails = sum(len(x) > 2500 or x[:3] not in (b"", b"ACK") and x[:7] != b"WELCOME" for x in rp.junk_streams(2, n))
        self.abuse("Junk connections", "%d to B, random bytes of %s after %s" % (n, rp.TCP_LENGTHS, rp.TCP_PREFIXES))
        # each closed by B within the bound (one left open lasts the whole limit), so each handled
        longest = max(c[1] - c[0] for c in p.call("conns", to=b.addr, mode="junk", seed=2, count=n, threads=4,
                                                  limit=15, timeout=600)["conns"])
        self.assertLessEqual(longest, BOUND)
        b.wait_until(lambda: len(b.lines("messages", m)) >= 2 * fails, 5)
        self.assertEqual(collections.Counter(b.lines("messages", m)), {"": fails, FAIL: fails})
        # by design, a WELCOME from P lists P, and each later one (a random key) takes the place of its key
        self.assertEqual(set(b.stations()), self.others(b) | {p.addr})
        p.call("bye")
        self.assertTrue(b.wait_stations(self.others(b), 3), self.dump())
        self.honest("po smeti v spojeniach", "the longest held %.2f s; " % longest)

    def test_forged_hellos(self):
        # HELLOs forged from addresses no host holds, each burst at once: 150
        # from the subnet to all, while A writes 24 messages to D over 2
        # relays; then 50 from outside it to B, and a station X started right
        # after.  Forged addresses times stations stay within 800: each
        # WELCOME may take an entry of the kernel's neighbour table, which the
        # whole machine shares.  None is ever listed, nor its WELCOME shown.
        p, (a, b, c, d, e), hello = self.peer, self.stations, wire.key_message(b"HELLO", self.peer.e, self.peer.n).hex()
        inside, outside = ["%s.%d" % (lan.SUBNET, i) for i in range(100, 250)], ["10.%d.0.1" % i for i in range(1, 51)]
        self.abuse("Forged HELLOs", "150 from %s.100-249 to all, then 50 from 10.1-50.0.1 to B" % lan.SUBNET)
        before, t0 = {s: (s.mark(), s.fd_count(), s.rss_kib()) for s in self.stations}, time.monotonic()
        p.call("udp_as", source=inside, to=lan.SUBNET + ".255", hex=hello)
        self.assertEqual(self.burst(a, d, "f", 5)[:2], (24, 24), self.dump())
        acked = time.monotonic() - t0
        # B's WELCOMEs to them have ended, and its HELLOs 1 s and 4 s after its start are out
        time.sleep(max(0.0, max(t0 + BOUND, b.started + 5) - time.monotonic()))
        p.call("udp_as", source=outside, to=b.addr, hex=hello)
        check, x = self.unheld("forged HELLOs"), self.net.start_station()
        everyone = {t.addr for t in self.stations + [x]}
        for s in self.stations + [x]:
            self.assertTrue(s.wait_stations(everyone - {s.addr}, x.started + 10 - time.monotonic()), self.dump())
        listed = time.monotonic() - x.started
        check()
        b.send_msg(inside[0], 0, "duchovi")  # a station never listed
        self.expect_line(b, "messages", "Stanica neexistuje.", before[b][0])
        time.sleep(max(0.0, x.started + BOUND - time.monotonic()))
        for s, (m, fds, rss) in before.items():
            shown = [l for l in s.lines("messages", m) if l in (FAIL, NO_CONNECT) or l[:5] in ("Doslo", "Sprav")]
            shown += set(" ".join(s.lines("stations", m)).split()) & set(inside + outside)
            self.assertEqual((shown, s.fd_count()), ([], fds), s.addr + self.dump())
            self.assertTrue(sanitized(s) or s.rss_kib() - rss <= 2048, "VmRSS grew, KiB")
        self.honest("po podvrhnutych HELLO", "all 24 acknowledged %.2f s after the burst, X listed by all and listing "
                    "all %.2f s after its start; " % (acked, listed))
        self.assertEqual(x.quit(), 0)

    def test_idle_and_missing_hosts(self):
        # An idle connection ends in a failure line at its deadline, an empty
        # one in nothing; a dripping one is no longer; a reset one holds nothing up.
        p, (a, b, c, d, e) = self.peer, self.stations
        self.abuse("Idle connections", "to B 50 empty, then 10 reset; to C 10 sending a byte a second; to D 5 silent")
        marks = {s: s.mark() for s in (b, c, d)}
        drip = p.start("conns", to=c.addr, mode="drip", count=10, gap=1.0, limit=45)
        silent = p.start("conns", to=d.addr, mode="silent", count=5, limit=25)
        empty = p.call("conns", to=b.addr, mode="empty", count=50, threads=1, limit=10)["conns"]
        resets = p.call("conns", to=b.addr, mode="reset", count=10)["conns"]
        probe = p.call("conns", to=b.addr, mode="empty", count=1, limit=10)["conns"]
        drip, silent = p.result(drip, 60)["conns"], p.result(silent, 40)["conns"]
        for kind, conns, waits in (("empty", empty, [x[1] - x[0] for x in empty]), ("drip", drip, costs(drip)),
                                   ("silent", silent, costs(silent)), ("probe", probe, [probe[0][1] - resets[0][0]])):
            self.assertEqual({x[2] for x in conns} - {"eof", "reset"}, set(), "%s left open: %s" % (kind, conns))
            self.assertLessEqual(max(waits), BOUND, "%s: %s" % (kind, ["%.2f" % x for x in waits]))
        for s, n in ((c, 10), (d, 5)):
            self.expect_lines(s, "messages", marks[s], ["", FAIL] * n)
        got = b.lines("messages", marks[b])
        self.assertTrue(got == ["", FAIL] * (len(got) // 2) and len(got) <= 20, got)
        self.honest("po necinnych spojeniach")
        # (a HELLO forged from a missing host: test_forged_hellos)
        ghosts = ["%s.%d" % (lan.SUBNET, i) for i in (200, 201)]
        self.abuse("Missing hosts", "to B 2 onions for missing hops")
        m, t0 = b.mark(), time.monotonic()
        for ghost in ghosts:
            p.call("tcp", to=b.addr, hex=wire.encrypt(wire.ip_layer(ghost, os.urandom(64)), *p.keys()[b.addr]).hex())
        self.unheld("2 connections to missing hosts")()
        # each reported once, within the bound
        b.wait_until(lambda: b.lines("messages", m).count(NO_CONNECT) >= 2, 2 * BOUND)
        took = [t - t0 for t, pane, line in b.entries(m) if line == NO_CONNECT]
        self.assertEqual([x <= BOUND for x in took], [True] * 2, took)
        for ghost in ghosts:
            self.assertIn("PRENOS: %s -> %s -> %s" % (p.addr, b.addr, ghost), b.lines("transfers", m))
        self.honest("po chybajucich staniciach", "each reported within %.2f s; " % max(took))

    def test_out_of_descriptors_then_held(self):
        p, (a, b, c, d, e), refused, src = self.peer, self.stations, "Soket sa nepodarilo prijat.", lan.SUBNET + ".250"
        self.abuse("Out of descriptors", "B's descriptors capped at those it has open for 2 s, 5 connections to it")
        ticks = lambda: sum(map(int, pathlib.Path("/proc/%d/stat" % b.pid).read_text().split(")")[-1].split()[11:13]))
        m, limits = b.mark(), resource.prlimit(b.pid, resource.RLIMIT_NOFILE)
        resource.prlimit(b.pid, resource.RLIMIT_NOFILE, (b.fd_count(), limits[1]))
        try:
            held = p.start("conns", to=b.addr, mode="silent", count=5, limit=10)
            self.expect_line(b, "messages", refused, m)
            cpu = ticks()
            time.sleep(2)
            cpu = (ticks() - cpu) / os.sysconf("SC_CLK_TCK")
        finally:
            resource.prlimit(b.pid, resource.RLIMIT_NOFILE, limits)
        self.assertLess(cpu, 0.2, "a busy loop")
        # the queued connections are taken once there are descriptors again
        self.assertEqual({c[2] for c in p.result(held, 20)["conns"]}, {"eof"})
        # (a HELLO due meanwhile could not have its socket either: its own line)
        want = [refused] + ["", FAIL] * 5
        self.expect(b, lambda: [l for l in b.lines("messages", m) if l in want], want, 5, b.addr)
        self.honest("po nedostatku deskriptorov", "%.2f s of CPU in 2 s of failing accepts; " % cpu)
        # The flood comes from a second address of P's host: from P's own, it
        # would push out P's onion while its bytes are on their way, as B's
        # cap for one address means it to.
        lan.ip_batch(["addr add %s/32 dev %s" % (src, p.host.dev)], ns=p.host.ns)
        self.abuse("Held connections", "to B 1,020 silent connections at once from %s, then 24 onions through B" % src)
        time.sleep(0.5)
        m, fds, rss = b.mark(), b.fd_count(), b.rss_kib()
        flood = p.start("conns", to=b.addr, mode="silent", count=1020, limit=10, source=src)
        b.wait_until(lambda: len(b.lines("messages", m)) >= 2 * 100, 10)  # well under way: B has let go of its oldest
        check = self.unheld("1,020 held")
        self.assertEqual({c[2] for c in p.result(flood, 60)["conns"]} - {"eof", "reset"}, set(), "left open")
        # every one of them ends with its line, at its deadline or when B let go of it
        b.wait_until(lambda: b.lines("messages", m).count(FAIL) >= 1020, 5)
        time.sleep(0.5)
        self.assertEqual(b.lines("messages", m).count(FAIL), 1020)
        check()
        self.assertEqual(b.fd_count(), fds)
        self.assertTrue(sanitized(b) or b.rss_kib() - rss <= 2048, "VmRSS grew, KiB")
        # a writer's burst through B is no flood: all 24 get through
        md, texts = d.mark(), ["naraz %d" % i for i in range(24)]
        for t in texts:
            p.start("onion", to=d.addr, route=[b.addr], text=t)
        for t in texts:
            self.expect_incoming(d, p.addr, t, md)
        self.honest("po drzanych spojeniach")


class Soak(AbuseCase):
    # six stations exchanging messages for a bounded time, then one of them killed
    n, rng = 6, random.Random(6)

    def traffic(self, seconds, count, tag):
        # Messages between random stations over 0-5 relays, three at a time,
        # the next three once these are shown and their time has come, until
        # `count` are sent or `seconds` are up: [(text, writer, recipient)]
        sent, t0 = [], time.monotonic()
        while time.monotonic() < t0 + seconds and len(sent) < count:
            batch = [("%s%d" % (tag, len(sent) + i), *self.rng.sample(self.stations, 2)) for i in range(3)]
            marks = [r.mark() for t, a, r in batch]
            for t, a, r in batch:
                a.send_msg(r.addr, self.rng.randint(0, 5), t)
            for (t, a, r), m in zip(batch, marks):
                r.wait_for_line("messages", "%s -> JA : %s" % (a.addr, t), 10, m)
            sent += batch
            time.sleep(max(0.0, t0 + len(sent) * seconds / count - time.monotonic()))
        time.sleep(1)  # the last acknowledgements
        return sent

    def test_soak_then_kill_a_relay(self):
        self.abuse("Soak", "messages between %d stations over routes of 0-5 relays for %d s" % (self.n, SOAK_SECONDS))
        self.traffic(10, 150, "w")  # warm-up: what the stations keep allocated is there by now
        base, m0 = {s: (s.rss_kib(), s.fd_count()) for s in self.stations}, {s: s.mark() for s in self.stations}
        sent, slack = self.traffic(SOAK_SECONDS, 4000, "s"), float("inf") if sanitized(self.stations[0]) else 2048
        leaks = {s.addr: (s.fd_count() - base[s][1], s.rss_kib() - base[s][0] > slack) for s in self.stations}
        self.assertEqual(leaks, dict.fromkeys(leaks, (0, False)), "descriptors opened, VmRSS grown over 2 MiB")
        # each shown once, by its recipient, from its writer, and acknowledged to the writer; no failure line
        norm = lambda line: "DOBA" if DOBA.fullmatch(line) else line
        got = collections.Counter((s, norm(l)) for s in self.stations for l in s.lines("messages", m0[s])
                                  if " -> JA : " in l or norm(l) in ("DOBA", FAIL, NO_CONNECT) or l.startswith("Doslo"))
        self.assertGreaterEqual(len(sent), 2000, "too few messages for a soak")
        self.assertEqual(got, collections.Counter(x for t, a, r in sent for x in ((r, "%s -> JA : %s" % (a.addr, t)),
                                                                                  (a, "DOBA"))), self.dump())
        self.honest("po zatazi", "%d messages all delivered; " % len(sent))
        # then the last station is killed while messages pass through it
        live, victim = self.stations[:-1], self.stations[-1]
        self.abuse("Relay killed mid-traffic", "SIGKILL to %s among 12 messages, then 30 more" % victim.addr)
        for i in range(12):
            a = self.rng.choice(live)
            a.send_msg(self.rng.choice([s for s in self.stations if s is not a]).addr, 2, "x%d" % i)
            if i == 5:
                victim.kill(signal.SIGKILL)
            time.sleep(0.01)
        time.sleep(BOUND)  # what was in flight ends within the bounded waits
        through, cut = 0, []
        for i in range(30):
            a, r = self.rng.sample(live, 2)
            text, marks = "k%d" % i, {s: s.mark() for s in live}
            a.send_msg(r.addr, 2, text)
            self.assertTrue(a.wait_until(lambda: a.route(marks[a], r.addr, text) is not None, 5), self.dump())
            hops = [a.addr, *a.route(marks[a], r.addr, text), r.addr]
            through += victim.addr in hops
            if victim.addr in hops[2:]:  # a later hop: the hop before it reports; nobody gets the text
                before = next(s for s in live if s.addr == hops[hops.index(victim.addr) - 1])
                self.expect_line(before, "messages", NO_CONNECT, marks[before])
                cut.append("%s -> JA : %s" % (a.addr, text))
            else:  # delivered and acknowledged, round the writer's own first hop if it was that
                self.expect_incoming(r, a.addr, text, marks[r])
                self.expect_line(a, "messages", DOBA, marks[a])
        time.sleep(0.5)
        self.assertEqual([l for s in live for l in s.lines("messages") if l in cut], [], "a cut message shown")
        self.assertTrue(through, "no route through it")
        self.sec[2] = "%d of 30 routes through it, %d cut and reported by the hop before it, the others delivered " \
            "and acknowledged" % (through, len(cut))


class HarnessCatchesFaults(unittest.TestCase):
    # the LAN reports a station that prints a sanitizer report or exits non-zero

    def test_faults_fail_the_lan(self):
        with tempfile.TemporaryDirectory() as tmp:
            fake = pathlib.Path(tmp, "station")
            for body, fault in (('echo "==7==ERROR: AddressSanitizer: heap-use-after-free" >&2', "sanitizer"),
                                ('echo "a.cpp:1:2: runtime error: signed integer overflow" >&2', "sanitizer"),
                                ("exit 3", "exit code 3"), ("", None), ("killed", None)):
                fake.write_text("#!/bin/sh\nread line\n%s\n" % body)
                fake.chmod(0o755)
                net = lan.Lan(1)
                st = net.start_station(net.hosts[0], binary=str(fake))
                st.kill(signal.SIGKILL) if body == "killed" else st.quit()
                self.assertRaisesRegex(AssertionError, fault, net.close) if fault else net.close()


if __name__ == "__main__":
    unittest.main()
