#!/usr/bin/python3
"""Turns the micro-benchmarks' JSON (Google Benchmark) and lanbench.py's JSON
into Markdown on standard output: one table of every target the station is held
to, each beside its floor or anchor measured in the same run (for the
six-station set, run SIX_RUNS times, the median of the runs' ratios); then the
timeline of a message, each stage beside its floor."""
import argparse
import json
import os
import statistics
import time

from lanbench import ROUTE, SIX_RUNS, micro_medians

# What, unit, the measured figure, its floor or anchor (None: no floor), how
# the target compares ("ratio": measured/floor; "value": measured itself), and
# the bound. Figures are named in figures() below.
TARGETS = (
    ("decrypt, one block, against the same key's full power", "µs", "decrypt", "full", "ratio", "≤", 0.45),
    ("decrypt, one block, against OpenSSL's private operation", "µs", "decrypt", "openssl", "ratio", "≤", 0.7),
    ("relay peel, 2-block packet, against the same key's full power", "µs", "peel", "peel full", "ratio", "≤", 0.5),
    ("create_onion, 1 relay, against its blocks encrypted alone", "µs", "onion 1", "alone 1", "ratio", "≤", 1.1),
    ("create_onion, 3 relays, against its blocks encrypted alone", "µs", "onion 3", "alone 3", "ratio", "≤", 1.1),
    ("create_onion, 8 relays, against its blocks encrypted alone", "µs", "onion 8", "alone 8", "ratio", "≤", 1.1),
    ("latency over 3 relays, send → DOBA PRENOSU, p50", "µs", "latency p50", "route floor", "ratio", "≤", 1.3),
    ("latency over 3 relays, send → DOBA PRENOSU, p95", "µs", "latency p95", "route floor", "ratio", "≤", 2.0),
    ("relay throughput, PRENOS lines at the relay", "/s", "relay", "relay floor", "ratio", "≥", 0.8),
    ("relay throughput against the relay without crypto", "/s", "relay", "forward", "ratio", "≥", 0.8),
    ("start-up → HELLO heard on another host, median", "ms", "startup", "ping", "value", "<", 150),
    ("32 stations at once: all list all, from the first start", "s", "scale listed", None, "value", "≤", 3),
    ("32 stations: 10 messages each delivered and acknowledged", "%", "scale sent", None, "value", "≥", 100),
    ("254 stations (a full /24): all list all, from the last start", "s", "full listed", None, "value", "≤", 30),
    ("254 stations: 2 messages each delivered and acknowledged", "%", "full sent", None, "value", "≥", 100),
    ("64 stations, 16 plugged in 5 s late: all list all, from plug-in", "s", "unplugged listed", None, "value", "≤",
     35),
    ("64 stations, 16 killed without BYE: live list the live, from the kill", "s", "vanished listed", None, "value",
     "≤", 110),
    ("64 stations, 16 killed: 4 messages from 32 live delivered and acked", "%", "vanished sent", None, "value", "≥",
     100),
)
HOLDS = {"≤": lambda a, b: a <= b, "<": lambda a, b: a < b, "≥": lambda a, b: a >= b}


def percentile(values, p):
    """By linear interpolation between the nearest values; None for fewer than two."""
    return statistics.quantiles(values, n=100, method="inclusive")[p - 1] if len(values) > 1 else None


