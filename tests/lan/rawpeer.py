#!/usr/bin/python3
# The raw peer: a stand-in for a station that tests script.  In a host's
# namespace (RawPeer.launch) it takes one JSON command a line on stdin and
# writes replies {"id", "ok", ...} and events {"ev", ...} on stdout; big
# integers travel as JSON integers, bytes as hex.
import concurrent.futures
import itertools
import json
import os
import random
import socket
import struct
import sys
import threading
import time

import lan
from wire import PORT, build_onion, encrypt, generate_key, key_message, mess_layer, open_layer, parse_key_message

TCP_LENGTHS = (0, 1, 3, 7, 63, 64, 65, 128, 2496, 2500, 2501, 10000)
TCP_PREFIXES = (b"", b"WELCOME", b"ACK", b"IP:", b"MESS:")


def junk_datagrams(seed, count):
    # 0..1400 random bytes, a third starting HELLO or BYE, the edge sizes
    # first; never a whole HELLO (134..300 bytes), so none may list its sender
    rng, edges = random.Random(seed), [0, 1, 2, 3, 4, 5, 133, 134, 135, 299, 300, 301, 1400]
    sizes = edges + [rng.choice((rng.randint(0, 300), rng.randint(301, 1400))) for _ in range(count - len(edges))]
    out = [(rng.choice((b"", b"", b"", b"", b"HELLO", b"BYE")) + rng.randbytes(n))[:n] for n in sizes]
    return [x[:133] if x[:5] == b"HELLO" and 134 <= len(x) <= 300 else x for x in out]


