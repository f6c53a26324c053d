#include "app/printout.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace {

void insert(plat::HWND* pane, const char* line) {
    if (pane) plat::SendMessage(*pane, plat::LB_INSERTSTRING, 0, reinterpret_cast<plat::LPARAM>(line));
}

void empty(plat::HWND* pane) {
    if (pane) plat::SendMessage(*pane, plat::LB_RESETCONTENT, 0, 0);
}

}  // namespace

void Cprintout::set(plat::HWND* mess, plat::HWND* ip, plat::HWND* transmission) {
    mess_window = mess;
    ip_window = ip;
    transmission_window = transmission;
}

void Cprintout::printout_mess(const char* line) { insert(mess_window, line); }

void Cprintout::printout_transmission(const char* line) { insert(transmission_window, line); }

void Cprintout::printout_mess(const char* text, const char* address, const char* direction) {
    // Built as a string: a text received from the network can be of any length.
    std::string line;
    bool incoming = std::strcmp(direction, "IN") == 0;
    if (incoming)
        line = std::string(address) + " -> JA : " + text;
    else if (std::strcmp(direction, "OUT") == 0)
        line = std::string("JA -> ") + address + " : " + text;
    else
        line = text;
    insert(mess_window, line.c_str());
    // The front-end may draw the user's attention to it.
    if (plat::Toolkit* tk = plat::toolkit(); incoming && tk && mess_window)
        tk->message_arrived(*mess_window, address, plat::cp1250_to_utf8(text));
}

void Cprintout::reset() {
    empty(mess_window);
    empty(transmission_window);
}

void Cprintout::refresh_ip_window(Clist* list) {
    int n = list->get_size();
    empty(ip_window);
    for (int i = 1; i <= n; ++i) {
        in_addr a{};
        a.s_addr = list->get_ip(i);
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a, dotted, sizeof dotted);
        insert(ip_window, dotted);
    }
}
