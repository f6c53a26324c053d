#!/usr/bin/python3
"""Turns the micro-benchmarks' JSON (Google Benchmark) and lanbench.py's JSON
into one Markdown table on standard output: every target the station is held
to, each beside its floor or anchor measured in the same run."""
import argparse
import json
import os
import statistics
import time

from lanbench import ROUTE

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
    ("latency over 3 relays, send → DOBA PRENOSU, p99", "µs", "latency p99", "route floor", "ratio", "≤", 2.0),
    ("relay throughput, PRENOS lines at the relay", "/s", "relay", "relay floor", "ratio", "≥", 0.8),
    ("relay throughput against the relay without crypto", "/s", "relay", "forward", "ratio", "≥", 0.7),
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
    med = {}
    for b in micro["benchmarks"]:
        if b.get("aggregate_name") == "median" and not b.get("error_occurred"):
            name = b["name"].split("/min_time")[0]
            med[name] = b["real_time"] * {"ns": 1e-3, "us": 1.0, "ms": 1e3}[b["time_unit"]]
            med[name + " alone"] = b.get("pure_crypt_us")
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
        # the sender's layers encrypted alone, as many blocks decrypted on the way, and a connection per hop
        blocks, hop = (ROUTE + 1) * (ROUTE + 2) // 2, six["hop_us"]
        crypto = (fig["alone %d" % ROUTE], fig["decrypt"])
        fig["route floor"] = None if None in crypto else crypto[0] + blocks * crypto[1] + (ROUTE + 2) * hop
        notes["route floor"] = "floor: %d blocks crypted and decrypted, %d hops of %.0f µs; %d of %d tries" % (
            blocks, ROUTE + 2, hop, len(six["latency"]["us"]), six["latency"]["tries"])
        us = six["latency"]["us"]
        fig["latency p50"], fig["latency p99"] = percentile(us, 50), percentile(us, 99)
        fig["relay"], fig["forward"] = six["relay"], six["forward"]
        fig["relay floor"] = None if fig["peel"] is None else 1e6 / (fig["peel"] + hop)
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
        ratio = m / fl if m is not None and fl else None
        checked = ratio if on == "ratio" else m
        # a run that came to no figure misses its target; a run left out has no mark
        mark = " ❌" if measured in fig and checked is None else "" if checked is None else \
            " ✅" if HOLDS[op](checked, bound) else " ❌"
        print("| %s | %s | %s | %s | %s %g%s%s | %s |" % (
            what, shown(m, unit), shown(fl, unit), "—" if ratio is None else "%.2f×" % ratio, op, bound,
            "×" if on == "ratio" else " " + unit, mark, notes.get(floor or measured, "")))
    print("\nRun %s; wall time of scripts/bench %s s; load average before %s, after %s"
          " (other work on the machine is noise in every figure)."
          % (lan.get("when"), "%.0f" % (time.time() - a.started) if a.started else "?", a.load_before or "?",
             " ".join("%.2f" % x for x in os.getloadavg())))


if __name__ == "__main__":
    main()
