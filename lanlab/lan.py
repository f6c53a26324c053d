"""Test LAN: stations in their own network namespaces on one bridge.

    with Lan(4) as lan:                  # four station hosts, not yet running
        a, b, c, d = lan.start_stations()
        a.send_msg(d.addr, 1, "ahoj")
        d.wait_for_line("messages", f"{a.addr} -> JA : ahoj")

Layout: a switch namespace holds bridge br0; each host namespace holds eth0,
a veth whose peer p<i> sits on the bridge, the address <subnet>.<i>/<prefix>
(/24 unless told), lo up and a real LAN's default route: via <subnet>.254, a
router no host is (nothing answers there).  On a LAN where a host holds
<subnet>.254 (254 hosts) every host has `default dev eth0` instead.
Namespaces are named cibl<pid>-<lan>-..., so that remove_stale() can find
those of a run whose process is gone.  Nothing is created in the machine's
own network namespace, and every namespace goes away with close(), at exit,
and on SIGTERM/SIGHUP.

Up to 254 hosts on one bridge:
    Lan(254)                             # hosts 10.213.0.1 .. 10.213.0.254
    lan.add_hosts(16, plugged=False)     # more hosts in one go, links down
    lan.add_host(addr="10.213.1.0")      # a chosen address (Lan(..., prefix=23))
    host.unplug(); host.plug()           # its bridge port down / up
    lan.add_host(addressed=False)        # its address (and route) not there yet ...
    host.give_address()                  # ... until now (as DHCP would give them)
While a host is unplugged, whatever it sends and whatever is sent to it is
lost (its SYNs go unanswered, its broadcasts reach nobody); plug() returns
once the bridge forwards to it again.

The shapes of LANs people have:
    Lan(4, router=False)                 # static addresses, no default route
    Lan(3, subnet="169.254.7", prefix=16, router=False)   # link-local addresses
    host.tunnel()                        # a full-tunnel VPN: default dev tun0
    host.bridge()                        # a container bridge, docker0 at 172.17.0.1/16
    lab.add_host(into=host, dev="eth1")  # host joins LAN `lab` too, by eth1
    lab.add_host(into=host, dev="wlan0", made=False)   # an adapter that comes
    ...give_address()                    # later, with its address
A host of two LANs keeps its own LAN's default route; its leg on the other
LAN is a Host of that LAN (its address there) sharing the namespace.  Close
the LAN of the leg first (as nested `with` blocks and the exit handler do
when it was made later): the processes it runs there go with the namespace.

Every host knows every other host's MAC address from the start (permanent
neighbour entries, the MACs are fixed: 02:cb:<lan>:00:<index>): the kernel's
neighbour table is shared by all namespaces and its limit (gc_thresh3, 1024
entries) overflows past ~32 hosts that resolve each other by ARP; permanent
entries do not count against it, so nothing on the machine is changed and a
254-host LAN sends no ARP at all.  An address outside the LAN's hosts is
still resolved by ARP (and fails), an address off the LAN through the router
(one unanswered entry per host that sends there).  IPv6 stays off on the
hosts' links.
"""
import atexit
import concurrent.futures
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
PREFIX = "cibl"
SUBNET = "10.213.0"
MAX_HOSTS = 254  # default addresses <subnet>.1 .. <subnet>.254
PARALLEL_IP = int(os.environ.get("CIBULA_LAN_PARALLEL", "4"))  # `ip` processes at a time per build
DEFAULT_BIN = os.path.normpath(os.path.join(HERE, "..", "build", "app", "cibula"))
LSAN_SUPPRESSIONS = os.path.normpath(os.path.join(HERE, "..", "tests", "lsan.supp"))
# What a station built with AddressSanitizer/UBSan prints when it finds a fault.
SANITIZER_REPORT = re.compile(r"ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:")
# Holds tun0 open (so that its link is up) and drops what is routed into it.
HOLD_TUN = ("import fcntl, os, struct\nfd = os.open('/dev/net/tun', os.O_RDWR)\n"
            "fcntl.ioctl(fd, 0x400454ca, struct.pack('16sH', b'tun0', 0x1001))  # TUNSETIFF: IFF_TUN | IFF_NO_PI\n"
            "print('up', flush=True)\nwhile os.read(fd, 65536):\n    pass")

