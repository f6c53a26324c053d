#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>

#include "directory/messages.h"
#include "net/net.h"
#include "net/trace.h"
#include "onion/layer.h"
#include "onion/peel.h"

void Cnet::listen_proc_unicast(unsigned int, long event) {
    if ((event & 0xFFFF) != plat::FD_ACCEPT) return;
    // A burst of connections is taken in one turn, but never so many that the
    // turn itself would hold up the loop.
    for (int turn = 0; turn < 64; ++turn) {
        sockaddr_in peer{};
        socklen_t peer_len = sizeof peer;
        int s = plat::Accept(sock_unicast, reinterpret_cast<sockaddr*>(&peer), &peer_len);
        if (s < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) return;
            // Out of descriptors or buffers: the connection stays queued and
            // the listener readable, so it is silenced for a while; one line
            // until an accept succeeds again.
            if (!accept_failing) say("Soket sa nepodarilo prijat.");
            accept_failing = true;
            plat::SuspendSelect(sock_unicast, ACCEPT_PAUSE_MS);
            return;
        }
        TRACE_POINT(accepted, peer.sin_addr.s_addr);
        heard_from(peer.sin_addr.s_addr);
        accept_failing = false;
        accept_one(s, peer);
    }
}

// A connection just accepted from `peer`: held, and read by the loop as its
// bytes arrive, until its writer closes it or its time runs out.
void Cnet::accept_one(int s, const sockaddr_in& peer) {
    uint32_t from = peer.sin_addr.s_addr;
    make_room(from);
    uint64_t id = next_conn++;
    Connection& c = conns[id];
    c.fd = s;
    c.peer = from;
    c.due = station_clock_ms() + WAIT_MS;
    c.buf.reset(new char[RECEIVE_MAX + 2]);
    // A writer sends right after connecting, so its bytes are often here
    // already: taken at once, the connection never needs watching.
    on_readable(id);
    if (!conns.count(id)) return;
    if (!plat::WatchSocket(s, false, [this, id](int) { on_readable(id); }))
        return failed_receiving(conns.find(id));
    watch_deadlines();
}

// Past a cap, the oldest connection held (from this address, or from anyone)
// ends as if its time had run out.
void Cnet::make_room(uint32_t peer) {
    int in_all = 0, from_peer = 0;
    auto oldest_in_all = conns.end(), oldest_from_peer = conns.end();
    for (auto it = conns.begin(); it != conns.end(); ++it) {
        if (it->second.outgoing) continue;
        if (in_all++ == 0) oldest_in_all = it;
        if (it->second.peer == peer && from_peer++ == 0) oldest_from_peer = it;
    }
    if (from_peer >= HELD_PER_ADDRESS)
        failed_receiving(oldest_from_peer);
    else if (in_all >= HELD_IN_ALL)
        failed_receiving(oldest_in_all);
}

