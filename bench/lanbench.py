#!/usr/bin/python3
"""LAN benchmarks: real headless stations on the test LAN of network namespaces.

    lanbench.py --bench-net build-bench/bench/bench_net --out lan.json [--skip full,unplugged,vanished]
                [--traced build-bench-trace/app/cibula]

CIBULA_BIN names the station binary. Each run, on namespaces of its own
(lanlab/lan.py), measures what a target in report.py compares, or its floor;
the timeline, of a station built with -DCIBULA_TRACE=ON (--traced), times
each stage of a message. Times are time.monotonic() here and CLOCK_MONOTONIC
in bench_net and the trace, one clock.
"""
import argparse
import bisect
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lanlab"))
import lan  # noqa: E402
import wire as rp  # noqa: E402

PORT = 10012
FLOOR_PORT = 10013  # bench_net's servers beside a station
DOBA = re.compile(r"DOBA PRENOSU: (\d+)ms\.")
TEXT_LEN = 20  # one MESS block, like the micro-benchmarks' text
ROUTE = 3  # relays of every message: the route the latency target names
MESSAGES = 200
RELAY_SECONDS = 4.0
# At most this many packets in flight keeps the relay's queue short of its
# listen backlog: a full backlog drops SYNs, and a dropped SYN costs a second.
RELAY_WINDOW = 8
# Every connection a relay makes to its one next hop leaves a TIME_WAIT socket
# for a minute; once some 14,000 of them hold half of the local port range,
# connect() searches the whole range each time and the rate falls tenfold,
# for the station and for the forwarder alike. Rates are taken before that.
BEFORE_PORTS_RUN_OUT = 10000
RNG = random.Random(12)
BENCH_NET = TRACED = MICRO = None
SIX_RUNS = 3  # the six-station set, for a median of its ratios
TIMELINE_MESSAGES = 100


def text_for(tag, i):
    return ("%s-%d" % (tag, i) + "x" * TEXT_LEN)[:TEXT_LEN]


def tool(net, host, *args):
    return net.start_proc(host, [BENCH_NET, *map(str, args)])


def of(proc, kind):
    """The fields of the tool's output lines of one kind."""
    return [f[1:] for f in (line.split() for line in proc.lines("stdout")) if f[:1] == [kind]]