_live = []
_counter = [0]


def station_binary():
    return os.environ.get("CIBULA_BIN") or DEFAULT_BIN


def station_env(env=None):
    """The environment of a station: sanitizer options added to `env` (or to
    ours), so that a sanitized build reports leaks and stops at the first
    undefined behaviour; later options win, so ours come last."""
    env = dict(os.environ if env is None else env)
    for name, opts in (("ASAN_OPTIONS", "detect_leaks=1"),
                       ("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1"),
                       ("LSAN_OPTIONS", "suppressions=" + LSAN_SUPPRESSIONS)):
        if name != "LSAN_OPTIONS" or os.path.exists(LSAN_SUPPRESSIONS):
            env[name] = ":".join(filter(None, (env.get(name), opts)))
    return env


def ip(*args, check=True):
    r = subprocess.run(["ip", *args], capture_output=True, text=True)
    if check and r.returncode:
        raise RuntimeError("ip %s: %s" % (" ".join(args), r.stderr.strip()))
    return r


def ip_batch(lines, ns=None, check=True):
    """Runs ip commands (one a line, without 'ip') in one process, inside
    namespace ns or here; `ip` calls dominate building a large LAN.  Without
    check, a failing line does not stop the rest."""
    args = ["-n", ns] * bool(ns) + ["-force"] * (not check) + ["-batch", "-"]
    r = subprocess.run(["ip", *args], input="\n".join(lines) + "\n", capture_output=True, text=True)
    if check and r.returncode:
        raise RuntimeError("ip %s: %s" % (" ".join(args), r.stderr.strip()))
    return r


def netns_list():
    return [l.split()[0] for l in ip("netns", "list", check=False).stdout.splitlines() if l.strip()]


def _remove_netns(names):
    """Kills every process inside the namespaces, then removes them.  One
    pass over /proc, as `ip netns pids` does for one namespace."""
    ids = set()
    for ns in names:
        try:
            st = os.stat(os.path.join("/run/netns", ns))
            ids.add((st.st_dev, st.st_ino))
        except OSError:
            pass
    for pid in filter(str.isdigit, os.listdir("/proc")) if ids else ():
        try:
            st = os.stat("/proc/%s/ns/net" % pid)
            if (st.st_dev, st.st_ino) in ids:
                os.kill(int(pid), signal.SIGKILL)
        except (OSError, ValueError):
            pass
    if names:
        ip_batch(["netns del " + ns for ns in names], check=False)


def remove_stale():
    """Removes the namespaces of earlier runs whose process no longer exists."""
    stale = []
    for ns in netns_list():
        m = re.match(PREFIX + r"(\d+)-", ns)
        if not m or int(m.group(1)) == os.getpid():
            continue
        try:
            os.kill(int(m.group(1)), 0)
        except ProcessLookupError:
            stale.append(ns)
        except OSError:
            pass
    _remove_netns(stale)


def unavailable():
    """Why the test LAN cannot be made here, or None."""
    if os.geteuid() != 0:
        return "needs root"
    if not shutil.which("ip"):
        return "no ip command"
    probe = "%s%d-probe" % (PREFIX, os.getpid())
    r = ip("netns", "add", probe, check=False)
    if r.returncode:
        return "ip netns unavailable: " + r.stderr.strip()
    ip("netns", "del", probe, check=False)
    return None


def require(need_station=True, also=None):
    """For a test module's setUpModule: skips the module where no test LAN can
    be made here (or `also` names what else is missing), removes what crashed
    runs left, and insists on the station binary."""
    import unittest
    why = unavailable() or also
    if why:
        print("lan: skipped:", why)
        raise unittest.SkipTest(why)
    remove_stale()
    if need_station and not os.access(station_binary(), os.X_OK):
        raise RuntimeError("no station binary at %s (set CIBULA_BIN)" % station_binary())


