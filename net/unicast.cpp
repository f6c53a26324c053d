#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <memory>
#include <string>

#include "directory/messages.h"
#include "net/net.h"
#include "onion/layer.h"

void Cnet::listen_proc_unicast(unsigned int, long event) {
    switch (event & 0xFFFF) {
    case plat::FD_ACCEPT: {
        sockaddr_in peer{};
        socklen_t peer_len = sizeof peer;
        int s = plat::Accept(sock_unicast, reinterpret_cast<sockaddr*>(&peer), &peer_len);
        if (s < 0) {
            if (errno != EAGAIN && errno != EINTR) say("Soket sa nepodarilo prijat.");
            return;
        }
        heard_from(peer.sin_addr.s_addr);
        sock_accepted = s;
        addr_accepted = peer;
        // The accepted connection raises no events of its own: read it now,
        // through the window like every other notification.
        if (hwnd && *hwnd)
            plat::SendMessage(*hwnd, WM_UNICAST, 0, plat::FD_READ);
        else
            listen_proc_unicast(0, plat::FD_READ);
        if (sock_accepted == s) {  // the window was gone; do not leak it
            plat::CloseSocket(s);
            sock_accepted = -1;
        }
        return;
    }
    case plat::FD_READ: {
        if (sock_accepted < 0) return;
        std::unique_ptr<char[]> buf(new char[RECEIVE_MAX + 1]);
        int length = 0;
        bool ok = read_connection(buf.get(), &length);
        if (!ok) {
            say("");
            say("Prijem dat zlyhal.");
        } else if (length > 0) {  // a connection that closes empty carries nothing
            handle_message(buf.get(), length, addr_accepted.sin_addr.s_addr);
        }
        plat::CloseSocket(sock_accepted);
        sock_accepted = -1;
        return;
    }
    default:
        return;
    }
}

// Reads the one message of the accepted connection: everything until the peer
// closes, at most RECEIVE_MAX bytes, within WAIT_MS in all. A message may come
// in several segments, and a peer that sends nothing must not hold the station.
bool Cnet::read_connection(char* buf, int* length) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    int total = 0;
    for (;;) {
        ssize_t r = recv(sock_accepted, buf + total, static_cast<size_t>(RECEIVE_MAX + 1 - total), 0);
        if (r > 0) {
            total += static_cast<int>(r);
            if (total > RECEIVE_MAX) return false;
            continue;
        }
        if (r == 0) break;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p{sock_accepted, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    *length = total;
    return true;
}

void Cnet::handle_message(const char* data, int length, uint32_t peer) {
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
        say(line.c_str());
        save_to_file((line + "\n").c_str());
    } else {
        handle_onion(data, length, peer);
    }
}

namespace {

// A copy of `size` bytes of `data` (which has *length) completed with zero
// bytes, plus the uncounted zero byte.
char* zero_completed(const char* data, int* length, int size) {
    char* out = new char[static_cast<size_t>(size) + 1]();
    std::memcpy(out, data, static_cast<size_t>(std::min(*length, size)));
    *length = size;
    return out;
}

}  // namespace

char* peel_layer(Crsa& rsa, const char* data, int* length, uint32_t* address, bool* last) {
    // A short last block decrypts as if completed with the zeros a relay
    // that does not restore them left off.
    std::unique_ptr<char[]> decrypted(rsa.decrypt(data, length));
    char* unpadded = rsa.delete_padding(decrypted.get(), length);
    // Likewise an empty text whose writer's address ends in zero octets
    // (x.y.z.0 on a /23) loses those octets: they were zeros too.
    if (*length >= 5 && *length < Clayer::MESS_HEADER && std::memcmp(unpadded, "MESS:", 5) == 0) {
        std::unique_ptr<char[]> short_layer(unpadded);
        unpadded = zero_completed(short_layer.get(), length, Clayer::MESS_HEADER);
    }
    std::unique_ptr<char[]> inner(Clayer::delete_prefix(unpadded, length, address, last));
    if (!inner || *last) return inner.release();
    // Unpadding also ate any zero bytes that ended the inner ciphertext; the
    // next station needs its layer whole, in full blocks.
    int whole = (*length + Cnet::CIPHER_BLOCK - 1) / Cnet::CIPHER_BLOCK * Cnet::CIPHER_BLOCK;
    if (whole != *length) inner.reset(zero_completed(inner.get(), length, whole));
    return inner.release();
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
    std::string next = dotted(address);
    // No station can be at such an address; connecting there would reach
    // ourselves or nobody.
    auto send_to_next = [&](const char* data, int len) {
        if (station_address_ok(address))
            send_unicast(data, next.c_str(), len);
        else
            say("Chyba pri pripojeni na vzdalenu stanicu.");
    };
    if (!last) {
        send_to_next(inner.get(), length);
        std::string line = "PRENOS: " + dotted(peer) + " -> " + dotted(my_IPaddr) + " -> " + next;
        if (print) print->printout_transmission(line.c_str());
    } else {
        say("");
        if (print) print->printout_mess(inner.get(), next.c_str(), "IN");
        send_to_next("ACK", 3);
    }
}