def micro_medians(benchmarks):
    """Each micro-benchmark's median in µs by name (BM_CreateOnion/3, ...), and
    beside an onion's, as NAME alone, its blocks encrypted alone."""
    med = {}
    for b in benchmarks:
        if b.get("aggregate_name") == "median" and not b.get("error_occurred"):
            name = b["name"].split("/min_time")[0]
            med[name] = b["real_time"] * {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
            med[name + " alone"] = b.get("pure_crypt_us")
    return med


def crypto_floor():
    """The floor's cryptography, measured here and now by the micro-benchmarks
    (µs): the machine's speed drifts by a fifth over minutes, so a floor taken
    at the start of the run would not be the floor of what is timed later."""
    got = subprocess.run([MICRO, "--benchmark_filter=^BM_(DecryptBlock|CreateOnion/%d|RelayPeel)/" % ROUTE,
                          "--benchmark_enable_random_interleaving=true", "--benchmark_format=json"],
                         capture_output=True, text=True, check=True).stdout
    med = micro_medians(json.loads(got)["benchmarks"])
    return {"decrypt": med["BM_DecryptBlock"], "peel": med["BM_RelayPeel"],
            "alone": med["BM_CreateOnion/%d alone" % ROUTE]}


def finish(proc, timeout):
    """Waits until the tool has exited and all it printed has been read."""
    proc.wait(timeout)
    proc.wait_record(lambda r: r[1] == "eof-out", 5)


def datagram(ear, src, head, since):
    """When bench_net udplisten heard a datagram `head` from src, in s; None after 5 s."""
    def match(r):
        f = r[2].split()
        return f[:1] == ["udp"] and f[2] == src and bytes.fromhex(f[3]).startswith(head)
    r = ear.wait_record(match, 5, since)
    return r and int(r[1][2].split()[1]) / 1e9


def wait_all_listed(stations, timeout, since=None):
    """When (monotonic) the last station came to list all the others, from
    `since` (a mark per station) on; None if not within `timeout` s."""
    def others(s):
        return {t.addr for t in stations if t is not s}
    end = time.monotonic() + timeout
    if not all(s.wait_stations(others(s), max(0.0, end - time.monotonic())) for s in stations):
        return None
    return max(next((t for t, pane, text in s.entries(since[s] if since else 0)
                     if pane == "stations" and set(text.split()) == others(s)), 0.0) for s in stations)


# ---------------------------------------------------------------- floor

def measure_hop(net, client, server, count=300, size=128):
    """The per-hop floor, p50 in µs: from the sender's socket() until the receiver
    read EOF; and the p50 of its parts, named as in the timeline."""
    srv = tool(net, server, "serve", FLOOR_PORT)
    time.sleep(0.1)
    cli = tool(net, client, "ccs", server.addr, FLOOR_PORT, count, size, 1000)
    finish(cli, 60)
    srv.wait_until(lambda: len(of(srv, "eof")) >= count, 5)
    # the first connections warm caches and ARP
    pairs = [([int(t) for t in s], [int(t) for t in e]) for s, e in zip(of(cli, "ccs"), of(srv, "eof"))][count // 20:]
    srv.stop()
    p50 = lambda f: statistics.median(f(s, e) / 1000 for s, e in pairs)
    return p50(lambda s, e: e[0] - s[0]), {
        "connect": p50(lambda s, e: s[2] - s[0]), "connected": p50(lambda s, e: s[3] - s[2]),
        "sent": p50(lambda s, e: s[4] - s[3]), "eof": p50(lambda s, e: e[0] - s[4]),
        "accept_eof": p50(lambda s, e: e[0] - e[1])}


# ---------------------------------------------------------------- latency

def one_at_a_time(stations, want):
    """Messages one at a time until `want` took ROUTE relays: [(writer, relays,
    recipient, sent, DOBA PRENOSU seen)], addresses and monotonic s; and the tries."""
    done, tries = [], 0
    while len(done) < want and tries < 3 * want:
        tries += 1
        a, r = RNG.sample(stations, 2)
        m = a.mark()
        text = text_for("l", tries)
        t0 = time.monotonic()
        a.send_msg(r.addr, ROUTE, text)
        i = a.wait_for_line("messages", DOBA, 5, m)
        relays = a.route(m, r.addr)
        if i is None or relays is None or len(relays) != ROUTE:
            continue
        done.append((a.addr, relays, r.addr, t0, a.when(i)))
        # the relays' and the recipient's printing ends before the next send
        r.wait_for_line("messages", "%s -> JA : %s" % (a.addr, text), 2, 0)
    return done, tries


def latency(stations, want):
    """Send → DOBA PRENOSU in µs, one message at a time, until `want` took ROUTE relays."""
    done, tries = one_at_a_time(stations, want)
    return {"us": [(seen - sent) * 1e6 for *_, sent, seen in done], "tries": tries}


# ---------------------------------------------------------------- timeline

def read_trace(path):
    """A traced station's events: {(stage, peer or None): [monotonic s, rising]}."""
    ev = {}
    with open(path) as f:
        for stage, ns, peer in (line.split() for line in f):
            for key in ((stage, peer), (stage, None)):
                ev.setdefault(key, []).append(int(ns) / 1e9)
    return ev


def steps(writer, relays, recipient):
    """One message's events on its path, in the order they happen: (row, host,
    stage, peer); a row is the stretch of time that ends with its event. Hop k
    (k = ROUTE + 2 is the ACK) goes from a station's socket() to the next one's
    end of file."""
    out = [("input", writer, "input", None), ("onion", writer, "onion", None), ("route", writer, "route_saved", None)]
    path = [writer] + relays + [recipient, writer]
    for k, (s, n) in enumerate(zip(path, path[1:]), 1):
        out += [("shown", s, "shown", None)] if k == ROUTE + 2 else []  # the recipient, before the ACK
        out += [("%d %s" % (k, row), s, stage, n) for row, stage in
                (("socket", "socket"), ("connect", "connecting"), ("connected", "connected"), ("sent", "sent"))]
        out += [("%d eof" % k, n, "eof", s)]
        out += [("%d peel" % k, n, "peeled", None)] if k <= ROUTE + 1 else \
            [("doba", n, "doba", s), ("flushed", n, "flushed", None)]
    return out


def stages(traces, writer, relays, recipient, sent, seen):
    """{row: µs} of one message: the stretches of its path; beside them each
    relay's PRENOS line on its standard output (from the hop's event before
    it), each accept to its end of file, and the DOBA PRENOSU record. None
    where an event is missing."""
    def first(host, stage, peer, after):
        times = traces[host].get((stage, peer), [])
        i = bisect.bisect_left(times, after)
        return times[i] if i < len(times) else None
    at, us, when = sent, {}, {}
    for row, host, stage, peer in steps(writer, relays, recipient):
        t = first(host, stage, peer, at)
        if t is None:
            return None
        us[row], at = (t - at) * 1e6, t
        when[row] = t
    path = [writer] + relays + [recipient, writer]
    for k, (s, n) in enumerate(zip(path, path[1:]), 1):
        line = first(s, "relayed", n, when["%d connect" % k]) if 1 < k <= ROUTE + 1 else None
        line = line and first(s, "flushed", None, line)
        if line:
            us["%d line" % k] = (line - max(t for t in (when["%d %s" % (k, e)] for e in ("connect", "connected", "sent"))
                                            if t <= line)) * 1e6
        accepted = first(n, "accepted", s, when["%d socket" % k])
        if accepted and accepted <= when["%d eof" % k]:
            us["%d accept_eof" % k] = (when["%d eof" % k] - accepted) * 1e6
    saved = first(writer, "doba_saved", None, when["doba"])
    us["doba saved"] = saved and (saved - when["doba"]) * 1e6
    us["seen"], us["total"] = (seen - at) * 1e6, (seen - sent) * 1e6
    return us


def timeline():
    """The traced station's stages: six stations, messages over ROUTE relays one
    at a time; each message's events found in the stations' traces, in order."""
    with lan.Lan(6) as net:
        stations = [net.start_station(h, binary=TRACED, env=dict(os.environ, CIBULA_TRACE_FILE=h.cwd + "/trace"))
                    for h in net.hosts]
        if wait_all_listed(stations, 20) is None:
            raise RuntimeError("the six traced stations did not find each other")
        time.sleep(0.3)
        crypto = MICRO and crypto_floor()
        done, _ = one_at_a_time(stations, TIMELINE_MESSAGES)
        for s in stations:
            s.quit(5)  # the trace is written at exit
        traces = {s.addr: read_trace(s.host.cwd + "/trace") for s in stations}
    per = [m for m in (stages(traces, *d) for d in done) if m]
    rows = {k for m in per for k in m}
    return {"messages": len(per), "of": len(done), "crypto": crypto,
            "us": {k: statistics.median(v) for k in rows if (v := [m[k] for m in per if m.get(k) is not None])}}


# ---------------------------------------------------------------- relay

def feed(net, feeder, to, port, packet, seconds):
    """bench_net relayload: `packet` to `to` over and over; the times sent and back, in s."""
    load = tool(net, feeder, "relayload", to, port, packet.hex(), seconds, RELAY_WINDOW)
    finish(load, seconds + 20)
    return [int(t[0]) / 1e9 for t in of(load, "sent")], [int(t[0]) / 1e9 for t in of(load, "back")]


def steady_rate(sent, done):
    """Packets done per second, half a second in from either end of the feeding."""
    if not sent or not done:
        return None
    lo, hi = sent[0] + 0.5, sent[-1] - 0.5
    if len(done) > BEFORE_PORTS_RUN_OUT:
        hi = min(hi, sorted(done)[BEFORE_PORTS_RUN_OUT])
    return len([t for t in done if lo <= t <= hi]) / (hi - lo)


def relay_rates(net, relay, feeder, key):
    """PRENOS lines per second at a relay fed 2-block packets, and bench_net's
    forwarder (a relay without crypto) beside it fed alike, as long."""
    inner = bytes(random.Random(5).getrandbits(8) for _ in range(rp.CIPHER))
    m = relay.mark()
    sent, back = feed(net, feeder, relay.addr, PORT, rp.encrypt(rp.ip_layer(feeder.addr, inner), *key),
                      RELAY_SECONDS)
    want = "PRENOS: %s -> %s -> %s" % (feeder.addr, relay.addr, feeder.addr)
    relay.wait_until(lambda: relay.lines("transfers", m).count(want) >= len(back), 3)
    prenos = [t for t, pane, text in relay.entries(m) if pane == "transfers" and text == want]
    out = {"relay": steady_rate(sent, prenos)}
    # relayload sinks on the port it sends to, so the forwarder sends back there
    fwd = tool(net, relay.host, "forward", FLOOR_PORT, feeder.addr, FLOOR_PORT)
    time.sleep(0.1)
    out["forward"] = steady_rate(*feed(net, feeder, relay.addr, FLOOR_PORT, bytes(2 * rp.CIPHER), RELAY_SECONDS))
    fwd.stop()
    return out


def six_stations():
    """Hop, latency and relay on stations at hosts 1-6; host 7 feeds the relay,
    and its listener hears the HELLO that gives the relay's key."""
    with lan.Lan(7) as net:
        ear = tool(net, net.hosts[6], "udplisten", PORT)
        ear.wait_record(lambda r: r[2] == "ready", 5)
        stations = net.start_stations(net.hosts[:6])
        if wait_all_listed(stations, 20) is None:
            raise RuntimeError("the six stations did not find each other")
        time.sleep(0.3)
        out = dict(zip(("hop_us", "hop_parts"), measure_hop(net, net.hosts[0], net.hosts[1])))
        out["crypto"] = MICRO and crypto_floor()
        out["latency"] = latency(stations, MESSAGES)
        relay = stations[0]
        heard = [bytes.fromhex(f[2]) for f in of(ear, "udp") if f[1] == relay.addr]
        key = next(k for k in (rp.parse_key_message(b"HELLO", d) for d in heard) if k)
        out.update(relay_rates(net, relay, net.hosts[6], key))
    return out


# ---------------------------------------------------------------- start-up

def startup(starts=20):
    """Start → HELLO heard on another host, in ms; and a program that only broadcasts."""
    with lan.Lan(2) as net:
        host, other = net.hosts
        ear = tool(net, other, "udplisten", PORT)
        ear.wait_record(lambda r: r[2] == "ready", 5)
        out = {"station_ms": [], "ping_ms": []}
        for _ in range(starts):
            m, t0 = ear.mark(), time.monotonic()
            st = lan.Station(host)
            t = datagram(ear, host.addr, b"HELLO", m)
            if t is not None:
                out["station_ms"].append((t - t0) * 1000)
            m = ear.mark()
            st.quit(5)
            st.stop()
            datagram(ear, host.addr, b"BYE", m)  # gone before the next one starts
            m, t0 = ear.mark(), time.monotonic()
            p = tool(net, host, "ping", PORT)
            t = datagram(ear, host.addr, b"PING", m)
            if t is not None:
                out["ping_ms"].append((t - t0) * 1000)
            p.wait(5)
            p.stop()
    return out


# ---------------------------------------------------------------- many stations

def send_all(stations, senders, per_sender, timeout):
    """per_sender messages from each sender to others, all at once: how many
    were delivered and acknowledged within `timeout` s."""
    marks = {s: s.mark() for s in stations}
    time.sleep(0.2)
    sends = []
    for s in senders:
        batch = [(s, RNG.choice([t for t in stations if t is not s]), text_for("s%d" % s.host.index, j))
                 for j in range(per_sender)]
        s.popen.stdin.write("".join("send %s %d %s\n" % (r.addr, ROUTE, text) for _, r, text in batch).encode())
        s.popen.stdin.flush()
        sends += batch

    def counts():
        got = sum("%s -> JA : %s" % (a.addr, text) in r.lines("messages", marks[r]) for a, r, text in sends)
        acks = sum(len([l for l in s.lines("messages", marks[s]) if DOBA.fullmatch(l)]) for s in senders)
        return got, acks

    end = time.monotonic() + timeout
    while time.monotonic() < end and counts() != (len(sends), len(sends)):
        time.sleep(0.1)
    delivered, acked = counts()
    return {"messages": len(sends), "delivered": delivered, "acked": acked}


def many(n, per_sender, list_timeout, send_timeout, unplugged=0, killed=0, senders=None):
    """n stations started at once; the last `unplugged` of them plugged in 5 s
    after the last start, or the last `killed` killed without BYE once all
    have heard all announce twice. Seconds until every (live) station lists
    all the other live ones, from the first start and from the last start,
    plug-in or kill; then per_sender messages from each of the first
    `senders` (live) stations."""
    with lan.Lan(n - unplugged) as net:
        late = net.add_hosts(unplugged, plugged=False) if unplugged else []
        t0 = time.monotonic()
        stations = net.start_stations()
        t_from, marks = time.monotonic(), None
        if late:
            time.sleep(5.0)
            for h in late:
                h.plug()
            t_from = time.monotonic()
        if killed:
            t_all = wait_all_listed(stations, 60)
            # Once all list all, all are listening: each station's next two
            # HELLOs (the last at most 4.4 s + 32.5 s later) reach every other;
            # a station heard announcing only once is never forgotten.
            time.sleep(max(0.0, (t_all or time.monotonic()) + 37 - time.monotonic()))
            stations, gone = stations[:n - killed], stations[n - killed:]
            marks = {s: s.mark() for s in stations}
            t_from = time.monotonic()
            for s in gone:
                s.kill(signal.SIGKILL)
            for s in gone:
                s.wait()
        t = wait_all_listed(stations, list_timeout, marks)
        out = {"listed_s": t and t - t0, "listed_after_s": t and t - t_from}
        if per_sender:
            out.update(send_all(stations, stations[:senders], per_sender, send_timeout))
    return out


RUNS = (("six", lambda: [six_stations() for _ in range(SIX_RUNS)]),
        ("timeline", lambda: TRACED and timeline()),
        ("startup", startup),
        ("scale", lambda: many(32, 10, 20, 30)),
        ("full", lambda: many(254, 2, 60, 60)),
        ("unplugged", lambda: many(64, 0, 60, 0, unplugged=16)),
        ("vanished", lambda: many(64, 4, 130, 30, killed=16, senders=32)))


def main():
    global BENCH_NET, TRACED, MICRO
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench-net", required=True)
    ap.add_argument("--traced", help="a station built with -DCIBULA_TRACE=ON: the timeline's")
    ap.add_argument("--micro", help="cibula_micro: the cryptography's floor measured beside each pass")
    ap.add_argument("--out", required=True)
    ap.add_argument("--skip", default="", help="runs to leave out of " + ",".join(n for n, _ in RUNS)
                    + "; full,unplugged,vanished take some four and a half minutes together")
    a = ap.parse_args()
    lan.require()  # root, ip netns and the station binary; removes what crashed runs left
    BENCH_NET = os.path.abspath(a.bench_net)
    TRACED = a.traced and os.path.abspath(a.traced)
    MICRO = a.micro and os.path.abspath(a.micro)
    out = {"when": time.strftime("%Y-%m-%d %H:%M:%S")}
    for name, run in RUNS:
        if name not in a.skip.split(","):
            t0 = time.monotonic()
            out[name] = run()
            print("lanbench: %s took %.0f s" % (name, time.monotonic() - t0), file=sys.stderr, flush=True)
    with open(a.out, "w") as f:
        json.dump(out, f)


if __name__ == "__main__":
    main()