def _close_all():
    while _live:
        _live[-1].close(check=False)


def _on_signal(signum, frame):
    raise KeyboardInterrupt("signal %d" % signum)  # unwinds like ^C; atexit removes the LANs


def _install_handlers():
    if _counter[0] or threading.current_thread() is not threading.main_thread():
        return
    atexit.register(_close_all)
    for s in (signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(s) == signal.SIG_DFL:
            signal.signal(s, _on_signal)


class Host:
    """One namespace on the bridge: .addr, .ns, .dev (its interface there),
    .port (its bridge port in the switch namespace), .mac, .plugged, .cwd (a
    temporary folder); .own: False for a leg of a host of another LAN."""

    def __init__(self, lan, index, ns, addr, plugged=True, addressed=True, dev="eth0", made=True, own=True):
        self.lan, self.index, self.ns, self.addr = lan, index, ns, addr
        self.addressed, self.dev, self.made, self.own = addressed, dev, made, own
        self.port, self.plugged = "p%d" % index, plugged
        self.mac = "02:cb:%02x:00:%02x:%02x" % (lan.number % 256, *divmod(index, 256))
        self.cwd = tempfile.mkdtemp(prefix="%s-h%d-" % (lan.name, index))

    def run(self, *cmd, **kw):
        """Runs a command inside this host's namespace."""
        return subprocess.run(["ip", "netns", "exec", self.ns, *cmd], **kw)

    def give_address(self):
        """Its address comes onto its interface, with the default route (a
        host made with addressed=False); one made with made=False gets its
        interface first, up, as an adapter plugged in would."""
        self.addressed = True
        if self.made:
            ip_batch([self.lan._address(self)] + self.lan._route(self), ns=self.ns)
            return
        ip("-n", self.lan.switch, "link", "set", "q%d" % self.index, "netns", self.ns)  # it waited there
        ip_batch(["link set q%d name %s" % (self.index, self.dev)] + self.lan._bring_up(self), ns=self.ns)
        self.made = True

    def tunnel(self, addr="10.8.0.2", peer="10.8.0.1"):
        """A full-tunnel VPN comes up: tun0, point-to-point, at addr; the
        default route leaves by it, the LAN keeps its subnet route on eth0.
        The process that holds tun0 open stops with the LAN."""
        holder = self.lan.start_proc(self, [PYTHON, "-c", HOLD_TUN])
        if not holder.wait_record(lambda r: r[2] == "up", 10):
            raise RuntimeError("no tun0 on %s:\n%s" % (self, holder.dump()))
        ip_batch(["addr add %s peer %s dev tun0" % (addr, peer), "link set tun0 addrgenmode none",
                  "link set tun0 up", "route replace default dev tun0"], ns=self.ns)

    def bridge(self, name="docker0", addr="172.17.0.1/16", timeout=5):
        """A container bridge beside the LAN, as docker0 with one container
        running: up, with carrier (its port a veth to the container's end,
        both here); nothing of it reaches the LAN."""
        port, inside = name[:10] + "-c", name[:10] + "-in"
        ip_batch(["link add %s type bridge" % name, "link add %s type veth peer name %s" % (port, inside)] +
                 ["link set %s addrgenmode none" % d for d in (name, port, inside)] +
                 ["link set %s master %s" % (port, name), "addr add %s dev %s" % (addr, name)] +
                 ["link set %s up" % d for d in (name, port, inside)], ns=self.ns)
        end = time.monotonic() + timeout
        while json.loads(ip("-n", self.ns, "-j", "link", "show", name).stdout)[0].get("operstate") != "UP":
            if time.monotonic() > end:
                raise RuntimeError("%s on %s has no carrier %s s after its port came up" % (name, self, timeout))
            time.sleep(0.02)

    def unplug(self):
        """Its bridge port goes down: from now on all it sends and all sent
        to it is lost.  The host's eth0 sees the carrier go."""
        ip("-n", self.lan.switch, "link", "set", self.port, "down")
        self.plugged = False

    def plug(self, timeout=5):
        """Its bridge port comes up; returns once the bridge forwards on the
        port again (the port state follows the carrier, not at once)."""
        ip("-n", self.lan.switch, "link", "set", self.port, "up")
        self.plugged = True
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            out = ip("-n", self.lan.switch, "-j", "-d", "link", "show", self.port).stdout
            if json.loads(out)[0].get("linkinfo", {}).get("info_slave_data", {}).get("state") == "forwarding":
                return
            time.sleep(0.02)
        raise RuntimeError("bridge port %s of %s not forwarding %s s after plugging" % (self.port, self, timeout))

    def __repr__(self):
        return "<Host %s %s>" % (self.ns, self.addr)


class Proc:
    """A process in a host namespace; stdout/stderr lines are collected with
    their time by reader threads (records: (monotonic time, pane, line))."""

    def __init__(self, host, argv, env=None):
        self.host, self.addr = host, host.addr
        self.hung = self.killed = False
        self.records = []
        self.cond = threading.Condition()
        self.popen = subprocess.Popen(["ip", "netns", "exec", host.ns, *argv], cwd=host.cwd,
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, env=env)
        self.started = time.monotonic()
        self.readers = [threading.Thread(target=self._read, args=(f, n), daemon=True)
                        for f, n in ((self.popen.stdout, "out"), (self.popen.stderr, "stderr"))]
        for t in self.readers:
            t.start()

    def _parse(self, line):
        return "stdout", line

    def _read(self, f, name):
        # A chunk is timed as soon as it is read: the lines a process wrote
        # together carry the one time they came.
        rest = b""
        while True:
            chunk = os.read(f.fileno(), 1 << 16)
            t = time.monotonic()
            lines = (rest + chunk).split(b"\n")
            rest = lines.pop() if chunk else b""
            records = []
            for raw in (l for l in lines if chunk or l):
                line = raw.decode("utf-8", "backslashreplace")
                records.append((t, *(self._parse(line) if name == "out" else ("stderr", line))))
            if not chunk:
                records.append((t, "eof-" + name, ""))
            with self.cond:
                self.records += records
                self.cond.notify_all()
            if not chunk:
                return

    def mark(self):
        with self.cond:
            return len(self.records)

    def lines(self, pane, since=0, until=None):
        with self.cond:
            return [r[2] for r in self.records[since:until] if r[1] == pane]

    def entries(self, since=0):
        """The records from `since` on: [(monotonic time, pane, line)]."""
        with self.cond:
            return self.records[since:]

    def when(self, i):
        """The monotonic time of record i (an index wait_record gave)."""
        with self.cond:
            return self.records[i][0]

    def wait_record(self, pred, timeout, since=0):
        """First record from `since` on for which pred(record) holds, as
        (index, record); None on timeout."""
        end = time.monotonic() + timeout
        with self.cond:
            i = since
            while True:
                for i in range(i, len(self.records)):
                    if pred(self.records[i]):
                        return i, self.records[i]
                i = len(self.records)
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def wait_until(self, fn, timeout):
        """Waits until fn() is true, checking at every new record; fn's last value."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                v = fn()
                left = end - time.monotonic()
                if v or left <= 0:
                    return v
                self.cond.wait(min(left, 0.2))

    def write(self, line):
        self.popen.stdin.write(line.encode("utf-8") + b"\n")
        self.popen.stdin.flush()

    def close_stdin(self):
        self.popen.stdin.close()

    def running(self):
        return self.popen.poll() is None

    def exit_code(self):
        """None while it runs."""
        return self.popen.poll()

    def kill(self, sig=signal.SIGTERM):
        if self.running():
            self.killed |= sig == signal.SIGKILL  # on purpose: its exit code is no fault
            self.popen.send_signal(sig)

    @property
    def pid(self):
        """`ip netns exec` execs the command, so this is the command's own pid."""
        return self.popen.pid

    def rss_kib(self):
        with open("/proc/%d/status" % self.pid) as f:
            return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))

    def fd_count(self):
        return len(os.listdir("/proc/%d/fd" % self.pid))

    def wait(self, timeout=10):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.running():
            self.kill(signal.SIGTERM)
            if self.wait(3) is None:
                self.hung = True
                self.popen.send_signal(signal.SIGKILL)
                self.wait(3)
        for t in self.readers:  # what a process says as it exits (a leak report) comes last
            t.join(5)
        for f in (self.popen.stdin, self.popen.stdout, self.popen.stderr):
            try:
                f.close()
            except OSError:
                pass

    def dump(self, last=40):
        with self.cond:
            return "\n".join("%8.3f %s\t%s" % (t - self.started, p, l) for t, p, l in self.records[-last:])


