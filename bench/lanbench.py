#!/usr/bin/python3
"""LAN benchmarks: real headless stations on the test LAN of network namespaces.

    lanbench.py --bench-net build-bench/bench/bench_net --out lan.json [--skip full,unplugged]

CIBULA_BIN names the station binary.  Runs, each on namespaces it makes and
removes (lanlab/lan.py):

  floor      connect-send-close between two station namespaces (bench_net)
  latency    messages over routes of 0, 1, 3 and 8 relays between six stations
  relay      one station relaying packets that bench_net feeds it and sinks
  startup    starting a station until its HELLO is heard on another host
  scale      32 stations started at once; then 10 messages from each
  full       254 stations (a full /24) started at once; then 2 messages from
             each over 3 relays, all at once
  unplugged  64 stations, 16 of them started with their links unplugged and
             plugged in 5 s later; until all list all
  vanished   64 stations, 16 of them killed without BYE once all have heard
             each other announce twice; until every live station lists
             exactly the live ones; then 4 messages from each of the first
             32 live stations over 3 relays

The three longest, full, unplugged and vanished, take some four and a half
minutes together (vanished alone two and a half: it waits out 100 s of
silence): --skip full,unplugged,vanished leaves them out.  Every run is
bounded: what has not come by its timeout is counted as missing, not waited
for.

Every time is time.monotonic() of this process or CLOCK_MONOTONIC of
bench_net, the same clock.  Results go to --out as JSON; scripts/bench turns
them into the table.
"""
import argparse
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lanlab"))
import lan  # noqa: E402
import wire as rp  # noqa: E402

PORT = 10012
FLOOR_PORT = 10013  # the connect-send-close server beside a station
DOBA = re.compile(r"DOBA PRENOSU: (\d+)ms\.")
TEXT_LEN = 20  # one MESS block, like the micro-benchmarks' text


def log(*a):
    print("lanbench:", *a, file=sys.stderr, flush=True)


def text_for(tag, i):
    t = "%s-%d" % (tag, i)
    return (t + "x" * TEXT_LEN)[:TEXT_LEN]


def pct(values, q):
    """The q-quantile (0..1) by linear interpolation; None when empty."""
    if not values:
        return None
    v = sorted(values)
    pos = (len(v) - 1) * q
    lo = int(pos)
    hi = min(lo + 1, len(v) - 1)
    return v[lo] + (v[hi] - v[lo]) * (pos - lo)


def summary(values):
    return {"n": len(values), "p50": pct(values, 0.5), "p99": pct(values, 0.99),
            "min": min(values) if values else None, "max": max(values) if values else None}


class Tool(lan.Proc):
    """bench_net in a host namespace; stdout lines are (kind, [fields])."""
    binary = None

    def __init__(self, host, *args):
        super().__init__(host, [Tool.binary, *map(str, args)])

    def _parse(self, line):
        parts = line.split()
        return (parts[0], parts[1:]) if parts else ("stdout", [])

    def of(self, kind, since=0):
        return self.lines(kind, since)


def start_tool(net, host, *args):
    return net.track(Tool(host, *args))