def figures(micro, lan):
    """Every figure TARGETS names (absent when not measured), and notes."""
    med = micro_medians(micro["benchmarks"])
    # a benchmark that stopped on an error has no median: its rows miss their targets
    fig = {"decrypt": med.get("BM_DecryptBlock"), "full": med.get("BM_DecryptBlockFullExponent"),
           "openssl": med.get("BM_OpensslPrivateBlock"), "peel": med.get("BM_RelayPeel"),
           "peel full": med.get("BM_RelayPeelFullExponent")}
    for k in (1, 3, 8):
        fig["onion %d" % k] = med.get("BM_CreateOnion/%d" % k)
        fig["alone %d" % k] = med.get("BM_CreateOnion/%d alone" % k)
    notes = {"openssl": "OpenSSL blinds, and checks its result with e, 511 bits here"}
    six = lan.get("six")
    if six:
        # Per run: the sender's layers encrypted alone, as many blocks decrypted
        # on the way, and a connection per hop; the cryptography measured beside
        # the run when it was (lanbench --micro), else at the start.
        blocks, hops = (ROUTE + 1) * (ROUTE + 2) // 2, [r["hop_us"] for r in six]
        whole = {"alone": fig["alone %d" % ROUTE], "decrypt": fig["decrypt"], "peel": fig["peel"]}
        crypto = [r.get("crypto") or whole for r in six]
        fig["route floor"] = [None if None in (c["alone"], c["decrypt"]) else
                              c["alone"] + blocks * c["decrypt"] + (ROUTE + 2) * h for c, h in zip(crypto, hops)]
        notes["route floor"] = ("floor: %d blocks crypted (%s µs) and decrypted (%s µs each), %d hops of %s µs; "
                                "%s tries") % (
            blocks, "/".join("%.0f" % c["alone"] for c in crypto), "/".join("%.1f" % c["decrypt"] for c in crypto),
            ROUTE + 2, "/".join("%.0f" % h for h in hops),
            ", ".join("%d of %d" % (len(r["latency"]["us"]), r["latency"]["tries"]) for r in six))
        fig["latency p50"] = [percentile(r["latency"]["us"], 50) for r in six]
        fig["latency p95"] = [percentile(r["latency"]["us"], 95) for r in six]
        fig["relay"], fig["forward"] = [r["relay"] for r in six], [r["forward"] for r in six]
        fig["relay floor"] = [None if c["peel"] is None else 1e6 / (c["peel"] + h) for c, h in zip(crypto, hops)]
        notes["relay floor"] = "floor: 1 / (peel + one hop)"
        notes["forward"] = "anchor: bench_net forward beside the station, fed alike, as long"
    if "startup" in lan:
        fig["startup"] = percentile(lan["startup"]["station_ms"], 50)
        fig["ping"] = percentile(lan["startup"]["ping_ms"], 50)
        notes["ping"] = "floor: a program that only broadcasts, started alike"
    for run in ("scale", "full", "unplugged", "vanished"):
        r = lan.get(run)
        if r:
            fig[run + " listed"] = r["listed_after_s" if run != "scale" else "listed_s"]
        if r and "messages" in r:
            fig[run + " sent"] = 100 * min(r["delivered"], r["acked"]) / r["messages"]
            notes[run + " sent"] = "%d messages: %d delivered, %d acknowledged" % (
                r["messages"], r["delivered"], r["acked"])
    return fig, notes


def shown(v, unit):
    return "—" if v is None else "{:,.{}f} {}".format(v, 0 if abs(v) >= 100 else 2, unit).replace(",", " ")


def median_of(v):
    """A figure of the six-station set is a list, one per run: its median; None if a run has none."""
    return v if not isinstance(v, list) else None if None in v or not v else statistics.median(v)


def ratio_of(m, fl):
    """measured/floor; of the six-station set, the median of the runs' ratios, and the ratios."""
    if not isinstance(m, list) and not isinstance(fl, list):
        return (m / fl if m is not None and fl else None), []
    runs = lambda v: v if isinstance(v, list) else [v] * SIX_RUNS
    ratios = [a / b if a is not None and b else None for a, b in zip(runs(m), runs(fl))]
    return median_of(ratios), ratios


