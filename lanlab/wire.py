"""The station's wire format, written out independently of its C++ code:
RSA keys, block encryption, onion layers and the HELLO/WELCOME key messages.
Shared by the raw peer of the tests and by the benchmarks."""
import random
import socket

PORT = 10012
# The key's 512-bit modulus takes 64 bytes; a plain block must stay below it.
PLAIN, CIPHER = 63, 64

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


def mess_layer(writer, text):
    return b"MESS:" + socket.inet_aton(writer) + text


def ip_layer(nxt, inner):
    return b"IP:" + socket.inet_aton(nxt) + inner


def build_onion(route, recipient, keys, inner):
    """The packet for route[0] (recipient when route is empty) that carries
    `inner`, L(recipient), through the route.  keys: addr -> (e, n)."""
    layer, nxt = inner, recipient
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
        return "IP", socket.inet_ntoa(plain[3:7]), inner + bytes(-len(inner) % CIPHER)
    if plain[:5] == b"MESS:" and len(plain) >= 9:
        return "MESS", socket.inet_ntoa(plain[5:9]), plain[9:]
    return None


def key_message(tag, e, n):
    return tag + e.to_bytes(64, "little") + n.to_bytes(64, "little") + b"\0"


def parse_key_message(tag, data):
    """(e, n) from a HELLO/WELCOME, or None when it is not one."""
    if data[:len(tag)] != tag or len(data) < len(tag) + 128:
        return None
    k = data[len(tag):]
    return int.from_bytes(k[:64], "little"), int.from_bytes(k[64:128], "little")
