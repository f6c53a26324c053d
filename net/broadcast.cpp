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
        // A new station, or a listed one that was restarted with a new key,
        // learns our key; a repeated HELLO changes nothing and costs nothing.
        bool fresh = save_IPaddr(sender.c_str(), key) || replace_IPaddr(sender.c_str(), key);
        heard_from(source, true);
        if (!fresh || !rsa) return;
        int reply_len = 0;
        std::unique_ptr<char[]> reply(Cmessages::create_welcome_message(rsa->get_my_keys(), &reply_len));
        send_unicast(reply.get(), sender.c_str(), reply_len);
    } else if (length >= 3 && std::memcmp(data, "BYE", 3) == 0) {
        delete_IPaddr(sender.c_str());
    }
}