def timeline(tl, fig, six):
    """Each stage's median beside its floor: the stations' own work in the order
    of the path, then the hops' parts, whose floors are bench_net's connections."""
    crypto = tl.get("crypto") or {"alone": fig.get("alone %d" % ROUTE), "decrypt": fig.get("decrypt")}
    us, dec = tl["us"], crypto["decrypt"]
    hop = lambda p: statistics.median(r["hop_parts"][p] if p else r["hop_us"] for r in six) if six else None
    floors = {"onion": crypto["alone"], "hop": hop(None), "line": 0}
    floors.update({p: hop(p) for p in ("connect", "connected", "sent", "eof", "accept_eof")})
    floors.update({"%d peel" % k: dec and (ROUTE + 2 - k) * dec for k in range(1, ROUTE + 2)})
    own = [("input", "writer: send written → command read"), ("onion", "writer: command read → onion sealed, 5 pane lines among it"),
           ("route", "writer: → route in pane and transcript"), ("1 socket", "writer: → first socket() (JA line)")]
    for k in range(1, ROUTE + 1):
        own += [("%d peel" % k, "relay %d: end of file → peeled" % k),
                ("%d socket" % (k + 1), "relay %d: → next socket()" % k)]
    own += [("%d peel" % (ROUTE + 1), "recipient: end of file → decrypted"), ("shown", "recipient: → its line shown"),
            ("%d socket" % (ROUTE + 2), "recipient: → the ACK's socket()"),
            ("doba", "writer: the ACK's end of file → DOBA PRENOSU"),
            ("flushed", "writer: → the turn's pane lines on standard output"),
            ("seen", "harness: DOBA PRENOSU on standard output → seen"),
            ("doba saved", "writer: DOBA PRENOSU in its pane and recorded (off the path)")]
    cell = lambda v: "—" if v is None else "%.0f" % v
    print("\n**Timeline of a message over %d relays**: the traced station, %d of %d messages with every stage "
          "found; median µs, beside the floor (onion: its blocks encrypted alone; peel: blocks × decrypt; hop "
          "parts: bench_net's connections; the rest 0)\n\n| Stage | Median | Floor | Beyond |\n|---|---|---|---|"
          % (ROUTE, tl["messages"], tl["of"]))
    on_path = [(us.get(k), floors.get(k, 0)) for k, _ in own[:-1]]
    for key, what in own:
        m, f = us.get(key), floors.get(key, 0)
        print("| %s | %s | %s | %s |" % (what, cell(m), cell(f), cell(None if None in (m, f) else m - f)))
    hops = range(1, ROUTE + 3)
    parts = (("connect", "socket() → connect() returned"), ("connected", "→ connect found done"),
             ("sent", "→ last byte sent"), ("eof", "→ end of file at the next"))
    sums = [sum(us.get("%d %s" % (k, p)) or 0 for p, _ in parts) for k in hops]
    print("\n| Hop: part | Floor | writer → relay 1 | %s→ recipient | ACK → writer |\n|---|---|%s" % (
        "".join("→ relay %d | " % k for k in range(2, ROUTE + 1)), "---|" * len(hops)))
    for p, what in parts + (("hop", "hop: socket() → end of file, sum"), ("line", "beside: PRENOS line on standard output"),
                            ("accept_eof", "beside: accepted → end of file")):
        vals = sums if p == "hop" else [us.get("%d %s" % (k, p)) for k in hops]
        print("| %s | %s | %s |" % (what, cell(floors.get(p)), " | ".join(cell(v) for v in vals)))
    print("\nSums of the medians: the stations' own stages %s µs (floor %s), the hops %s µs (floor %s); the whole "
          "path's median %s µs, its floor %s µs." % (
              cell(sum(m or 0 for m, _ in on_path)), cell(sum(f or 0 for _, f in on_path)), cell(sum(sums)),
              cell(floors["hop"] and len(hops) * floors["hop"]), cell(us.get("total")),
              cell(median_of(fig.get("route floor")))))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--micro", required=True)
    ap.add_argument("--lan", required=True)
    ap.add_argument("--started", type=float, default=None)
    ap.add_argument("--load-before", default="")
    a = ap.parse_args()
    lan = json.load(open(a.lan))
    fig, notes = figures(json.load(open(a.micro)), lan)
    print("| What | Measured | Floor or anchor | Measured/floor | Target | Notes |")
    print("|---|---|---|---|---|---|")
    for what, unit, measured, floor, on, op, bound in TARGETS:
        m, fl = fig.get(measured), fig.get(floor)
        ratio, runs = ratio_of(m, fl)
        checked = ratio if on == "ratio" else m
        # a run that came to no figure misses its target; a run left out has no mark
        mark = " ❌" if measured in fig and checked is None else "" if checked is None else \
            " ✅" if HOLDS[op](checked, bound) else " ❌"
        note = notes.get(floor or measured, "")
        if runs:
            note = "median of %s; %s" % (", ".join("—" if r is None else "%.2f×" % r for r in runs), note)
        print("| %s | %s | %s | %s | %s %g%s%s | %s |" % (
            what, shown(median_of(m), unit), shown(median_of(fl), unit), "—" if ratio is None else "%.2f×" % ratio,
            op, bound, "×" if on == "ratio" else " " + unit, mark, note))
    print("\nRun %s; wall time of scripts/bench %s s; load average before %s, after %s"
          " (other work on the machine is noise in every figure)."
          % (lan.get("when"), "%.0f" % (time.time() - a.started) if a.started else "?", a.load_before or "?",
             " ".join("%.2f" % x for x in os.getloadavg())))
    if lan.get("timeline"):
        timeline(lan["timeline"], fig, lan.get("six"))


if __name__ == "__main__":
    main()
