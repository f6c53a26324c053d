#include "app/station.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "directory/messages.h"
#include "net/announce.h"

plat::HWND hwnd = nullptr;
plat::HWND edit_1 = nullptr, edit_2 = nullptr, edit_3 = nullptr;
plat::HWND listbox_1 = nullptr, listbox_2 = nullptr, listbox_3 = nullptr;
plat::HWND button_1 = nullptr, button_2 = nullptr;
Cprintout print;
Cnet net;
Crsa* rsa = nullptr;

namespace {

// A positive seed of the full width of long from the system's random source:
// a seed from a small range would let anyone precompute every key pair.
long draw_key_seed() {
    unsigned long raw = 0;
    if (getrandom(&raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        raw = static_cast<unsigned long>(std::time(nullptr)) * 2654435761UL ^
              static_cast<unsigned long>(std::clock());
    long seed = static_cast<long>(raw & static_cast<unsigned long>(LONG_MAX));
    return seed == 0 ? 1 : seed;
}

constexpr uintptr_t ANNOUNCE_TIMER = 1;
constexpr uintptr_t ADDRESS_TIMER = 3;
constexpr unsigned ADDRESS_POLL_MS = 1000;
// Looks for stations gone without BYE; once a second keeps the drop within a
// second of their silence running out.
constexpr uintptr_t SILENCE_TIMER = 4;
constexpr unsigned SILENCE_CHECK_MS = 1000;

// Seeded apart from rand(): stations started in the same second share its
// sequence and would announce together.
Cannounce& announce_schedule() {
    static Cannounce schedule(std::random_device{}());
    return schedule;
}

bool g_transcript_made = false;  // named after the first address the station had

// The station's HELLO, the same 134 bytes each time, and the next one timed.
void send_hello() {
    if (!rsa) return;
    int length = 0;
    std::unique_ptr<char[]> hello(Cmessages::create_hello_message(rsa->get_my_keys(), &length));
    net.send_broadcast(hello.get(), length);
    plat::SetTimer(hwnd, ANNOUNCE_TIMER, static_cast<unsigned>(announce_schedule().next_ms()));
}

// Where the station is, for its standard error (a service's journal) and
// the window's caption, which shows what the others must type to write to it.
std::string where(const InterfaceChoice& c) {
    switch (c.state) {
    case InterfaceChoice::addressed: return "cibula: on " + c.name + ", " + dotted(c.address);
    case InterfaceChoice::unaddressed: return "cibula: on " + c.name + ", no address yet";
    case InterfaceChoice::absent: return "cibula: on " + c.name + ", no such interface yet";
    default: return "cibula: no interface that can broadcast";
    }
}

std::string caption(const InterfaceChoice& c) {
    if (c.state != InterfaceChoice::addressed) return "Cibuľa – stanica (bez adresy)";
    return "Cibuľa – stanica " + dotted(c.address) + " (" + c.name + ")";
}

enum class Address { none, same, fresh };

// Reads the station's address again. Without one it announces nothing and
// looks again every second; a new one is announced at once and soon again,
// as at a start, so that every station hears it.
Address reread_address() {
    static std::optional<InterfaceChoice> told;
    const uint32_t before = net.own_address();
    net.get_IPaddr();
    if (told != net.chosen_interface()) {
        told = net.chosen_interface();
        std::fprintf(stderr, "%s\n", where(*told).c_str());
        plat::SetWindowText(hwnd, caption(*told).c_str());
    }
    const uint32_t now = net.own_address();
    if (now == 0) {
        plat::KillTimer(hwnd, ANNOUNCE_TIMER);
        plat::SetTimer(hwnd, ADDRESS_TIMER, ADDRESS_POLL_MS);
        return Address::none;
    }
    if (now == before) return Address::same;
    plat::KillTimer(hwnd, ADDRESS_TIMER);
    net.delete_IPaddr(dotted(now).c_str());  // a station that had it before us
    if (!g_transcript_made) {
        g_transcript_made = true;
        net.create_file();
    }
    announce_schedule().restart();
    send_hello();
    return Address::fresh;
}

void announce() {
    if (reread_address() == Address::same) send_hello();
}

void send_flow() {
    char text[100];
    char recipient[100];
    char route_text[5];
    plat::GetWindowText(edit_1, text, sizeof text);
    plat::GetWindowText(edit_2, recipient, sizeof recipient);
    plat::GetWindowText(edit_3, route_text, sizeof route_text);
    int route_length = std::atoi(route_text);

    int64_t started = net.start_time();
    reread_address();  // the message names the address the station has now
    net.send_message(text, inet_addr(recipient), route_length, started);
}

void drop_keys() {
    net.set_rsa(nullptr);
    delete rsa;
    rsa = nullptr;
}

void shutdown_station() {
    plat::KillTimer(hwnd, ANNOUNCE_TIMER);
    plat::KillTimer(hwnd, ADDRESS_TIMER);
    plat::KillTimer(hwnd, SILENCE_TIMER);
    // Only a station that announced itself says BYE: a second one on this
    // host would unlist the first everywhere.
    if (net.listening() && net.own_address() != 0) net.send_broadcast("BYE", 3);
    drop_keys();
    plat::PostQuitMessage(0);
    net.close_connections();
    plat::SocketCleanup();
}

}  // namespace

plat::LRESULT WindowProcedure(plat::HWND window, unsigned message, plat::WPARAM w, plat::LPARAM l) {
    switch (message) {
    case plat::WM_DESTROY:
        shutdown_station();
        return 0;
    case plat::WM_PAINT:
        zobraz_popisky();
        return 0;
    case plat::WM_COMMAND:
        if (l == reinterpret_cast<plat::LPARAM>(button_1) && button_1)
            send_flow();
        else if (l == reinterpret_cast<plat::LPARAM>(button_2) && button_2)
            print.reset();
        return 0;
    case plat::WM_TIMER:
        if (w == ANNOUNCE_TIMER)
            announce();
        else if (w == ADDRESS_TIMER)
            reread_address();
        else if (w == SILENCE_TIMER)
            net.forget_silent();
        return 0;
    case WM_UNICAST:
        net.listen_proc_unicast(static_cast<unsigned>(w), static_cast<long>(l));
        return 0;
    case WM_BROADCAST:
        net.listen_proc_broadcast(static_cast<unsigned>(w), static_cast<long>(l));
        return 0;
    default:
        return plat::DefWindowProc(window, message, w, l);
    }
}

void zobraz_popisky() {
    struct Label {
        const char* text;
        int x, y;
    };
    static const Label labels[] = {
        {"Zoznam stanic: ", 540, 106}, {"Okno správ:", 20, 106}, {"Okno prenosov:", 20, 269},
        {"Text:", 20, 6},              {"Príjemca:", 20, 50},    {"Dĺžka trasy:", 470, 50},
    };
    plat::BeginPaint(hwnd);
    for (const Label& label : labels) plat::TextOut(hwnd, label.x, label.y, label.text);
    plat::EndPaint(hwnd);
}

bool create_window() {
    hwnd = plat::CreateMainWindow(WindowProcedure, "Cibuľa – stanica", 700, 450);

    struct Control {
        plat::HWND* handle;
        int id;
        const char* cls;
        const char* text;
        int x, y, w, h;
    };
    const Control controls[] = {
        {&edit_1, ID_TEXT, "EDIT", "", 10, 25, 650, 20},
        {&edit_2, ID_RECIPIENT, "EDIT", "", 10, 70, 450, 20},
        {&edit_3, ID_ROUTE_LENGTH, "EDIT", "0", 480, 70, 50, 20},
        {&listbox_1, ID_MESSAGES, "LISTBOX", "okno sprav", 10, 130, 500, 140},
        {&listbox_2, ID_STATIONS, "LISTBOX", "okno dostupnych stanic", 530, 130, 150, 260},
        {&listbox_3, ID_TRANSFERS, "LISTBOX", "okno prenosov", 10, 290, 500, 110},
        {&button_1, ID_SEND, "BUTTON", "Poslať", 560, 70, 85, 20},
        {&button_2, ID_CLEAR, "BUTTON", "Vymazat okna", 410, 105, 100, 20},
    };
    for (const Control& c : controls) {
        *c.handle = plat::CreateWindowEx(c.cls, c.text, c.x, c.y, c.w, c.h, hwnd, c.id);
        if (!*c.handle) return false;
    }
    return true;
}

void make_keys(long seed) {
    print.set(&listbox_1, &listbox_2, &listbox_3);
    rsa = new Crsa;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    rsa->init_crypto_keys(Crsa::KEY_BITS, Crsa::PLAIN_BLOCK, seed);
    net.set_hwnd(&hwnd);
    net.set_print(&print);
    net.set_rsa(rsa);
}

int WinMain(plat::Toolkit& toolkit, bool leave_when_port_taken) {
    plat::set_toolkit(&toolkit);
    if (!create_window()) return 0;
    make_keys(draw_key_seed());

    net.prepare_listen();
    // Another station holds the port (the one of this host): this one takes
    // no part in the LAN, or it would announce a second key for the address.
    if (!net.listening()) {
        if (!leave_when_port_taken) return plat::RunMessageLoop();
        drop_keys();
        plat::SocketCleanup();
        return EXIT_PORT_TAKEN;
    }
    // A new address is announced at once, not at the next HELLO.
    net.watch_interfaces([] { reread_address(); });
    reread_address();
    plat::SetTimer(hwnd, SILENCE_TIMER, SILENCE_CHECK_MS);

    return plat::RunMessageLoop();
}
