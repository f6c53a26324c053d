#!/usr/bin/python3
"""Turns the micro-benchmark JSON (Google Benchmark) and lanbench.py's JSON
into one Markdown table on standard output, and the plots (PNG, by gnuplot)
into the --plots folder.

Floors, all from the same run:
  crypt / decrypt     median time of one block (micro-benchmarks)
  decrypt references  the same key and block to the full power d mod n (the
                      decrypt of old), and OpenSSL's private operation
  create_onion        its layers' padded plaintexts encrypted alone with the
                      same keys, timed in the same iterations
  hop                 median time from a sender's socket() until the receiver
                      has read to EOF, between two station namespaces
  route of k relays   sender's layers (k+1)(k+2)/2 blocks crypted, the same
                      number decrypted by the relays and the recipient, and
                      k+2 hops (k+1 forward, one acknowledgement)
  relay               1 / (peel of a 2-block packet + one hop)
  start-up            a program that only broadcasts one datagram, started
                      the same way (ip netns exec)
"""
import argparse
import json
import os
import statistics
import subprocess
import time

from lanbench import BEFORE_PORTS_RUN_OUT, pct

HERE = os.path.dirname(os.path.abspath(__file__))


def micro_figures(path):
    """name -> median real time in microseconds; and the key generation times."""
    d = json.load(open(path))
    med, keygen = {}, []
    counters = {}
    for b in d["benchmarks"]:
        scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[b.get("time_unit", "ns")]
        base = b["name"].split("/min_time")[0].split("/iterations")[0].split("/repeats")[0]
        if b["name"].startswith("BM_KeyGen") and b.get("run_type") == "iteration":
            keygen.append(b["real_time"] * scale / 1000)  # ms
        elif b.get("aggregate_name") == "median":
            med[base] = b["real_time"] * scale
            counters[base] = b
    return med, keygen, counters, d.get("context", {})


def blocks(k):
    return (k + 1) * (k + 2) // 2


def f(v, digits=0):
    if v is None:
        return "—"
    return ("{:,.%df}" % digits).format(v).replace(",", " ")


def ratio(a, b):
    return "—" if a is None or not b else "%.2f×" % (a / b)