void Cnet::on_readable(uint64_t id) {
    auto it = conns.find(id);
    if (it == conns.end()) return;
    Connection& c = it->second;
    for (;;) {
        ssize_t r = recv(c.fd, c.buf.get() + c.length, static_cast<size_t>(RECEIVE_MAX + 1 - c.length), 0);
        if (r > 0) {
            c.length += static_cast<int>(r);
            if (c.length > RECEIVE_MAX) return failed_receiving(it);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // more to come
        if (r < 0) return failed_receiving(it);
        break;  // the writer closed: the message is whole
    }
    TRACE_POINT(eof, c.peer);
    Connection done = finish(it, false);
    done.buf[done.length] = '\0';
    if (done.length > 0)  // a connection that closes empty carries nothing
        handle_message(done.buf.get(), done.length, done.peer);
    // close() runs the peer's side of the goodbye too: neither the next hop
    // nor the lines just written need wait for it, so it is left to the
    // loop's next turn.
    closing.push_back(done.fd);
    if (!closing_call) closing_call = plat::CallLater(0, [this]() { close_received(); });
    if (!closing_call) close_received();
}

void Cnet::close_received() {
    plat::CancelCall(closing_call);
    closing_call = 0;
    for (int fd : closing) plat::CloseSocket(fd);
    closing.clear();
}

void Cnet::watch_deadlines() {
    if (deadline_call || conns.empty()) return;
    int wait = static_cast<int>(conns.begin()->second.due - station_clock_ms());
    deadline_call = plat::CallLater(static_cast<unsigned>(std::max(wait, 0)), [this]() { on_deadlines(); });
}

void Cnet::on_deadlines() {
    deadline_call = 0;
    int64_t now = station_clock_ms();
    while (!conns.empty() && conns.begin()->second.due <= now) {
        auto it = conns.begin();
        if (!it->second.outgoing)
            failed_receiving(it);
        else
            failed_sending(it, it->second.connected ? "Doslo k chybe pri prenose."
                                                    : "Chyba pri pripojeni na vzdalenu stanicu.");
    }
    watch_deadlines();
}

void Cnet::failed_receiving(Conns::iterator it) {
    finish(it);
    say("");
    say("Prijem dat zlyhal.");
}

Cnet::Connection Cnet::finish(Conns::iterator it, bool close) {
    Connection c = std::move(it->second);
    conns.erase(it);
    if (close) plat::CloseSocket(c.fd);
    if (conns.empty()) {  // nothing left to time out
        plat::CancelCall(deadline_call);
        deadline_call = 0;
    }
    return c;
}

void Cnet::close_connections() {
    while (!conns.empty()) finish(conns.begin());
    close_received();
    welcoming.clear();
}

Cnet::~Cnet() {
    close_connections();
    plat::CancelCall(waiting_call);
    plat::CancelCall(told_call);
    if (transcript >= 0) close(transcript);
}

void Cnet::handle_message(const char* data, int length, uint32_t peer) {
    tell_now();
    if (length >= 7 && std::memcmp(data, "WELCOME", 7) == 0) {
        if (length < Cmessages::WELCOME_LEN) return;  // too short to hold a key
        if (peer == my_IPaddr) return;  // like our own HELLO: we never list ourselves
        if (!station_address_ok(peer)) return;
        std::string from = dotted(peer);
        Skeys key = Cmessages::decode_welcome_message(data);
        if (!save_IPaddr(from.c_str(), key)) replace_IPaddr(from.c_str(), key);  // no answer either way
        heard_from(peer);
    } else if (length >= 3 && std::memcmp(data, "ACK", 3) == 0) {
        // Only the recipient of a message we wrote confirms it, once: any
        // other ACK would show a time that means nothing.
        Waiting message{};
        if (!take_waiting(peer, &message)) return;
        std::string line = "DOBA PRENOSU: " + std::to_string(clock() - message.started_ms) + "ms.";
        TRACE_POINT(doba, peer);
        say(line.c_str());
        save_to_file((line + "\n").c_str());
        TRACE_POINT(doba_saved, peer);
    } else {
        handle_onion(data, length, peer);
    }
}

void Cnet::handle_onion(const char* data, int length, uint32_t peer) {
    if (!rsa) return;
    uint32_t address = 0;
    bool last = false;
    std::unique_ptr<char[]> inner(peel_layer(*rsa, data, &length, &address, &last));
    if (!inner) {  // stale key, junk or truncation: nothing to pass on
        say("");
        say("Prijem dat zlyhal.");
        return;
    }
    TRACE_POINT(peeled, address);
    std::string next = dotted(address);
    if (!last) {
        send_unicast(inner.get(), next.c_str(), length);
        std::string line = "PRENOS: " + dotted(peer) + " -> " + dotted(my_IPaddr) + " -> " + next;
        if (print) print->printout_transmission(line.c_str());
        TRACE_POINT(relayed, address);
    } else {
        say("");
        if (print) print->printout_mess(inner.get(), next.c_str(), "IN");
        TRACE_POINT(shown, address);
        send_unicast("ACK", next.c_str(), 3);
    }
}
