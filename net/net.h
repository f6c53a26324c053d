#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stack>
#include <string>
#include <utility>
#include <vector>

#include "app/printout.h"
#include "crypto/rsa.h"
#include "directory/list.h"
#include "net/interface.h"
#include "platform/winapi.h"

constexpr int NET_PORT = 10012;
constexpr unsigned WM_UNICAST = plat::WM_USER + 1;
constexpr unsigned WM_BROADCAST = plat::WM_USER + 2;

// Dotted form of an address in network byte order.
std::string dotted(uint32_t address);

// Milliseconds on a monotonic clock since the station started; 64 bits, so
// that it does not wrap however long the station runs.
int64_t station_clock_ms();

// Whether an address (network byte order) can be a station at all: never
// 0.0.0.0/8, 127.0.0.0/8, 224.0.0.0/4 or 255.255.255.255. A station never
// lists, answers or connects to any other.
bool station_address_ok(uint32_t address);

// The station's network endpoint: its two listening sockets, sending, the
// station list, the transfer clock, the transcript, routes and onions.
class Cnet {
public:
    static constexpr int RECEIVE_MAX = 2500;  // largest message one connection may carry
    static constexpr int WAIT_MS = 3000;      // bound on connecting, sending and reading
    static constexpr int DATAGRAM_MAX = 300;
    // A station that repeats its HELLO and has been heard from in none of
    // three of its longest gaps between HELLOs, and a margin, is gone.
    static constexpr int64_t SILENT_MS = 100000;
    // Incoming connections held at once: from one address, and in all. A new
    // one beyond either closes the oldest held (of that address, or of all) as
    // if its time had run out; honest peers finish theirs in milliseconds.
    static constexpr int HELD_PER_ADDRESS = 64;
    static constexpr int HELD_IN_ALL = 512;
    static constexpr int ACCEPT_PAUSE_MS = 1000;  // listener silenced after an accept error
    // WELCOMEs on their way at once. A HELLO that would need one more, or
    // comes from an address whose WELCOME is on its way, is dropped: a live
    // station repeats its HELLO, while a queue would try every forged address.
    static constexpr int WELCOMES_AT_ONCE = 32;

    Cnet() = default;
    ~Cnet();
    Cnet(const Cnet&) = delete;
    Cnet& operator=(const Cnet&) = delete;

    void set_hwnd(plat::HWND* h) { hwnd = h; }
    void set_print(Cprintout* p) { print = p; }
    void set_rsa(Crsa* r) { rsa = r; }
    // The clock that times transfers and what is heard; station_clock_ms
    // unless a test injects another.
    void set_clock(std::function<int64_t()> now) { clock = std::move(now); }

    // Reads the station's current address into my_IPaddr, that of the
    // interface it takes part on (choose_interface): 0.0.0.0 while it has
    // none. The host is read again only when it changed, or while there is none.
    void get_IPaddr();
    // The interface --interface names; empty: chosen by the station.
    void set_interface_name(std::string name) { wanted = std::move(name); }
    const InterfaceChoice& chosen_interface() const { return chosen; }
    // Watches the host's links, addresses and routes: on a change, `changed`
    // runs from the loop. Without the watch the host is read at every get_IPaddr.
    void watch_interfaces(std::function<void()> changed);
    // Where get_IPaddr learns the host's interfaces; read_host_network unless
    // a test gives the station a host of its own.
    void set_host_reader(std::function<HostNetwork()> read) { read_host = std::move(read); }
    void prepare_listen();
    // Whether prepare_listen got both listening sockets ready.
    bool listening() const { return listening_ok; }
    void send_broadcast(const char* data, int length);
    // Sends one message over a connection of its own, finished by the event
    // loop within WAIT_MS; never to an address no station can have. `done(reached)` runs later from the loop, never
    // from inside this call; reached: connected and every byte handed over.
    // A `quiet` one shows no line when it fails.
    void send_unicast(const char* data, const char* address, int length,
                      std::function<void(bool reached)> done = {}, bool quiet = false);
    bool save_IPaddr(const char* address, Skeys key);
    // A listed station's new key (Clist::replace); redraws the stations pane
    // and answers true when the key was replaced.
    bool replace_IPaddr(const char* address, Skeys key);
    void delete_IPaddr(const char* address);
    // Something came from `address`: its HELLO (`announced`), its WELCOME or
    // a connection.
    void heard_from(uint32_t address, bool announced = false);
    // Forgets, as if they had said BYE, the listed stations that repeat their
    // HELLO and have been silent for SILENT_MS; meant to run about every second.
    void forget_silent();
    // Starts the transfer clock of a message; its start on the station's clock.
    int64_t start_time();

    // A message the user wrote: routed, wrapped, shown and handed to its
    // first hop, timed from `started_ms` (what start_time gave for it). When
    // the first hop cannot be reached, up to RETRIES more attempts go round
    // it; the message waits for its recipient's ACK for ACK_WAIT_MS from the
    // start, or is reported at once when no attempt reached a first hop.
    void send_message(const char* text, uint32_t recipient, int route_length, int64_t started_ms);
    static constexpr int RETRIES = 2;
    static constexpr int64_t ACK_WAIT_MS = 10000;