def ok(cond):
    return "" if cond is None else (" ✅" if cond else " ❌")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--micro", required=True)
    ap.add_argument("--lan", required=True)
    ap.add_argument("--plots", required=True)
    ap.add_argument("--started", type=float, default=None)
    ap.add_argument("--load-before", default="")
    a = ap.parse_args()

    med, keygen, counters, ctx = micro_figures(a.micro)
    lan = json.load(open(a.lan))
    c, d = med["BM_CryptBlock"], med["BM_DecryptBlock"]
    hop = lan.get("hop", {}).get("hop", {}).get("p50")
    rows = []

    def row(what, measured, floor=None, rat="—", target="", note=""):
        rows.append("| %s | %s | %s | %s | %s | %s |" % (what, measured, floor or "—", rat, target, note))

    # ---- micro-benchmarks
    row("key generation (512 bits), median of %d seeds" % len(keygen), f(pct(keygen, .5), 1) + " ms",
        note="p10–p90 %s–%s ms, min–max %s–%s ms" % (f(pct(keygen, .1), 1), f(pct(keygen, .9), 1),
                                                    f(min(keygen), 1), f(max(keygen), 1)))
    row("crypt, one block (63 → 64 B)", f(c, 1) + " µs", note="one modular exponentiation, 511-bit exponent")
    full, ossl = med.get("BM_DecryptBlockFullExponent"), med.get("BM_OpensslPrivateBlock")
    row("decrypt, one block (64 → 63 B)", f(d, 1) + " µs", note="two half-size exponentiations, modulo p and q")
    if full is not None:
        row("decrypt, one block, against the full exponent", f(d, 1) + " µs", f(full, 1) + " µs", ratio(d, full),
            "≤ 0.45×" + ok(d / full <= 0.45), "same key and block to the full power d mod n, as decrypt was before")
    if ossl is not None:
        row("decrypt, one block, against OpenSSL", f(d, 1) + " µs", f(ossl, 1) + " µs", ratio(d, ossl),
            "≤ 0.7×" + ok(d / ossl <= 0.7),
            "OpenSSL's raw private operation (EVP, no padding) on the same key and block; it blinds, and checks"
            " its result with e, which is 511 bits here")
    for sign, name in ((1, "d > 0"), (-1, "d < 0")):
        m = med.get("BM_DecryptBlockBySign/%d" % sign)
        mf = med.get("BM_DecryptBlockBySignFullExponent/%d" % sign)
        if m is not None:
            row("decrypt, one block, key with %s" % name, f(m, 1) + " µs", f(mf, 1) + " µs", ratio(m, mf),
                note="floor: the same key to the full exponent%s; the key generator gives d < 0 for about half"
                     " of the seeds" % (" (inverse, then power)" if sign < 0 else ""))
    m = med.get("BM_DecryptBlockAfterIdle")
    if m is not None:
        row("decrypt, one block, after 5 ms asleep", f(m, 1) + " µs", f(d, 1) + " µs", ratio(m, d),
            note="as a station meets a message: cold caches, idle CPU; not in the floors")
    for name, label in (("BM_PaneLine", "one pane line (Windows-1250 → UTF-8)"),
                        ("BM_StationsRepaint", "stations pane redrawn for 31 stations"),
                        ("BM_TranscriptLine", "one transcript line appended")):
        if name in med:
            row(label, f(med[name], 2) + " µs", note="in process, no stdout")
    for k in (0, 1, 3, 8, 10, 37):
        m = med.get("BM_CreateOnion/%d" % k)
        if m is not None:
            fl = counters["BM_CreateOnion/%d" % k].get("pure_crypt_us")
            row("create_onion, %d relays" % k, f(m, 1) + " µs", f(fl, 1) + " µs", ratio(m, fl),
                "≤ 1.1×" + ok(m / fl <= 1.1) if k in (1, 3, 8) and fl else "",
                "floor: its %d blocks encrypted alone, same keys, same iterations; %d × one block: %s"
                % (blocks(k), blocks(k), ratio(m, blocks(k) * c)))
    for b in (2, 4, 39):
        m = med.get("BM_RelayPeel/%d" % b)
        if m is not None:
            row("relay peel, %d-block packet" % b, f(m, 1) + " µs", f(b * d, 1) + " µs", ratio(m, b * d),
                note="decrypt, unpad, whole blocks, unframe")
    m, mf = med.get("BM_RelayPeel/2"), med.get("BM_RelayPeelFullExponent/2")
    if m is not None and mf is not None:
        row("relay peel, 2-block packet, against the full exponent", f(m, 1) + " µs", f(mf, 1) + " µs",
            ratio(m, mf), "≤ 0.5×" + ok(m / mf <= 0.5), "the same peel with the relay's key to the full power")
    if "BM_RecipientPeel" in med:
        m = med["BM_RecipientPeel"]
        row("recipient peel, 1 block", f(m, 1) + " µs", f(d, 1) + " µs", ratio(m, d))

    # ---- the hop
    if "hop" in lan:
        h = lan["hop"]
        row("connect-send-close, sender's own time", "p50 %s µs, p99 %s µs" % (f(h["send"]["p50"]), f(h["send"]["p99"])),
            note="%d connections, 128 B" % h["send"]["n"])
        row("hop: sender's socket() → receiver read EOF", "p50 %s µs, p99 %s µs" % (f(h["hop"]["p50"]), f(h["hop"]["p99"])),
            note="the per-hop floor")

    # ---- latency
    rt = lan.get("harness_rt")
    if rt and rt["n"]:
        row("harness round trip: send to an unknown station → 'Stanica neexistuje.'",
            "p50 %s µs, p99 %s µs" % (f(rt["p50"]), f(rt["p99"])),
            note="%d commands; stdin → station → two pane lines → harness, no crypto, no sockets" % rt["n"])
    for k, v in sorted(lan.get("latency", {}).items(), key=lambda kv: int(kv[0])):
        k = int(k)
        us, ms = v["harness_us"], v["station_ms"]
        if not us:
            row("latency, %d relays" % k, "no message came back")
            continue
        fl = blocks(k) * (c + d) + (k + 2) * hop
        p50, p99 = pct(us, .5), pct(us, .99)
        tgt = ""
        if k == 3:
            tgt = "p50 ≤ 1.3×%s, p99 ≤ 2×%s" % (ok(p50 / fl <= 1.3), ok(p99 / fl <= 2))
        row("latency, %d relays: send → DOBA PRENOSU (harness)" % k,
            "p50 %s µs, p99 %s µs" % (f(p50), f(p99)), f(fl) + " µs",
            "p50 %s, p99 %s" % (ratio(p50, fl), ratio(p99, fl)), tgt,
            "%d messages (%d sent, %d other route length, %d lost); station's own DOBA p50 %s ms, p99 %s ms;"
            " p50 / (floor + harness round trip) %s"
            % (len(us), v["tries"], v["other_route_length"], v["lost"], f(pct(ms, .5)), f(pct(ms, .99)),
               ratio(p50, fl + (rt["p50"] if rt and rt["n"] else 0))))

    # ---- relay throughput
    r = lan.get("relay")
    if r and "rate_prenos" in r:
        peel = med["BM_RelayPeel/2"]
        fl = 1e6 / (peel + hop)
        row("relay throughput (PRENOS lines/s at the relay)", f(r["rate_prenos"]) + " /s", f(fl) + " /s",
            ratio(r["rate_prenos"], fl), "≥ 0.80×" + ok(r["rate_prenos"] / fl >= 0.8),
            "%d packets of %d blocks, ≤ %d in flight, rate over %s s before the relay's local ports run out;"
            " relay CPU %s µs/packet over the whole run (floor %s µs); SYNs dropped %d"
            % (r["prenos_lines"], r["packet_blocks"], r["window"], f(r.get("steady_s"), 1),
               f(r["cpu_us_per_packet"]), f(peel + hop), r["tcp"]["ListenOverflows"]))
        fw = lan.get("forward")
        if fw and "rate" in fw:
            row("relay without crypto (bench_net forward, same feeding)", f(fw["rate"]) + " /s",
                note="%s µs per packet, CPU %s µs: accept + read one connection, make another"
                % (f(fw["us_per_packet"]), f(fw["cpu_us_per_packet"])))
            row("relay throughput against the relay without crypto", f(r["rate_prenos"]) + " /s",
                f(fw["rate"]) + " /s", ratio(r["rate_prenos"], fw["rate"]),
                "≥ 0.70×" + ok(r["rate_prenos"] / fw["rate"] >= 0.70),
                "same feeding, as long, rates before either has made %d connections to its next hop"
                % BEFORE_PORTS_RUN_OUT)
            fl2 = 1e6 / (peel + fw["us_per_packet"])
            row("relay throughput against peel + relay without crypto", f(r["rate_prenos"]) + " /s", f(fl2) + " /s",
                ratio(r["rate_prenos"], fl2), "", "a floor that counts both connections a relay handles")

    # ---- start-up
    s = lan.get("startup")
    if s and s["station_ms"]:
        m, fl = statistics.median(s["station_ms"]), statistics.median(s["ping_ms"]) if s["ping_ms"] else None
        row("start-up: start → HELLO heard on another host, median of %d" % len(s["station_ms"]),
            f(m, 1) + " ms", f(fl, 1) + " ms" if fl else None, ratio(m, fl), "< 150 ms" + ok(m < 150),
            "min–max %s–%s ms; floor = a program that only broadcasts; key generation alone: median %s ms"
            % (f(min(s["station_ms"]), 1), f(max(s["station_ms"]), 1), f(pct(keygen, .5), 1)))

    # ---- scale: 32 stations; a full /24; stations whose links come up late
    def listed(sc, key, target, since):
        n, v = sc["stations"], sc[key]
        gone = "" if v is not None else "not within %s s of %s: %d of %s listings missing at %d stations; " % (
            f(sc["list_timeout_s"]), since, sc["missing_pairs"], f(n * (n - 1)), len(sc["missing"]))
        return ((f(v, 2) + " s") if v is not None else "—"), target + ok(v is not None and v <= float(target.split()[-2])), gone

    def messages(name, sc):
        per_station = sc.get("per_station", 10)
        frac = sc["delivered"] / sc["messages"] if sc["messages"] else 0
        afrac = sc["acked"] / sc["messages"] if sc["messages"] else 0
        row("%s: %d messages (%d each, 3 relays) delivered / acknowledged" % (name, sc["messages"], per_station),
            "%d (%s%%) / %d (%s%%)" % (sc["delivered"], f(frac * 100, 1), sc["acked"], f(afrac * 100, 1)), None, "—",
            "%d of %d" % (sc["messages"], sc["messages"]) + ok(sc["delivered"] == sc["messages"] == sc["acked"]),
            "SYNs dropped (full listen backlog) %d, SYN retransmits %d; station errors: %s"
            % (sc["tcp_messages"]["ListenOverflows"], sc["tcp_messages"]["TCPSynRetrans"],
               ", ".join("%s ×%d" % kv for kv in sc["errors"].items()) or "none"))
        du, au = sc["deliver_us"], sc["ack_us"]
        fl3 = blocks(3) * (c + d) + 5 * hop if hop else None  # no hop measured when run with --only
        row("%s: latency send → delivered / → acknowledged" % name,
            "delivered p50 %s ms, p99 %s ms; acked p50 %s ms, p99 %s ms"
            % (f((pct(du, .5) or 0) / 1000, 1), f((pct(du, .99) or 0) / 1000, 1),
               f((pct(au, .5) or 0) / 1000, 1), f((pct(au, .99) or 0) / 1000, 1)),
            fl3 and f(fl3 / 1000, 2) + " ms (one message alone)", "acked p50 %s" % ratio(pct(au, .5), fl3), "",
            "all sent at once; acknowledgements matched to messages in order")

    def costs(sc):
        return "the run took %s s (LAN built in %s s, stations started over %s s); kernel neighbour table overflows %s" % (
            f(sc["run_s"]), f(sc["build_s"], 1), f(sc["start_spread_s"], 1),
            "?" if sc.get("neigh_overflows") is None else sc["neigh_overflows"])

    sc = lan.get("scale")
    if sc:
        n = sc["stations"]
        got, tgt, gone = listed(sc, "listed_s", "≤ 3 s", "the first start")
        row("scale: %d stations started at once → all list all %d others" % (n, n - 1), got, None, "—", tgt,
            "%sstarting took %s s; SYNs dropped meanwhile %d"
            % (gone, f(sc["start_spread_s"], 2), sc["tcp_listing"]["ListenOverflows"]))
        messages("scale", sc)
    sc = lan.get("full")
    if sc:
        n = sc["stations"]
        got, tgt, gone = listed(sc, "listed_after_s", "≤ 30 s", "the last start")
        row("full /24: %d stations started at once → all list all %d others, from the last start" % (n, n - 1),
            got, None, "—", tgt, "%sSYNs dropped meanwhile %d; %s"
            % (gone, sc["tcp_listing"]["ListenOverflows"], costs(sc)))
        messages("full /24", sc)
    sc = lan.get("unplugged")
    if sc:
        n, k = sc["stations"], sc["unplugged"]
        got, tgt, gone = listed(sc, "listed_after_s", "≤ 35 s", "plugging in")
        row("%d stations, %d of them unplugged at start and plugged in %s s later → all list all, from plugging in"
            % (n, k, f(sc["plug_after_s"])), got, None, "—", tgt, gone + costs(sc))

    sc = lan.get("vanished")
    if sc:
        n, k, v = sc["stations"], sc["killed"], sc["listed_after_s"]
        wrong = "" if v is not None else "not within %s s of the kill: %d listings wrong at %d stations; " % (
            f(sc["list_timeout_s"]), sc["missing_pairs"], len(sc["missing"]))
        row("%d stations, %d of them killed without BYE → every live station lists exactly the %d live ones,"
            " from the kill" % (n, k, n - k), (f(v, 2) + " s") if v is not None else "—", None, "—",
            "≤ 110 s" + ok(v is not None and v <= 110),
            "%skilled %s s after the last start; %s" % (wrong, f(sc["killed_after_s"], 1), costs(sc)))
        messages("vanished", sc)

    wall = time.time() - a.started if a.started else None
    print("| What | Measured | Floor | Measured/floor | Target | Notes |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    print("Run %s; wall time of scripts/bench %s s; load average before %s, after %s; %s CPUs %s MHz (%s)."
          % (lan.get("when"), f(wall), a.load_before or "?", " ".join("%.2f" % x for x in os.getloadavg()),
             ctx.get("num_cpus", "?"), ctx.get("mhz_per_cpu", "?"),
             "other builds and tests on the machine are noise in every figure"))
    plots(a.plots, lan, keygen, c, d, hop, med)