class Station(Proc):
    """`cibula --headless` in a host namespace.  Panes: messages, transfers,
    stations; stderr lines go to pane 'stderr'."""

    def __init__(self, host, binary=None, args=("--headless",), env=None, expect_exit=0):
        """expect_exit: the exit status that is no fault (a station that
        cannot listen exits with 3)."""
        self.binary, self.expect_exit = binary or station_binary(), expect_exit
        super().__init__(host, [self.binary, *args], station_env(env))

    def faults(self):
        """What went wrong with this station as a process: sanitizer reports
        on stderr, an exit code other than 0 (unless killed on purpose), not
        ending on SIGTERM.  Empty when nothing did."""
        out, err = [], self.lines("stderr")
        first = next((i for i, l in enumerate(err) if SANITIZER_REPORT.search(l)), None)
        if first is not None:
            out.append("sanitizer report:\n" + "\n".join(err[max(first - 2, 0):first + 40]))
        code = self.popen.poll()
        if self.hung:
            out.append("did not end within 3 s of SIGTERM")
        elif code not in (None, self.expect_exit) and not self.killed:
            out.append("exit code %d" % code)
        return ["%s (%s): %s" % (self.addr, self.binary, f) for f in out]

    def _parse(self, line):
        pane, tab, text = line.partition("\t")
        return (pane, text) if tab else ("stdout", line)

    def send(self, cmd):
        self.write(cmd)

    def send_msg(self, recipient, route_len, text):
        self.write("send %s %s %s" % (recipient, route_len, text))

    def wait_for_line(self, pane, pattern, timeout=5, since=0):
        """Index of the first line of `pane` from `since` on that equals
        pattern (str) or fully matches it (compiled regex); None on timeout."""
        if isinstance(pattern, str):
            ok = lambda s: s == pattern
        else:
            ok = lambda s: pattern.fullmatch(s) is not None
        r = self.wait_record(lambda r: r[1] == pane and ok(r[2]), timeout, since)
        return r and r[0]

    def stations(self):
        """The latest stations pane as a list (top first), None before any."""
        with self.cond:
            for r in reversed(self.records):
                if r[1] == "stations":
                    return r[2].split()
        return None

    def wait_stations(self, expected, timeout=5, ordered=False):
        """Waits until the latest stations line holds `expected` (a set, or a
        list when ordered); True when it did."""
        want = list(expected) if ordered else set(expected)
        cur = lambda: self.stations() if ordered else set(self.stations() or ())
        return self.wait_until(lambda: self.stations() is not None and cur() == want, timeout)

    def route(self, since, recipient, text=None):
        """The relays (first hop first) this station printed for its message
        to `recipient` (with `text`, when given) in the messages pane from
        `since` on; None while it has not printed that route.  The group
        reads, top first: "", recipient, relays nearest the recipient
        first, "VYGENEROVANA TRASA:", "JA -> recipient : text"."""
        got = self.lines("messages", since)
        for v in range(len(got) - 1, 1, -1):
            if got[v] != "VYGENEROVANA TRASA:":
                continue
            start = max((i for i in range(v) if got[i] == ""), default=None)
            if start is None or got[start + 1:start + 2] != [recipient]:
                continue
            if text is not None and got[v + 1:v + 2] != ["JA -> %s : %s" % (recipient, text)]:
                continue
            return got[start + 2:v][::-1]
        return None

    def quit(self, timeout=10):
        """'quit' on stdin; the exit code (None if still running)."""
        try:
            self.write("quit")
        except (BrokenPipeError, ValueError):
            pass
        return self.wait(timeout)

    @property
    def transcript_path(self):
        return os.path.join(self.host.cwd, self.addr + ".txt")

    def transcript(self):
        """The transcript file's bytes, None while it does not exist."""
        try:
            with open(self.transcript_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None


class Lan:
    """One bridge and hosts on it.  mtu: MTU of every veth end and of the
    bridge; prefix: the hosts' network prefix length (a host address may end
    in .0 from /23 on); router=False: no default route on any host."""

    def __init__(self, n_hosts=0, mtu=None, subnet=SUBNET, keep_dirs=None, prefix=24, router=True):
        _install_handlers()
        _counter[0] += 1
        self.number = _counter[0]
        self.name = "%s%d-%d" % (PREFIX, os.getpid(), self.number)
        self.switch = self.name + "-sw"
        self.mtu, self.subnet, self.prefix = mtu, subnet, prefix
        self.gateway = "%s.254" % subnet if router else None
        self.keep_dirs = os.environ.get("CIBULA_LAN_KEEP") == "1" if keep_dirs is None else keep_dirs
        self.hosts, self.procs, self.namespaces = [], [], []
        _live.append(self)
        try:
            self.namespaces.append(self.switch)
            ip("netns", "add", self.switch)
            ip_batch(["link add br0%s type bridge" % self._mtu(), "link set br0 up"], ns=self.switch)
            if n_hosts:
                self.add_hosts(n_hosts)
        except BaseException:
            self.close()
            raise

    def _mtu(self):
        return " mtu %d" % self.mtu if self.mtu else ""

    def add_host(self, addr=None, plugged=True, addressed=True, dev="eth0", made=True, into=None):
        """One more host: at `addr`, or at <subnet>.<its index>; with
        plugged=False its link starts unplugged (see Host.plug); with
        addressed=False its interface is up without the address (its
        broadcasts leave from 0.0.0.0) and has no default route until
        Host.give_address().  dev: its interface's name; made=False: no such
        interface until give_address() (addressed=False then too).  into: a
        host of another LAN, which joins this one by `dev` (a leg: it keeps
        its own LAN's default route, and its namespace is that LAN's)."""
        return self.add_hosts(1, [addr] if addr else None, plugged, addressed, dev, made, into)[0]

    def add_hosts(self, n, addrs=None, plugged=True, addressed=True, dev="eth0", made=True, into=None):
        """n more hosts in one go (a few `ip` processes for all of them plus
        one per host): at the addresses `addrs` (a list of n), or at
        <subnet>.<index>.  Returns them."""
        if n <= 0:
            return []
        first = len(self.hosts) + 1
        taken = {h.addr for h in self.hosts}
        new = []
        for k in range(n):
            i = first + k
            if addrs:
                addr = addrs[k]
            elif i <= MAX_HOSTS:
                addr = "%s.%d" % (self.subnet, i)
            else:
                raise ValueError("host %d: past %d hosts, give the addresses" % (i, MAX_HOSTS))
            if addr in taken:
                raise ValueError("address %s already on %s" % (addr, self.name))
            taken.add(addr)
            ns = into.ns if into else "%s-h%d" % (self.name, i)
            new.append(Host(self, i, ns, addr, plugged, addressed and made, dev, made, own=not into))
        old = list(self.hosts)
        self.hosts += new
        self.namespaces += [h.ns for h in new if h.own]
        # namespaces, then veth pairs with each end made straight in its
        # namespace (one not made yet waits in the switch's as q<i>)
        ip_batch(["netns add " + h.ns for h in new if h.own] +
                 ["link add %s netns %s%s type veth peer name %s address %s%s netns %s"
                  % (h.port, self.switch, self._mtu(), h.dev if h.made else "q%d" % h.index, h.mac, self._mtu(),
                     h.ns if h.made else self.switch) for h in new])
        ip_batch(["link set %s master br0%s" % (h.port, " up" * h.plugged) for h in new], ns=self.switch)
        jobs = [(h.ns, ["link set lo up"] * h.own + self._bring_up(h) * h.made) for h in new]
        # the hosts already there learn the new ones; with a host at the
        # router's address, the router is gone
        lost = self.gateway in {h.addr for h in new}
        jobs += [(h.ns, [self._neigh(h, o) for o in new] + self._route(h) * lost)
                 for h in old if h.made]
        with concurrent.futures.ThreadPoolExecutor(PARALLEL_IP) as pool:
            list(pool.map(lambda job: ip_batch(job[1], ns=job[0]), jobs))
        return new

    def _neigh(self, h, o):
        return "neigh replace %s lladdr %s dev %s nud permanent" % (o.addr, o.mac, h.dev)

    def _address(self, h):
        return "addr add %s/%d broadcast + dev %s" % (h.addr, self.prefix, h.dev)

    def _route(self, h):
        # a host's default route: through the router, or straight out of its
        # interface on a LAN where a host holds the router's address; none on a
        # leg, nor without a router
        if not (self.gateway and h.own and h.addressed):
            return []
        held = self.gateway in {o.addr for o in self.hosts}
        return ["route replace default %sdev %s" % ("" if held else "via %s " % self.gateway, h.dev)]

    def _bring_up(self, h):
        """The `ip` lines (in h's namespace) that bring h's interface up as
        far as h is: its address and route when addressed, its neighbours."""
        # no IPv6 link-local address: its DAD and MLD would flood every port
        # (below 1280 bytes of MTU the link has no IPv6 anyway)
        v6off = ["link set %s addrgenmode none" % h.dev] if (self.mtu or 1500) >= 1280 else []
        return (v6off + [self._address(h)] * h.addressed + ["link set %s up" % h.dev] + self._route(h) +
                [self._neigh(h, o) for o in self.hosts if o is not h])

    def track(self, proc):
        """Stops `proc` with the LAN, and checks it there when it is a Station."""
        self.procs.append(proc)
        return proc

    def start_proc(self, host, argv):
        """Any command in a host namespace, stopped with the LAN."""
        return self.track(Proc(host, argv))

    def start_station(self, host=None, **kw):
        return self.track(Station(host or self.add_host(), **kw))

    def start_stations(self, hosts=None):
        return [self.start_station(h) for h in (hosts or self.hosts)]

    def dump(self):
        """The latest lines of every process, for a failure message."""
        return "\n" + "\n".join("--- %s\n%s" % (p.addr, p.dump()) for p in self.procs)

    def close(self, check=True):
        """Stops everything and removes the namespaces; then, with check,
        raises AssertionError when a station crashed, hung, exited non-zero
        or printed a sanitizer report."""
        for p in reversed(self.procs):
            p.stop()
        faults = [f for p in self.procs if isinstance(p, Station) for f in p.faults()]
        self.procs = []
        _remove_netns(self.namespaces[::-1])
        self.namespaces.clear()
        if not self.keep_dirs:
            for h in self.hosts:
                shutil.rmtree(h.cwd, ignore_errors=True)
        if self in _live:
            _live.remove(self)
        if check and faults:
            raise AssertionError("station faults on %s:\n%s" % (self.name, "\n".join(faults)))

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        self.close(check=exc_type is None)


if __name__ == "__main__":
    # python3 lan.py clean: removes the namespaces of crashed runs
    if sys.argv[1:] == ["clean"]:
        remove_stale()
        print("\n".join(n for n in netns_list() if n.startswith(PREFIX)) or "no test namespaces left")
