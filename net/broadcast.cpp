#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "directory/messages.h"
#include "net/net.h"

void Cnet::listen_proc_broadcast(unsigned int, long) {
    char buf[DATAGRAM_MAX];
    sockaddr_in from{};
    iovec into{buf, sizeof buf};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr m{&from, sizeof from, &into, 1, control, sizeof control, 0};
    // MSG_TRUNC makes the kernel report the datagram's real length, so a
    // datagram longer than the buffer is caught rather than cut silently.
    ssize_t r = recvmsg(sock_broadcast, &m, MSG_TRUNC);
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (r < 0 || r > DATAGRAM_MAX) {
        say("Prijem dat zlyhal.");
        return;
    }
    // Only the LAN of the station's own interface counts, and only while it
    // has an address there: it answers nothing it could not sign.
    unsigned arrived = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            arrived = static_cast<unsigned>(reinterpret_cast<in_pktinfo*>(CMSG_DATA(c))->ipi_ifindex);
    if (my_IPaddr == 0 || arrived == 0 || arrived != chosen.index) return;
    handle_datagram(buf, static_cast<int>(r), from.sin_addr.s_addr);
}

void Cnet::handle_datagram(const char* data, int length, uint32_t source) {
    if (source == my_IPaddr) return;  // our own broadcast, come back
    // A host without an address broadcasts from 0.0.0.0, and an answer to
    // such a source would come back to ourselves.
    if (!station_address_ok(source)) return;
    std::string sender = dotted(source);
    if (length >= 5 && std::memcmp(data, "HELLO", 5) == 0) {
        // A key is only ever read from bytes that were received.
        if (length < Cmessages::HELLO_LEN) return;
        Skeys key = Cmessages::decode_hello_message(data);
        // A repeated HELLO changes nothing and costs nothing; a new station,
        // or a listed one restarted with a new key, learns our key.
        const Skeys* held = list.find_keys(source);
        if (held && *held == key) return heard_from(source, true);
        welcome(source, std::move(key));
    } else if (length >= 3 && std::memcmp(data, "BYE", 3) == 0) {
        delete_IPaddr(sender.c_str());
        if (auto it = welcoming.find(source); it != welcoming.end()) it->second = true;  // nor list it later
    }
}

// Until the WELCOME is through, the HELLO changes nothing: one that cannot be
// delivered was not asked for by the user, and shows no line. A second HELLO
// meanwhile, whatever its key, is dropped; the first one's key is taken.
void Cnet::welcome(uint32_t address, Skeys key) {
    if (!rsa || static_cast<int>(welcoming.size()) >= WELCOMES_AT_ONCE || !welcoming.emplace(address, false).second)
        return;
    int length = 0;
    std::unique_ptr<char[]> reply(Cmessages::create_welcome_message(rsa->get_my_keys(), &length));
    auto done = [this, address, key = std::move(key)](bool reached) {
        const bool said_bye = welcoming[address];
        welcoming.erase(address);
        // Our own address may have become the one we answered meanwhile.
        if (!reached || said_bye || address == my_IPaddr) return;
        const std::string name = dotted(address);
        if (!save_IPaddr(name.c_str(), key)) replace_IPaddr(name.c_str(), key);
        heard_from(address, true);  // the first HELLO heard from it, or from its new run
    };
    send_unicast(reply.get(), dotted(address).c_str(), length, std::move(done), true);
}