def write(path, lines):
    with open(path, "w") as fh:
        fh.write("\n".join(lines) + "\n")


def cdf(values):
    v = sorted(values)
    return ["%f %f" % (x, (i + 1) / len(v)) for i, x in enumerate(v)]


def plots(out, lan, keygen, c, d, hop, med):
    data = os.path.join(out, "plot-data")
    os.makedirs(data, exist_ok=True)
    lat = lan.get("latency", {})
    floors = []
    for k, v in lat.items():
        write(os.path.join(data, "latency-%s.dat" % k), cdf([x / 1000 for x in v["harness_us"]]))
        floors.append((int(k), (blocks(int(k)) * (c + d) + (int(k) + 2) * hop) / 1000))
    write(os.path.join(data, "keygen.dat"), ["%d %f" % (i, x) for i, x in enumerate(sorted(keygen))])
    r = lan.get("relay") or {}
    write(os.path.join(data, "relay.dat"), ["%f %d" % (t, i + 1) for i, t in enumerate(r.get("series", []))])
    s = lan.get("startup") or {}
    write(os.path.join(data, "startup.dat"),
          ["%d %f %f" % (i, x, y) for i, (x, y) in enumerate(zip(s.get("station_ms", []), s.get("ping_ms", [])))])
    sc = lan.get("scale") or {}
    write(os.path.join(data, "scale-deliver.dat"), cdf([x / 1000 for x in sc.get("deliver_us", [])]) or ["0 0"])
    write(os.path.join(data, "scale-ack.dat"), cdf([x / 1000 for x in sc.get("ack_us", [])]) or ["0 0"])
    relay_floor = 1e6 / (med["BM_RelayPeel/2"] + hop) if hop else 0
    args = ["gnuplot", "-e", "data='%s'; out='%s'; routes='%s'; floors='%s'; relay_floor=%f"
            % (data, out, " ".join(str(k) for k, _ in sorted(floors)),
               " ".join("%f" % fl for _, fl in sorted(floors)), relay_floor),
            os.path.join(HERE, "plots.gp")]
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode:
        print("\n(plots failed: %s)" % r.stderr.strip())
    else:
        print("\nPlots: %s" % ", ".join(sorted(os.path.join(out, p) for p in os.listdir(out) if p.endswith(".png"))))


if __name__ == "__main__":
    main()
