"""The test LAN and the raw peer on their own, without a station."""
import subprocess
import unittest

import lan
import rawpeer as rp


def setUpModule():
    why = lan.unavailable()
    if why:
        print("lan: skipped:", why)
        raise unittest.SkipTest(why)
    lan.remove_stale()


class Wire(unittest.TestCase):
    def test_blocks_and_layers(self):
        e, d, n = rp.generate_key()
        self.assertGreaterEqual(n, 1 << 510)
        self.assertLess(n, 1 << 512)
        for text in (b"", b"a", b"x" * 63, b"y" * 64, bytes(range(1, 200))):
            c = rp.encrypt(text, e, n)
            self.assertEqual(len(c), 64 * max(1, -(-len(text) // 63)) if text else 0)
            self.assertEqual(rp.decrypt(c, d, n).rstrip(b"\0"), text)
        keys = {"10.0.0.%d" % i: rp.generate_key() for i in (2, 3)}
        pub = {a: (k[0], k[2]) for a, k in keys.items()}
        pkt = rp.build_onion(["10.0.0.2"], "10.0.0.3", "10.0.0.1", "čaj".encode("cp1250"), pub)
        self.assertEqual(len(pkt), 128)
        kind, nxt, inner = rp.open_layer(pkt, keys["10.0.0.2"][1], keys["10.0.0.2"][2])
        self.assertEqual((kind, nxt, len(inner)), ("IP", "10.0.0.3", 64))
        self.assertEqual(rp.open_layer(inner, keys["10.0.0.3"][1], keys["10.0.0.3"][2]),
                         ("MESS", "10.0.0.1", b"\xe8aj"))
        self.assertEqual(len(rp.key_message(b"HELLO", e, n)), 134)
        self.assertEqual(rp.parse_key_message(b"WELCOME", rp.key_message(b"WELCOME", e, n)), (e, n))


class TwoPeers(unittest.TestCase):
    def test_hello_welcome_and_relayed_onion(self):
        with lan.Lan(3, mtu=576) as net:
            out = net.hosts[0].run("ip", "link", "show", "eth0", capture_output=True, text=True).stdout
            self.assertIn("mtu 576", out)
            a, b, c = (net.start_rawpeer(h, welcome=True) for h in net.hosts)
            mark = b.mark()
            a.call("hello")
            for p in (b, c):
                self.assertTrue(p.wait_event(2, ev="udp", **{"from": a.addr}))
            # b and c answer the newcomer with WELCOME
            for p in (b, c):
                self.assertTrue(a.wait_event(3, ev="tcp", kind="WELCOME", **{"from": p.addr}))
            self.assertEqual(set(a.keys()), {b.addr, c.addr})
            self.assertEqual(a.keys()[b.addr], (b.e, b.n))
            self.assertEqual(b.events(mark, ev="tcp"), [])  # nothing but the broadcast reached b
            # a -> b -> c, sent in three pieces: b relays, c acks to a
            sent = a.call("onion", to=c.addr, route=[b.addr], text="ahoj", zero_tail=True, chunks=3, gap=0.1)
            self.assertEqual(bytes.fromhex(sent["inner"])[-1], 0)
            ev = c.wait_event(5, ev="tcp", kind="MESS")
            self.assertEqual((ev["from"], ev["writer"]), (b.addr, a.addr))
            self.assertEqual(bytes.fromhex(ev["text"]), bytes.fromhex(sent["text"]))
            self.assertEqual(b.wait_event(1, ev="tcp", kind="IP")["next"], c.addr)
            self.assertTrue(a.wait_event(3, ev="tcp", kind="ACK", **{"from": c.addr}))
            names = [net.switch] + [h.ns for h in net.hosts]
        left = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
        self.assertFalse([n for n in names if n in left.split()])


if __name__ == "__main__":
    unittest.main()