def cpu_seconds(proc):
    """User + system CPU time the process has used so far."""
    with open("/proc/%d/stat" % proc.popen.pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def finish(tool, timeout):
    """Waits until the tool has exited and all it printed has been read."""
    tool.wait(timeout)
    tool.wait_record(lambda r: r[1] == "eof-out", 5)


NETSTAT_KEYS = ("ListenOverflows", "ListenDrops", "TCPSynRetrans", "TCPTimeouts")


def tcp_counters(hosts):
    """Kernel TCP counters summed over the hosts' namespaces: listen queue
    overflows (SYNs dropped because the accept queue was full) and the
    retransmissions they cause."""
    total = dict.fromkeys(NETSTAT_KEYS, 0)
    for h in hosts:
        out = h.run("cat", "/proc/net/netstat", capture_output=True, text=True).stdout.splitlines()
        for names, values in zip(out[::2], out[1::2]):
            if names.startswith("TcpExt:"):
                for k, v in zip(names.split()[1:], values.split()[1:]):
                    if k in total:
                        total[k] += int(v)
    return total


def wait_all_listed(stations, timeout, since=None):
    """Time (monotonic) when every station lists all the others, or None.
    With `since` (a mark per station), only its lines from there on count."""
    end = time.monotonic() + timeout
    for s in stations:
        want = {t.addr for t in stations if t is not s}
        if not s.wait_stations(want, max(0.0, end - time.monotonic())):
            return None
    # the moment of the last stations line that completed a list
    last = 0.0
    for s in stations:
        want = {t.addr for t in stations if t is not s}
        with s.cond:
            for t, pane, text in s.entries(since[s] if since else 0):
                if pane == "stations" and set(text.split()) == want:
                    last = max(last, t)
                    break
    return last


# ---------------------------------------------------------------- floor

def measure_hop(net, client_host, server_host, count=300, size=128):
    """connect-send-close from client_host to a server in server_host:
    'send' = the sender's own time (socket() to close()), 'hop' = from the
    sender's socket() until the receiver has read to EOF."""
    srv = start_tool(net, server_host, "serve", FLOOR_PORT)
    time.sleep(0.1)
    cli = start_tool(net, client_host, "ccs", server_host.addr, FLOOR_PORT, count, size, 1000)
    finish(cli, 60)
    srv.wait_until(lambda: len(srv.of("eof")) >= count, 5)
    sent = cli.of("ccs")
    eofs = srv.of("eof")
    srv.stop()
    send_us = [(int(b) - int(a)) / 1000 for a, b in sent]
    hop_us = [(int(e[0]) - int(s[0])) / 1000 for s, e in zip(sent, eofs)]
    drop = count // 20  # the first connections warm caches and ARP
    return {"send": summary(send_us[drop:]), "hop": summary(hop_us[drop:]),
            "failed": len(cli.of("fail"))}


# ---------------------------------------------------------------- latency

def harness_round_trip(stations, count, rng):
    """A command that the station answers at once, without crypto or sockets
    (a recipient it does not know): the harness's own share of every latency,
    stdin to the station and its pane lines back."""
    us = []
    for i in range(count):
        a = rng.choice(stations)
        m = a.mark()
        t0 = time.monotonic()
        a.send_msg("10.213.0.250", 0, text_for("rt", i))
        j = a.wait_for_line("messages", "Stanica neexistuje.", 5, m)
        if j is not None:
            us.append((a.when(j) - t0) * 1e6)
    return summary(us)


def latency(stations, route_len, want, max_tries, rng):
    """Sends one message at a time until `want` of them took exactly
    route_len relays; returns harness and station times in microseconds."""
    harness_us, station_ms, tries, other_len, lost = [], [], 0, 0, 0
    while len(harness_us) < want and tries < max_tries:
        tries += 1
        a, r = rng.sample(stations, 2)
        m = a.mark()
        text = text_for("l%d" % route_len, tries)
        t0 = time.monotonic()
        a.send_msg(r.addr, route_len, text)
        i = a.wait_for_line("messages", DOBA, 5, m)
        if i is None:
            lost += 1
            continue
        t1 = a.when(i)
        relays = a.route(m, r.addr)
        if relays is None or len(relays) != route_len:
            other_len += 1
            continue
        harness_us.append((t1 - t0) * 1e6)
        station_ms.append(int(DOBA.fullmatch(a.entries(i)[0][2]).group(1)))
        # the relays' and the recipient's printing ends before the next send
        r.wait_for_line("messages", "%s -> JA : %s" % (a.addr, text), 2, 0)
    return {"harness_us": harness_us, "station_ms": station_ms, "tries": tries,
            "other_route_length": other_len, "lost": lost}


# ---------------------------------------------------------------- relay

# Every connection a relay makes to its one next hop leaves a TIME_WAIT socket
# for a minute; once some 14,000 of them hold half of the local port range,
# connect() searches the whole range each time and the rate falls tenfold,
# for the station and for the forwarder alike. Rates are taken before that.
BEFORE_PORTS_RUN_OUT = 10000


def steady(sent, done):
    """The feeding's steady state: from half a second after the first packet
    to half a second before the last, or to the BEFORE_PORTS_RUN_OUT-th
    connection onwards if that comes first."""
    lo, hi = sent[0] + 0.5, sent[-1] - 0.5
    if len(done) > BEFORE_PORTS_RUN_OUT:
        hi = min(hi, sorted(done)[BEFORE_PORTS_RUN_OUT])
    return lo, hi

def forward_throughput(net, relay_host, feeder_host, seconds, window):
    """The same feeding of a relay without crypto (bench_net forward beside
    the station, on another port): the network's share of a relay's work
    per packet, accept and read one connection, make another."""
    # relayload sinks on the port it sends to, so the forwarder sends back there
    fwd = start_tool(net, relay_host, "forward", FLOOR_PORT, feeder_host.addr, FLOOR_PORT)
    time.sleep(0.1)
    path = os.path.join(feeder_host.cwd, "forward.bin")
    with open(path, "wb") as f:
        f.write(bytes(2 * rp.CIPHER))
    load = start_tool(net, feeder_host, "relayload", relay_host.addr, FLOOR_PORT, path, seconds, window)
    cpu0 = cpu_seconds(fwd)
    finish(load, seconds + 20)
    cpu = cpu_seconds(fwd) - cpu0
    fwd.stop()
    back = [int(t[0]) / 1e9 for t in load.of("back")]
    sent = [int(t[0]) / 1e9 for t in load.of("sent")]
    if not sent or not back:
        return {"error": "nothing forwarded"}
    lo, hi = steady(sent, back)
    rate = len([t for t in back if lo <= t <= hi]) / (hi - lo)
    return {"rate": rate, "us_per_packet": 1e6 / rate, "cpu_us_per_packet": cpu / len(back) * 1e6,
            "packets": len(back), "steady_s": hi - lo}


def relay_throughput(net, relay, feeder_host, relay_key, seconds, window):
    e, n = relay_key
    inner = bytes(random.Random(5).getrandbits(8) for _ in range(rp.CIPHER))
    packet = rp.encrypt(rp.ip_layer(feeder_host.addr, inner), e, n)
    path = os.path.join(feeder_host.cwd, "packet.bin")
    with open(path, "wb") as f:
        f.write(packet)
    m = relay.mark()
    load = start_tool(net, feeder_host, "relayload", relay.addr, PORT, path, seconds, window)
    before = tcp_counters([relay.host, feeder_host])
    cpu0 = cpu_seconds(relay)
    finish(load, seconds + 20)
    cpu = cpu_seconds(relay) - cpu0
    sent = [int(t[0]) / 1e9 for t in load.of("sent")]
    back = [int(t[0]) / 1e9 for t in load.of("back")]
    done = load.of("done")
    want = "PRENOS: %s -> %s -> %s" % (feeder_host.addr, relay.addr, feeder_host.addr)
    relay.wait_until(lambda: len([1 for l in relay.lines("transfers", m) if l == want]) >= len(back), 3)
    with relay.cond:
        prenos = [t for t, pane, text in relay.entries(m) if pane == "transfers" and text == want]
    if not sent or not prenos:
        return {"error": "nothing relayed", "done": done}
    lo, hi = steady(sent, prenos)
    in_steady = [t for t in prenos if lo <= t <= hi]
    steady_back = [t for t in back if lo <= t <= hi]
    series = [t - sent[0] for t in prenos]
    return {"packet_blocks": len(packet) // rp.CIPHER, "window": window,
            "sent": len(sent), "back": len(back), "prenos_lines": len(prenos),
            "rate_prenos": len(in_steady) / (hi - lo), "rate_back": len(steady_back) / (hi - lo), "steady_s": hi - lo,
            "done": done, "series": series, "cpu_us_per_packet": cpu / len(prenos) * 1e6,
            "tcp": {k: v - before[k] for k, v in tcp_counters([relay.host, feeder_host]).items()}}


# ---------------------------------------------------------------- start-up

def startup(starts):
    with lan.Lan(2) as net:
        host, ear = net.hosts
        listener = start_tool(net, ear, "udplisten", PORT)
        if not listener.wait_record(lambda r: r[1] == "ready", 5):
            raise RuntimeError("udp listener did not start")

        def heard(src, head, since):
            r = listener.wait_record(lambda r: r[1] == "udp" and r[2][1] == src and r[2][3] == head, 5, since)
            return r and int(r[1][2][0]) / 1e9

        station_ms, ping_ms = [], []
        for i in range(starts):
            m = listener.mark()
            t0 = time.monotonic()
            st = lan.Station(host)
            t = heard(host.addr, "HELLO", m)
            if t is not None:
                station_ms.append((t - t0) * 1000)
            m = listener.mark()
            st.quit(5)
            st.stop()
            heard(host.addr, "BYE", m)  # gone before the next one starts
            # the floor: a program that only broadcasts, started the same way
            m = listener.mark()
            t0 = time.monotonic()
            p = Tool(host, "ping", PORT)
            t = heard(host.addr, "PING", m)
            if t is not None:
                ping_ms.append((t - t0) * 1000)
            p.wait(5)
            p.stop()
        listener.stop()
    return {"station_ms": station_ms, "ping_ms": ping_ms}


# ---------------------------------------------------------------- scale

def neigh_overflows():
    """How many "neighbor table overflow" lines the kernel log holds (None
    where it cannot be read): the shared neighbour table running full."""
    r = subprocess.run(["dmesg"], capture_output=True, text=True)
    return r.stdout.count("table overflow") if r.returncode == 0 else None


def scale(n, per_station, route_len, rng, list_timeout, deliver_timeout, unplugged=0, plug_after=5.0):
    """n stations started at once, the last `unplugged` of them on links
    that are plugged in plug_after s after the last start: the time until
    every station lists all the others (bounded by list_timeout from the
    last start, or from the last plug; what is still missing then is
    counted); then per_station messages from each over route_len relays,
    all sent at once."""
    run0 = time.monotonic()
    overflows = neigh_overflows()
    with lan.Lan(n - unplugged) as net:
        late = net.add_hosts(unplugged, plugged=False) if unplugged else []
        t0 = time.monotonic()
        build_s = t0 - run0
        stations = [net.start_station(h) for h in net.hosts]
        t_started = t_from = time.monotonic()
        if late:
            time.sleep(max(0.0, t_started + plug_after - time.monotonic()))
            for h in late:
                h.plug()
            t_from = time.monotonic()
        t_listed = wait_all_listed(stations, list_timeout)
        missing = {}
        for s in stations:
            gone = {t.addr for t in stations if t is not s} - set(s.stations() or ())
            if gone:
                missing[s.addr] = len(gone)
        out = {"stations": n, "unplugged": unplugged, "plug_after_s": plug_after, "build_s": build_s,
               "start_spread_s": t_started - t0, "list_timeout_s": list_timeout,
               "listed_s": None if t_listed is None else t_listed - t0,
               # from the last start, or from the last host plugged in
               "listed_after_s": None if t_listed is None else t_listed - t_from,
               "missing": missing, "missing_pairs": sum(missing.values()),
               "tcp_listing": tcp_counters(net.hosts)}
        if per_station:
            out.update(send_all(net, stations, per_station, route_len, rng, deliver_timeout, out["tcp_listing"]))
        out["running"] = sum(s.running() for s in stations)
    after = neigh_overflows()
    out["neigh_overflows"] = None if overflows is None or after is None else after - overflows
    out["run_s"] = time.monotonic() - run0
    return out


def send_all(net, stations, per_station, route_len, rng, deliver_timeout, tcp_listing, senders=None):
    """Every station (or every one of `senders`) sends its messages at once,
    all together, to recipients drawn from all the other stations; what came
    and when."""
    sends = []  # (time, sender, recipient, text)
    marks = {s: s.mark() for s in stations}
    time.sleep(0.2)
    for s in senders or stations:
        lines, batch = [], []
        for j in range(per_station):
            r = rng.choice([t for t in stations if t is not s])
            text = text_for("s%d" % s.host.index, j)
            lines.append("send %s %d %s" % (r.addr, route_len, text))
            batch.append((s, r, text))
        t = time.monotonic()
        s.popen.stdin.write(("\n".join(lines) + "\n").encode())
        s.popen.stdin.flush()
        sends += [(t, a, r, text) for a, r, text in batch]
    total = len(sends)

    def counts():
        acks = sum(len([l for l in s.lines("messages", marks[s]) if DOBA.fullmatch(l)]) for s in stations)
        got = 0
        for _, a, r, text in sends:
            if "%s -> JA : %s" % (a.addr, text) in r.lines("messages", marks[r]):
                got += 1
        return got, acks

    end = time.monotonic() + deliver_timeout
    while time.monotonic() < end and counts() != (total, total):
        time.sleep(0.1)
    delivered, acked = counts()
    deliver_us = []
    for t, a, r, text in sends:
        line = "%s -> JA : %s" % (a.addr, text)
        with r.cond:
            for rt, pane, txt in r.entries(marks[r]):
                if pane == "messages" and txt == line:
                    deliver_us.append((rt - t) * 1e6)
                    break
    # acknowledgements carry nothing to tell them apart: the k-th to come
    # back is matched with the k-th message sent (all left together)
    ack_us = []
    for s in stations:
        t_send = [t for t, a, _, _ in sends if a is s]
        with s.cond:
            t_ack = [rt for rt, pane, txt in s.entries(marks[s]) if pane == "messages" and DOBA.fullmatch(txt)]
        ack_us += [(ta - ts) * 1e6 for ts, ta in zip(t_send, t_ack)]
    errors = {}
    for s in stations:
        for l in s.lines("messages", marks[s]):
            if l.startswith("Chyba") or l.startswith("Doslo") or l.startswith("Prijem") or l == "Stanica neexistuje.":
                errors[l] = errors.get(l, 0) + 1
    tcp_after = tcp_counters(net.hosts)
    return {"per_station": per_station, "messages": total, "delivered": delivered, "acked": acked,
            "deliver_us": deliver_us, "ack_us": ack_us, "errors": errors,
            "tcp_messages": {k: v - tcp_listing[k] for k, v in tcp_after.items()}}


def vanished(n, k, senders, per_sender, route_len, rng, list_timeout, deliver_timeout):
    """n stations started at once; once every station has heard every other
    announce at least twice, the last k are killed (SIGKILL: no BYE): a
    station heard announcing only once is never forgotten. The time from
    the kill until every live station lists exactly the live ones (bounded
    by list_timeout; what is still wrong then is counted); then per_sender
    messages from each of the first `senders` live stations over route_len
    relays, all at once."""
    run0 = time.monotonic()
    overflows = neigh_overflows()
    with lan.Lan(n) as net:
        t0 = time.monotonic()
        build_s = t0 - run0
        stations = [net.start_station(h) for h in net.hosts]
        t_started = time.monotonic()
        t_all = wait_all_listed(stations, 60)
        # Once all list all, all are listening: each station's next two HELLOs
        # (the last at most 4.4 s + 32.5 s later) reach every other.
        time.sleep(max(0.0, (t_all or time.monotonic()) + 37 - time.monotonic()))
        live, gone = stations[:n - k], stations[n - k:]
        marks = {s: s.mark() for s in live}
        t_kill = time.monotonic()
        for s in gone:
            s.kill(signal.SIGKILL)
        for s in gone:
            s.wait()
        t_listed = wait_all_listed(live, list_timeout, marks)
        wrong, detail = {}, {}
        for s in live:
            want, has = {t.addr for t in live if t is not s}, set(s.stations() or ())
            if want != has:
                wrong[s.addr] = len(want ^ has)
                detail[s.addr] = {"still_listed": sorted(has - want), "not_listed": sorted(want - has)}
        out = {"stations": n, "killed": k, "build_s": build_s, "start_spread_s": t_started - t0,
               "all_listed_s": None if t_all is None else t_all - t0, "killed_after_s": t_kill - t_started,
               "list_timeout_s": list_timeout, "listed_after_s": None if t_listed is None else t_listed - t_kill,
               "missing": wrong, "missing_pairs": sum(wrong.values()),
               "wrong": detail, "tcp_listing": tcp_counters(net.hosts)}
        out.update(send_all(net, live, per_sender, route_len, rng, deliver_timeout, out["tcp_listing"],
                            senders=live[:senders]))
        out["running"] = sum(s.running() for s in live)
    after = neigh_overflows()
    out["neigh_overflows"] = None if overflows is None or after is None else after - overflows
    out["run_s"] = time.monotonic() - run0
    return out


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench-net", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--messages", type=int, default=200)
    ap.add_argument("--routes", default="0,1,3,8")
    ap.add_argument("--relay-seconds", type=float, default=4.0)
    ap.add_argument("--relay-window", type=int, default=8)
    ap.add_argument("--starts", type=int, default=20)
    ap.add_argument("--scale", type=int, default=32)
    ap.add_argument("--full", type=int, default=254, help="stations of the run 'full'")
    ap.add_argument("--unplugged", default="64,16", help="stations, of them unplugged at start, of the run 'unplugged'")
    ap.add_argument("--vanished", default="64,16,32,4",
                    help="stations, of them killed, senders among the live ones, messages from each, of the run 'vanished'")
    ap.add_argument("--only", default="floor,latency,relay,startup,scale,full,unplugged,vanished")
    ap.add_argument("--skip", default="", help="runs to leave out, e.g. full,unplugged,vanished (the longest)")
    a = ap.parse_args()
    why = lan.unavailable()
    if why:
        sys.exit("lanbench: the test LAN cannot be made here: " + why)
    lan.remove_stale()
    Tool.binary = os.path.abspath(a.bench_net)
    only = set(a.only.split(",")) - set(a.skip.split(","))
    rng = random.Random(12)
    out = {"when": time.strftime("%Y-%m-%d %H:%M:%S"), "loadavg": os.getloadavg()}

    if only & {"floor", "latency", "relay"}:
        # six stations on hosts 1-6; host 7 feeds and sinks the relay test.
        # host 7's listener hears every HELLO, which gives the relay's key.
        with lan.Lan(7) as net:
            ear = start_tool(net, net.hosts[6], "udplisten", PORT)
            ear.wait_record(lambda r: r[1] == "ready", 5)
            stations = net.start_stations(net.hosts[:6])
            if wait_all_listed(stations, 20) is None:
                raise RuntimeError("the six stations did not find each other")
            time.sleep(0.3)
            if "floor" in only or "latency" in only:
                log("floor: connect-send-close between two station hosts")
                out["hop"] = measure_hop(net, net.hosts[0], net.hosts[1])
            if "latency" in only:
                out["latency"] = {}
                log("latency: harness round trip")
                out["harness_rt"] = harness_round_trip(stations, a.messages, rng)
                for k in map(int, a.routes.split(",")):
                    log("latency: route of %d relays" % k)
                    out["latency"][str(k)] = latency(stations, k, a.messages, a.messages * 3, rng)
            if "relay" in only:
                relay = stations[0]
                hello = [f for f in ear.of("udp") if f[1] == relay.addr and f[3] == "HELLO"]
                key = rp.parse_key_message(b"HELLO", bytes.fromhex(hello[0][4]))
                log("relay: %s fed from %s for %.1f s" % (relay.addr, net.hosts[6].addr, a.relay_seconds))
                out["relay"] = relay_throughput(net, relay, net.hosts[6], key, a.relay_seconds, a.relay_window)
                log("relay: the same without crypto (bench_net forward)")
                # As long as the relay's run: every connection a relay makes leaves a
                # TIME_WAIT socket towards the one next hop, and the kernel's search
                # for a free local port in connect() grows with their number.
                out["forward"] = forward_throughput(net, relay.host, net.hosts[6], a.relay_seconds, a.relay_window)
            out["stderr"] = {s.addr: s.lines("stderr") for s in stations if s.lines("stderr")}

    if "startup" in only:
        log("startup: %d starts" % a.starts)
        out["startup"] = startup(a.starts)

    if "scale" in only:
        log("scale: %d stations" % a.scale)
        out["scale"] = scale(a.scale, 10, 3, rng, 20, 30)

    if "full" in only:
        log("full: %d stations, then 2 messages from each" % a.full)
        out["full"] = scale(a.full, 2, 3, rng, 60, 60)
        log("full: took %.0f s" % out["full"]["run_s"])

    if "unplugged" in only:
        n, k = map(int, a.unplugged.split(","))
        log("unplugged: %d stations, %d of them plugged in 5 s after the start" % (n, k))
        out["unplugged"] = scale(n, 0, 3, rng, 60, 0, unplugged=k, plug_after=5.0)
        log("unplugged: took %.0f s" % out["unplugged"]["run_s"])

    if "vanished" in only:
        n, k, senders, each = map(int, a.vanished.split(","))
        log("vanished: %d stations, %d of them killed without BYE; then %d messages from each of %d"
            % (n, k, each, senders))
        out["vanished"] = vanished(n, k, senders, each, 3, rng, 130, 30)
        log("vanished: took %.0f s" % out["vanished"]["run_s"])

    with open(a.out, "w") as f:
        json.dump(out, f)


if __name__ == "__main__":
    main()