def junk_streams(seed, count):
    # every length of TCP_LENGTHS with every prefix of TCP_PREFIXES in turn, the rest random
    rng, n = random.Random(seed), len(TCP_LENGTHS)
    return [(TCP_PREFIXES[i // n % len(TCP_PREFIXES)] + rng.randbytes(TCP_LENGTHS[i % n]))[:TCP_LENGTHS[i % n]]
            for i in range(count)]


def connect(addr, source=""):
    return socket.create_connection((addr, PORT), timeout=5, source_address=(source, 0) if source else None)


def send_udp(addr, data, source=""):
    # from `source` when given, an address of no host here (IP_TRANSPARENT lets the socket take it)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.setsockopt(socket.SOL_IP, socket.IP_TRANSPARENT, 1)
        s.bind((source, 0))
        s.sendto(data, (addr, PORT))


def until_closed(s, limit):
    # reads s until the far end closes it, `limit` seconds at most for each read: (the bytes, 'eof', 'reset' or 'open')
    s.settimeout(limit)
    data = b""
    try:
        while part := s.recv(65536):
            data += part
        return data, "eof"
    except socket.timeout:
        return data, "open"
    except OSError:
        return data, "reset"


class Peer:
    # Listens as a station does: learns keys from HELLO and WELCOME, relays
    # the onions it gets and acknowledges the messages.

    def __init__(self, addr):
        self.addr, self.keys, self.out_lock = addr, {}, threading.Lock()
        self.e, self.d, self.n = generate_key()
        self.udp, self.tcp = (socket.socket(socket.AF_INET, kind) for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM))
        for s in (self.udp, self.tcp):
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("", PORT))
        self.tcp.listen(20)
        for fn in (self._udp_loop, self._tcp_loop):
            self._bg(fn)

    def emit(self, obj):
        with self.out_lock:
            print(json.dumps(dict({"t": time.monotonic()}, **obj)), flush=True)

    def _bg(self, fn, *args):
        # an exception there goes to stderr, into the dump; the peer goes on
        threading.Thread(target=fn, args=args, daemon=True).start()

    def _udp_loop(self):
        while True:
            data, (src, _) = self.udp.recvfrom(65536)
            if src != self.addr:
                self.emit({"ev": "udp", "from": src, "hex": data.hex()})
                if key := parse_key_message(b"HELLO", data):
                    self.keys[src] = key

    def _tcp_loop(self):
        while True:
            self._bg(self._serve, *self.tcp.accept())

    def _serve(self, conn, addr):
        with conn:
            data, src = until_closed(conn, 5)[0], addr[0]
        ev, key = {"ev": "tcp", "from": src, "hex": data.hex()}, parse_key_message(b"WELCOME", data)
        layer = open_layer(data, self.d, self.n) if not key and data[:3] != b"ACK" else None
        if key:
            ev["kind"], self.keys[src] = "WELCOME", key
        elif data[:3] == b"ACK":
            ev["kind"] = "ACK"
        elif layer:  # IP: relayed to the next hop; MESS: acknowledged to its writer
            ev.update(kind=layer[0], writer=layer[1], text=layer[2].hex())
            self._bg(self.cmd_tcp, layer[1], (layer[2] if layer[0] == "IP" else b"ACK").hex())
        self.emit(dict({"kind": "bad"}, **ev))

    # ---- commands: each returns the fields of its reply

    def cmd_hello(self):
        send_udp("255.255.255.255", key_message(b"HELLO", self.e, self.n))

    def cmd_bye(self):
        send_udp("255.255.255.255", b"BYE")

    def cmd_udp_as(self, source, to, hex):
        # from one address, or from each of a list in one burst
        for s in [source] if isinstance(source, str) else source:
            send_udp(to, bytes.fromhex(hex), s)

    def cmd_keys(self):
        return {"keys": dict(self.keys)}

    def cmd_tcp(self, to, hex="", hold=0.0, tag=None):
        # connects at once; with `hold`, waits that long in the background for the far end to close
        sock, t0 = connect(to), time.monotonic()

        def send():
            with sock:
                sock.sendall(bytes.fromhex(hex))
                if hold:
                    by = "peer" if until_closed(sock, hold)[1] == "eof" else "us"
                    self.emit({"ev": "tcp_closed", "tag": tag, "by": by, "after": time.monotonic() - t0})
        self._bg(send) if hold else send()

    def cmd_onion(self, to, text, route=(), zero_tail=False, strip=False, send=True, chunks=1, gap=0.0):
        # This peer writes to `to` through `route`, in `chunks` pieces `gap`
        # seconds apart.  zero_tail: a counter appended to the text until
        # L(to) ends in a zero byte; strip: the packet without its zero tail,
        # as a relay that does not restore it would send it.
        for i in range(20000):
            raw = text.encode("cp1250") + str(i).encode() * zero_tail
            inner = encrypt(mess_layer(self.addr, raw), *self.keys[to])
            if inner[-1] == 0 or not zero_tail:
                break
        packet = build_onion(list(route), to, self.keys, inner).rstrip(b"\0" * strip)  # rstrip(b"") strips nothing
        if send:
            with connect(route[0] if route else to) as s:
                size = -(-len(packet) // chunks)
                for i in range(0, len(packet), size):
                    time.sleep(gap if i else 0)
                    s.sendall(packet[i:i + size])
        return {"packet": packet.hex(), "inner": inner.hex(), "text": raw.hex()}

    def cmd_udp_burst(self, to, seed, count):
        # a pause after every 50, so that the station's receive queue keeps up
        for i, data in enumerate(junk_datagrams(seed, count)):
            send_udp(to, data)
            time.sleep(0.005 * (i % 50 == 49))

    def cmd_conns(self, to, mode, count, threads=0, gap=1.0, limit=20.0, seed=0, source=""):
        # `count` connections, kept as `mode` says: silent (nothing sent),
        # drip (a byte every `gap` seconds), empty (our side closed at once),
        # junk (junk_streams(seed, count), then our side closed), reset (a
        # few bytes, then closed with SO_LINGER 0).  threads=0: all open
        # before any is kept; else `threads` at a time, each opening its own.  Waits up to
        # `limit` s for the station to close each: [opened, closed, outcome]
        # (monotonic clock; outcome eof, reset or open).  source: another
        # address of this host to connect from.
        data = junk_streams(seed, count) if mode == "junk" else [b"\x07junk" * (mode == "reset")] * count
        opened = [(time.monotonic(), connect(to, source)) for _ in range(count * (not threads))]

        def keep(i):
            t0, s = opened[i] if opened else (time.monotonic(), connect(to, source))
            with s:
                try:
                    s.sendall(data[i])
                    if mode == "reset":
                        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                        return [t0, time.monotonic(), "reset"]
                    if mode in ("empty", "junk"):
                        s.shutdown(socket.SHUT_WR)
                    # a drip sends its byte each time `gap` passes without the close, until `limit`
                    while (how := until_closed(s, gap if mode == "drip" else limit)[1]) == "open" and mode == "drip" \
                            and time.monotonic() - t0 < limit:
                        s.send(b"\x01")
                except OSError:
                    how = "reset"
            return [t0, time.monotonic(), how]
        with concurrent.futures.ThreadPoolExecutor(threads or max(count, 1)) as pool:
            return {"conns": list(pool.map(keep, range(count)))}

    def serve(self):
        self.emit({"ev": "ready", "e": self.e, "n": self.n})
        for line in sys.stdin:
            req = json.loads(line)
            cmd, rid = req.pop("cmd"), req.pop("id", None)
            self._bg(self.run, cmd, rid, req) if req.pop("bg") else self.run(cmd, rid, req)

    def run(self, cmd, rid, req):
        try:
            reply = dict(getattr(self, "cmd_" + cmd)(**req) or {}, ok=True)
        except Exception as exc:
            reply = {"ok": False, "error": repr(exc)}
        self.emit(dict(reply, id=rid))


class RawPeer(lan.Proc):
    # the peer above in a host's namespace, driven from the tests; SIGTERM ends it

    @classmethod
    def launch(cls, net, host=None):
        # a peer on `host` (a new host when None), stopped with the LAN
        return net.track(cls(host or net.add_host()))

    def __init__(self, host):
        self._ids = itertools.count(1)
        super().__init__(host, [lan.PYTHON, "-B", os.path.abspath(__file__), host.addr])
        ready = self.wait_event(20, ev="ready")  # None (a TypeError) when it did not start; its stderr is in the dump
        self.e, self.n = ready["e"], ready["n"]

    def _parse(self, line):
        obj = json.loads(line)  # the peer writes nothing else on stdout
        return ("reply" if "ok" in obj else "ev"), obj

    def call(self, cmd, timeout=20, **kw):
        # runs a command in the peer; its reply (RuntimeError if it failed)
        return self.result(self.start(cmd, bg=False, **kw), timeout)

    def start(self, cmd, bg=True, **kw):
        # sends a command, by default to run beside later ones; result() waits for its reply
        rid = next(self._ids)
        self.write(json.dumps(dict(kw, cmd=cmd, id=rid, bg=bg)))
        return rid

    def result(self, rid, timeout=20):
        r = self.wait_record(lambda r: r[1] == "reply" and r[2]["id"] == rid, timeout)
        if not (r and r[1][2]["ok"]):
            raise RuntimeError("raw peer: command %d: %s\n%s" % (rid, r and r[1][2]["error"], self.dump()))
        return r[1][2]

    def events(self, since=0, **match):
        with self.cond:
            return [r[2] for r in self.records[since:] if r[1] == "ev" and match.items() <= r[2].items()]

    def wait_event(self, timeout=5, since=0, **match):
        # the first event from `since` on whose fields equal `match`; None on timeout
        r = self.wait_record(lambda r: r[1] == "ev" and match.items() <= r[2].items(), timeout, since)
        return r and r[1][2]

    def keys(self):
        return {a: tuple(k) for a, k in self.call("keys")["keys"].items()}


if __name__ == "__main__":
    Peer(sys.argv[1]).serve()
