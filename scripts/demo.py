"""The demo LAN: four stations on a bridge, each in a namespace of its own."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lanlab"))
import lan  # noqa: E402

NAMES = "ABCD"


def show_new(stations, seen):
    """Prints the pane lines that came since the last call, in the order they
    came, each with its station."""
    fresh = []
    for name, s in zip(NAMES, stations):
        with s.cond:
            fresh += [(t, name, s.addr, pane, text) for t, pane, text in s.entries(seen[name])
                      if pane in ("messages", "transfers", "stations")]
            seen[name] = s.mark()
    for _, name, addr, pane, text in sorted(fresh):
        print("%s %-11s %-9s %s" % (name, addr, pane, text), flush=True)


def headless(net):
    stations = net.start_stations()
    seen = {n: 0 for n in NAMES}
    a, d = stations[0], stations[-1]
    others = {s.addr for s in stations}
    for s in stations:
        s.wait_stations(others - {s.addr}, timeout=5)
    show_new(stations, seen)
    text = "Ahoj D, tu je A. Správa ide cez dvoch prostredníkov."
    for attempt in range(5):
        mark = a.mark()
        print("\n# A sends to D over a route of 2 relays", flush=True)
        a.send_msg(d.addr, 2, text)
        a.wait_for_line("messages", lan.re.compile(r"DOBA PRENOSU: \d+ms\."), timeout=10, since=mark)
        time.sleep(0.2)
        show_new(stations, seen)
        relays = a.route(mark, d.addr)
        if relays is not None and len(relays) == 2 and d.addr not in relays:
            break
        print("# the route drawn went through D itself; once more", flush=True)
    print("\n# closing the stations (each says BYE)", flush=True)
    for s in stations[:-1]:
        s.quit()
        time.sleep(0.2)
        show_new(stations, seen)
    d.quit()


def windows(net):
    env = dict(os.environ)
    env.pop("QT_QPA_PLATFORM", None)
    stations = [net.start_station(h, args=(), env=env) for h in net.hosts]
    print("Four station windows, addresses %s." % ", ".join(s.addr for s in stations))
    print("Type a text, a recipient address and a route length, then press Poslať.")
    print("Close the windows (or press Ctrl-C) to end the demo.", flush=True)
    while any(s.running() for s in stations):
        time.sleep(0.3)


def main():
    why = lan.unavailable()
    if why:
        sys.exit("demo: the LAN of network namespaces cannot be made here: " + why)
    lan.remove_stale()
    with lan.Lan(len(NAMES)) as net:
        try:
            if os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"):
                windows(net)
            else:
                headless(net)
        except KeyboardInterrupt:
            print("\ndemo: interrupted; removing the LAN", flush=True)


if __name__ == "__main__":
    main()