    // One message written by this station, waiting for its recipient's ACK;
    // while no attempt of it has reached a first hop, what a new attempt needs.
    struct Waiting {
        uint32_t recipient;
        int64_t started_ms;  // on the station's clock
        bool reached = true;  // an attempt was handed to its first hop
        uint64_t id = 0;
        int route_length = 0;
        int attempts = 0;
        std::string text;
    };
    // Registers the message just handed to its first hop for `recipient`,
    // timed from `started_ms` (what start_time gave for it).
    void await_ack(uint32_t recipient, int64_t started_ms);
    // The oldest message handed on and still waiting for an ACK from `from`,
    // taken off the list; false when none is.
    bool take_waiting(uint32_t from, Waiting* message);
    // Reports, once each, the messages left unconfirmed ACK_WAIT_MS after
    // their start, and stops waiting for them; runs by itself when one is due.
    void report_unconfirmed();

    void listen_proc_broadcast(unsigned int socket, long event);
    void listen_proc_unicast(unsigned int socket, long event);

    // Creates (or empties) the transcript ADDRESS.txt for the current address;
    // without it, the station runs on and records nothing.
    void create_file();
    void save_to_file(const char* text);

    void generate_path(std::stack<uint32_t>* route, int length);
    char* create_onion(std::stack<uint32_t> route, const char* text, int* length,
                       uint32_t* recipient, uint32_t* first_hop);

    // What the receivers do with one datagram / one connection's message once
    // it has been read; separate so that they can be fed without sockets.
    void handle_datagram(const char* data, int length, uint32_t source);
    void handle_message(const char* data, int length, uint32_t peer);

    // Connections open now, incoming and outgoing.
    int connections() const { return static_cast<int>(conns.size()); }
    // Closes every connection at once, unreported (the station is closing).
    void close_connections();

    uint32_t own_address() const { return my_IPaddr; }
    void set_own_address(uint32_t a) { my_IPaddr = a; }
    Clist& stations() { return list; }

private:
    void say(const char* line);
    // One TCP connection the loop is serving: read until the peer closes, or
    // connect and write. Keyed by a serial number that no reused fd can match;
    // all get the same time, so that order is also the order of their deadlines.
    struct Connection {
        int fd = -1;
        bool outgoing = false;
        bool connected = false;
        uint32_t peer = 0;
        std::unique_ptr<char[]> buf;  // received so far / the bytes to send
        int length = 0;               // bytes in buf
        int sent = 0;
        int64_t due = 0;              // station_clock_ms() when its time runs out
        std::function<void(bool)> done;
        bool quiet = false;
    };
    using Conns = std::map<uint64_t, Connection>;

    void handle_onion(const char* data, int length, uint32_t peer);
    void accept_one(int s, const sockaddr_in& peer);
    void make_room(uint32_t peer);
    void on_readable(uint64_t id);
    void close_received();
    // `later`: called from inside send_unicast, whose sender hears later.
    void on_writable(uint64_t id, bool later = false);
    // One loop call at a time waits for the oldest connection's deadline.
    void watch_deadlines();
    void on_deadlines();
    // Forgets the connection and closes it (unless `close` is false: then
    // the caller closes it); the caller has what it needs.
    Connection finish(Conns::iterator it, bool close = true);
    void failed_receiving(Conns::iterator it);
    void failed_sending(Conns::iterator it, const char* line, bool later = false);
    void tell(std::function<void(bool)> done, bool reached, bool later);
    void tell_now();
    // A HELLO's new station or new key, taken once our WELCOME reaches its
    // sender: a forged source address completes no connection.
    void welcome(uint32_t address, Skeys key);
    // One attempt at a waiting message: false when no route or onion could
    // be made for it (nothing sent).
    bool attempt(Waiting& message);
    void attempted(uint64_t id, uint32_t first_hop, bool reached);
    void unconfirmed(std::deque<Waiting>::iterator it);
    void watch_waiting();

    bool bind_own_address(int s);
    void interfaces_changed();

    int sock_unicast = -1;
    int sock_broadcast = -1;
    uint32_t my_IPaddr = 0;
    std::string wanted;
    InterfaceChoice chosen;
    std::function<HostNetwork()> read_host = read_host_network;
    int sock_interfaces = -1;
    bool host_changed = true;  // since it was last read
    std::function<void()> on_interfaces;
    std::string file_name;
    int transcript = -1;  // open from create_file on
    plat::HWND* hwnd = nullptr;
    Cprintout* print = nullptr;
    Clist list;
    Crsa* rsa = nullptr;
    std::function<int64_t()> clock = station_clock_ms;
    std::deque<Waiting> waiting;  // oldest start first
    uint64_t next_message = 1;
    uintptr_t waiting_call = 0;
    bool listening_ok = false;
    Conns conns;
    uint64_t next_conn = 1;
    uintptr_t deadline_call = 0;
    std::deque<std::pair<std::function<void(bool)>, bool>> told;  // outcomes the senders hear later
    uintptr_t told_call = 0;
    std::vector<int> closing;  // connections read and handled, closed at the next turn
    uintptr_t closing_call = 0;
    bool accept_failing = false;
    std::map<uint32_t, bool> welcoming;  // where a WELCOME is on its way: whether a BYE came since
};
