#!/usr/bin/python3
"""Scriptable raw peer for the test LAN.

Imported, it offers the wire pieces (RSA keys, block encryption, layers,
onions, HELLO/WELCOME).  Run as a program inside a station's network
namespace, it is a peer that tests drive through JSON lines:

    stdin   {"id": 1, "cmd": "hello"}            one command per line
            {"id": 2, "cmd": "conns", "bg": true, ...}   runs beside the next ones
    stdout  {"id": 1, "ok": true, ...}           the reply to it
            {"ev": "tcp", "from": ..., ...}      things that happened

Commands: info, config, hello, bye, keys, udp, tcp, onion, udp_burst,
tcp_burst, conns, quit
(see Peer.cmd_*).  Big integers travel as JSON integers, bytes as hex.
End of input ends the peer.
"""
import argparse
import concurrent.futures
import json
import random
import socket
import struct
import sys
import threading
import time

PORT = 10012
PLAIN, CIPHER = 63, 64
MAX_READ = 2500

# ---------------------------------------------------------------- RSA

_SMALL = [p for p in range(2, 1000) if all(p % q for q in range(2, int(p ** .5) + 1))]


def is_probable_prime(n, rounds=24, rng=random):
    if n < 2:
        return False
    for p in _SMALL:
        if n % p == 0:
            return n == p
    d, s = n - 1, 0
    while not d & 1:
        d, s = d >> 1, s + 1
    for _ in range(rounds):
        x = pow(rng.randrange(2, n - 1), d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def random_prime(bits, rng):
    while True:  # top two bits set, odd
        c = rng.getrandbits(bits) | (3 << (bits - 2)) | 1
        if is_probable_prime(c, rng=rng):
            return c


def generate_key(rng=None):
    """(e, d, n): n has 512 bits (so >= 2^510), e is a 511-bit prime."""
    rng = rng or random.SystemRandom()
    while True:
        p, q = random_prime(256, rng), random_prime(256, rng)
        if p == q:
            continue
        n, phi = p * q, (p - 1) * (q - 1)
        e = random_prime(511, rng)  # 3*2^509 <= e < 2^511 < phi
        if phi % e:
            return e, pow(e, -1, phi), n


def pad(data):
    return data + bytes(-len(data) % PLAIN)


def encrypt(data, e, n):
    data = pad(data)
    return b"".join(pow(int.from_bytes(data[i:i + PLAIN], "little"), e, n).to_bytes(CIPHER, "little")
                    for i in range(0, len(data), PLAIN))


def decrypt(data, d, n):
    """Whole 64-byte blocks to 63-byte blocks; the trailing zero bytes stay."""
    mask = (1 << (8 * PLAIN)) - 1
    return b"".join((pow(int.from_bytes(data[i:i + CIPHER], "little"), d, n) & mask).to_bytes(PLAIN, "little")
                    for i in range(0, len(data) - len(data) % CIPHER, CIPHER))


# ---------------------------------------------------------------- layers

def aton(addr):
    return socket.inet_aton(addr)


def ntoa(raw):
    return socket.inet_ntoa(raw)


def mess_layer(writer, text):
    return b"MESS:" + aton(writer) + text


def ip_layer(nxt, inner):
    return b"IP:" + aton(nxt) + inner


def build_onion(route, recipient, writer, text, keys, inner=None):
    """Packet for writer -> route[0] -> ... -> route[-1] -> recipient, to be sent
    to route[0] (to recipient when route is empty).  keys: addr -> (e, n).
    inner: a ready L(recipient) to use instead of encrypting the MESS layer."""
    layer = inner if inner is not None else encrypt(mess_layer(writer, text), *keys[recipient])
    nxt = recipient
    for hop in reversed(route):
        layer = encrypt(ip_layer(nxt, layer), *keys[hop])
        nxt = hop
    return layer


def open_layer(packet, d, n):
    """('IP', next, inner) or ('MESS', writer, text) or None.  The inner layer
    is extended again to whole cipher blocks (stripping eats its zero tail)."""
    if not packet or len(packet) % CIPHER:
        return None
    plain = decrypt(packet, d, n).rstrip(b"\0")
    if plain[:3] == b"IP:" and len(plain) >= 7:
        inner = plain[7:]
        return "IP", ntoa(plain[3:7]), inner + bytes(-len(inner) % CIPHER)
    if plain[:5] == b"MESS:" and len(plain) >= 9:
        return "MESS", ntoa(plain[5:9]), plain[9:]
    return None


def key_message(tag, e, n):
    return tag + e.to_bytes(64, "little") + n.to_bytes(64, "little") + b"\0"


def parse_key_message(tag, data):
    """(e, n) from a HELLO/WELCOME, or None when it is not one."""
    if data[:len(tag)] != tag or len(data) < len(tag) + 128:
        return None
    k = data[len(tag):]
    return int.from_bytes(k[:64], "little"), int.from_bytes(k[64:128], "little")


# ---------------------------------------------------------------- network

def send_tcp(addr, data, chunks=1, gap=0.0, hold=0.0, timeout=5.0, on_close=None, sock=None):
    """One connection: send data (in `chunks` pieces `gap` seconds apart),
    then keep it open up to `hold` seconds or until the far end closes."""
    s = sock or socket.create_connection((addr, PORT), timeout=timeout)
    t0 = time.monotonic()
    try:
        size = -(-len(data) // max(chunks, 1)) if data else 0
        for i in range(0, len(data), max(size, 1)):
            if i:
                time.sleep(gap)
            s.sendall(data[i:i + size])
        by = "us"
        if hold > 0:
            s.settimeout(hold)
            try:
                while s.recv(4096):
                    pass
                by = "peer"
            except (socket.timeout, OSError):
                pass
        if on_close:
            on_close(by, time.monotonic() - t0)
    finally:
        s.close()


def send_udp(addr, data, source=None):
    """One datagram to addr; with `source`, forged to come from that address
    (a raw socket: the kernel fills in the IP checksum, the UDP one is left 0)."""
    if source is None:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            s.sendto(data, (addr, PORT))
        return
    udp = struct.pack("!HHHH", PORT, PORT, 8 + len(data), 0) + data
    head = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, socket.IPPROTO_UDP, 0,
                       socket.inet_aton(source), socket.inet_aton(addr))
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.sendto(head + udp, (addr, 0))


def read_all(conn, limit=1 << 20, timeout=5.0):
    conn.settimeout(timeout)
    buf = b""
    try:
        while len(buf) < limit:
            part = conn.recv(65536)
            if not part:
                break
            buf += part
    except OSError:
        pass
    return buf


# ---------------------------------------------------------------- abuse

TCP_LENGTHS = (0, 1, 3, 7, 63, 64, 65, 128, 2496, 2500, 2501, 10000)
TCP_PREFIXES = (b"", b"WELCOME", b"ACK", b"IP:", b"MESS:")


def junk_datagrams(seed, count):
    """count datagrams of 0..1400 random bytes, a third of them starting HELLO
    or BYE.  None is a whole HELLO (HELLO and 134..300 bytes): the test knows
    that no datagram of this set may list its sender."""
    rng = random.Random(seed)
    edges = [0, 1, 2, 3, 4, 5, 133, 134, 135, 299, 300, 301, 1400]
    out = []
    for i in range(count):
        size = edges[i] if i < len(edges) else rng.choice((rng.randint(0, 300), rng.randint(301, 1400)))
        head = rng.choice((b"", b"", b"", b"", b"HELLO", b"BYE"))
        data = (head + rng.randbytes(size))[:size]
        if data[:5] == b"HELLO" and 134 <= size <= 300:
            data = data[:133]
        out.append(data)
    return out


def junk_streams(seed, count):
    """count connection payloads: every length of TCP_LENGTHS with every prefix
    of TCP_PREFIXES in turn, the rest random."""
    rng = random.Random(seed)
    n = len(TCP_LENGTHS)
    return [(TCP_PREFIXES[i // n % len(TCP_PREFIXES)] + rng.randbytes(TCP_LENGTHS[i % n]))[:TCP_LENGTHS[i % n]]
            for i in range(count)]


def until_closed(s, limit):
    """Waits up to `limit` seconds for the far end to close s: 'eof', 'reset' or 'open'."""
    s.settimeout(limit)
    try:
        while s.recv(4096):
            pass
        return "eof"
    except socket.timeout:
        return "open"
    except OSError:
        return "reset"


def in_parallel(fn, count, threads):
    """[fn(0), ..., fn(count - 1)] from `threads` threads at a time."""
    with concurrent.futures.ThreadPoolExecutor(max(threads, 1)) as pool:
        return list(pool.map(fn, range(count)))


class Peer:
    """A peer that behaves like a station when asked to (welcome, relay, ack)."""

    def __init__(self, addr, welcome=False, relay=True, ack=True):
        self.addr, self.welcome, self.relay, self.ack = addr, welcome, relay, ack
        self.e, self.d, self.n = generate_key()
        self.keys = {}
        self.out_lock = threading.Lock()
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.udp.bind(("", PORT))
        self.tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.tcp.bind(("", PORT))
        self.tcp.listen(20)
        for fn in (self._udp_loop, self._tcp_loop):
            threading.Thread(target=fn, daemon=True).start()

    def emit(self, obj):
        obj.setdefault("t", time.monotonic())
        with self.out_lock:
            sys.stdout.write(json.dumps(obj) + "\n")
            sys.stdout.flush()

    def _bg(self, fn, *args):
        def run():
            try:
                fn(*args)
            except Exception as exc:  # reported, the peer goes on
                self.emit({"ev": "error", "what": repr(exc)})
        threading.Thread(target=run, daemon=True).start()

    def _udp_loop(self):
        while True:
            data, (src, _) = self.udp.recvfrom(65536)
            if src == self.addr:
                continue
            self.emit({"ev": "udp", "from": src, "hex": data.hex()})
            key = parse_key_message(b"HELLO", data)
            if key and self.keys.get(src) != key:  # new, or restarted with a new key
                self.keys[src] = key
                if self.welcome:
                    self._bg(send_tcp, src, key_message(b"WELCOME", self.e, self.n))
            elif data[:3] == b"BYE":
                self.keys.pop(src, None)

    def _tcp_loop(self):
        while True:
            conn, (src, _) = self.tcp.accept()
            self._bg(self._serve, conn, src)

    def _serve(self, conn, src):
        t0 = time.monotonic()
        with conn:
            data = read_all(conn)
        ev = {"ev": "tcp", "from": src, "hex": data.hex(), "len": len(data), "t0": t0}
        key = parse_key_message(b"WELCOME", data)
        if key:
            ev["kind"] = "WELCOME"
            self.keys[src] = key
        elif data[:3] == b"ACK":
            ev["kind"] = "ACK"
        else:
            layer = open_layer(data, self.d, self.n)
            ev["kind"] = layer[0] if layer else "bad"
            if layer and layer[0] == "IP":
                ev.update(next=layer[1], inner=layer[2].hex())
                if self.relay:
                    self._bg(send_tcp, layer[1], layer[2])
            elif layer:
                ev.update(writer=layer[1], text=layer[2].hex())
                if self.ack:
                    self._bg(send_tcp, layer[1], b"ACK")
        self.emit(ev)

    # ---- commands: each returns the fields of its reply

    def cmd_info(self):
        return {"addr": self.addr, "e": self.e, "d": self.d, "n": self.n}

    def cmd_config(self, **kw):
        for k in ("welcome", "relay", "ack"):
            if k in kw:
                setattr(self, k, bool(kw[k]))
        return {}

    def cmd_udp_as(self, source, to, hex):
        """A datagram forged to come from `source` (which may not exist)."""
        send_udp(to, bytes.fromhex(hex), source)
        return {}

    def cmd_hello(self, to="255.255.255.255"):
        send_udp(to, key_message(b"HELLO", self.e, self.n))
        return {}

    def cmd_bye(self, to="255.255.255.255"):
        send_udp(to, b"BYE")
        return {}

    def cmd_keys(self):
        return {"keys": {a: list(k) for a, k in self.keys.items()}}

    def cmd_udp(self, hex, to="255.255.255.255"):
        send_udp(to, bytes.fromhex(hex))
        return {}

    def cmd_tcp(self, to, hex="", chunks=1, gap=0.0, hold=0.0, tag=None):
        """Connects at once; sending the rest and closing go on in the
        background when that takes time (event tcp_closed when done)."""
        data = bytes.fromhex(hex)
        sock = socket.create_connection((to, PORT), timeout=5)

        def closed(by, after):
            self.emit({"ev": "tcp_closed", "tag": tag, "to": to, "by": by, "after": after})
        if chunks > 1 or hold > 0:
            self._bg(send_tcp, to, data, chunks, gap, hold, 5.0, closed, sock)
        else:
            send_tcp(to, data, sock=sock)
        return {}

    def cmd_onion(self, to, route=(), text=None, hex=None, zero_tail=False, send=True,
                  chunks=1, gap=0.0, writer=None, strip=False):
        """Builds writer -> route -> to (writer: this peer unless given) and
        sends it to the first hop.  zero_tail: append a counter to the text
        until L(to) ends in a zero byte.  strip: send the packet without its
        trailing zero bytes, as a relay that does not restore them would."""
        raw = bytes.fromhex(hex) if hex is not None else text.encode("cp1250")
        writer = writer or self.addr
        inner, base = None, raw
        for i in range(20000 if zero_tail else 1):
            if zero_tail:
                raw = base + str(i).encode()
            inner = encrypt(mess_layer(writer, raw), *self.keys[to])
            if inner[-1] == 0 or not zero_tail:
                break
        else:
            raise RuntimeError("no zero-ending layer found")
        packet = build_onion(list(route), to, writer, raw, self.keys, inner=inner)
        if strip:
            packet = packet.rstrip(b"\0")
        first = route[0] if route else to
        if send:
            self.cmd_tcp(first, packet.hex(), chunks, gap)
        return {"packet": packet.hex(), "inner": inner.hex(), "text": raw.hex(), "first": first}

    def cmd_udp_burst(self, to, seed, count, batch=50, pause=0.005):
        """Sends junk_datagrams(seed, count) to `to`, `pause` seconds after
        every `batch`, so the station's receive queue does not overflow."""
        errors = 0
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for i, data in enumerate(junk_datagrams(seed, count)):
                try:
                    s.sendto(data, (to, PORT))
                except OSError:
                    errors += 1
                if i % batch == batch - 1:
                    time.sleep(pause)
        return {"errors": errors}

    def cmd_tcp_burst(self, to, seed, count, threads=4, limit=15.0):
        """Sends each of junk_streams(seed, count) on a connection of its own
        from `threads` threads, closing our side after it, and waits for the
        station to close.  Per connection: [outcome, seconds]; outcome is eof,
        reset (the station cut it), open (it did not close within `limit`) or
        refused."""
        streams = junk_streams(seed, count)

        def one(i):
            t0 = time.monotonic()
            try:
                s = socket.create_connection((to, PORT), timeout=limit)
            except OSError:
                return ["refused", time.monotonic() - t0]
            with s:
                try:
                    s.sendall(streams[i])
                    s.shutdown(socket.SHUT_WR)
                    how = until_closed(s, limit)
                except OSError:
                    how = "reset"
            return [how, time.monotonic() - t0]
        return {"results": in_parallel(one, count, threads)}

    def cmd_conns(self, to, mode, count, serial=False, gap=1.0, limit=20.0, hex=""):
        """Opens `count` connections, all at once or one after another
        (serial), and keeps each as `mode` says: empty (our side closed at
        once, no data), silent (nothing sent), drip (one byte every `gap`
        seconds), reset (`hex` sent, then closed with SO_LINGER 0).  Waits up
        to `limit` seconds for the station to close each; per connection
        [opened, closed, outcome] (monotonic clock)."""
        connect = lambda: (time.monotonic(), socket.create_connection((to, PORT), timeout=5))

        def keep(i):
            t0, s = opened[i] if opened else connect()
            with s:
                if mode == "reset":
                    s.sendall(bytes.fromhex(hex))
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    return [t0, time.monotonic(), "reset"]
                if mode == "empty":
                    s.shutdown(socket.SHUT_WR)
                how = "open"
                while time.monotonic() - t0 < limit:
                    how = until_closed(s, gap if mode == "drip" else limit)
                    if how != "open" or mode != "drip":
                        break
                    try:
                        s.send(b"\x01")
                    except OSError:
                        how = "reset"
                        break
                return [t0, time.monotonic(), how]
        # all at once: every connection is open before the first is kept
        opened = None if serial else [connect() for _ in range(count)]
        return {"conns": in_parallel(keep, count, 1 if serial else count)}

    def serve_stdin(self):
        self.emit({"ev": "ready", "addr": self.addr, "e": self.e, "n": self.n})
        for line in sys.stdin:
            if not line.strip():
                continue
            try:
                req = json.loads(line)
                cmd = req.pop("cmd")
                rid = req.pop("id", None)
            except (ValueError, KeyError, AttributeError) as exc:
                self.emit({"ok": False, "error": "bad request: %r" % exc})
                continue
            if cmd == "quit":
                self.emit({"id": rid, "ok": True})
                break
            if req.pop("bg", False):  # a long command, while others go on
                self._bg(self.run_cmd, cmd, rid, req)
            else:
                self.run_cmd(cmd, rid, req)

    def run_cmd(self, cmd, rid, req):
        try:
            reply = getattr(self, "cmd_" + cmd)(**req)
            reply.update(id=rid, ok=True)
        except Exception as exc:
            reply = {"id": rid, "ok": False, "error": repr(exc)}
        self.emit(reply)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--addr", required=True, help="own address (its own broadcasts are ignored)")
    ap.add_argument("--welcome", action="store_true", help="answer a new HELLO with WELCOME")
    ap.add_argument("--no-relay", dest="relay", action="store_false")
    ap.add_argument("--no-ack", dest="ack", action="store_false")
    a = ap.parse_args()
    Peer(a.addr, a.welcome, a.relay, a.ack).serve_stdin()


if __name__ == "__main__":
    main()
