#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/headless.h"
#include "app/station.h"
#include "app/window_main.h"
#include "net/interface.h"

namespace {

// Kept in step with the manual page (app/cibula.1) and the README.
const char kUsage[] =
    "usage: cibula [--headless | --relay] [--interface NAME] | --help | --version\n"
    "\n"
    "  cibula             the station in its window\n"
    "  cibula --headless  the station without a window, driven by standard input;\n"
    "                     commands, one per line:\n"
    "                       send RECIPIENT ROUTE-LENGTH TEXT  send TEXT to RECIPIENT\n"
    "                                                         over ROUTE-LENGTH relays\n"
    "                       clear                             empty the panes\n"
    "                       quit                              say BYE and end\n"
    "                     end of input, SIGTERM, SIGINT and SIGHUP end it too\n"
    "  cibula --relay     the station without a window that reads no input, for a\n"
    "                     service; runs until SIGTERM, SIGINT or SIGHUP, says BYE,\n"
    "                     exits 0\n"
    "  --interface NAME   (in any mode) take part in the LAN of interface NAME, which\n"
    "                     may come later; without it the station takes the interface\n"
    "                     of the default route, or else the first that can\n"
    "                     broadcast, devices before virtual ones\n"
    "  cibula --help      this text\n"
    "  cibula --version   the version\n"
    "\n"
    "--headless and --relay write every pane line to standard output:\n"
    "  messages<TAB>LINE, transfers<TAB>LINE, stations<TAB>ADDRESS ADDRESS ...\n"
    "\n"
    "A station announces itself about every 30 s. One that has announced itself\n"
    "at least twice and from which nothing has come for 100 s is forgotten, as if\n"
    "it had said BYE, until it announces itself again; one heard announcing only\n"
    "once stays listed until its BYE.\n"
    "\n"
    "When the writer cannot reach the first hop of a message, it sends the message\n"
    "again over a new route without that station, at most twice more (not with\n"
    "route length 0); a station it failed to reach is left out of its routes until\n"
    "heard from again. A message not acknowledged within 10 s of its sending, or\n"
    "whose every attempt failed at the first hop, is reported once: \"Sprava pre\n"
    "ADDRESS nebola potvrdena.\" A later acknowledgement is dropped.\n"
    "\n"
    "A station writes the transcript of what it sends to ADDRESS.txt (its own\n"
    "address) in the current folder, and uses UDP port 10012 (broadcast) and TCP\n"
    "port 10012: one station per host. A --headless or --relay station that\n"
    "cannot prepare its listening sockets (another station runs on this host)\n"
    "says why and exits with status 3.\n"
    "\n"
    "At start, and whenever it changes, the station says on standard error where\n"
    "it is: \"cibula: on eth0, 192.168.1.23\", \"cibula: on eth0, no address yet\",\n"
    "\"cibula: on wlan0, no such interface yet\" or \"cibula: no interface that can\n"
    "broadcast\"; without an address it announces and answers nothing. An unknown\n"
    "option, --interface without a name, or naming one longer than 15 characters,\n"
    "a loopback or a point-to-point interface, exits with status 2.\n";

enum class Mode { window, headless, relay };

// A service manager may start us with a standard descriptor closed; the first
// socket would take its number and pane lines would go into it.
void fill_closed_std_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// Why the interface --interface names can never carry the station's LAN;
// empty when it can, or may once it is there.
std::string interface_fault(const std::string& name) {
    if (name.size() >= IFNAMSIZ)
        return "cibula: " + name + ": an interface name has at most " + std::to_string(IFNAMSIZ - 1) + " characters";
    for (const NetInterface& i : read_host_network().interfaces) {
        if (i.name != name) continue;
        if (i.flags & IFF_LOOPBACK) return "cibula: " + name + " is a loopback interface: no other station is there";
        if (i.flags & IFF_POINTOPOINT) return "cibula: " + name + " is a point-to-point interface: it cannot broadcast";
    }
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output must not end the station.
    signal(SIGPIPE, SIG_IGN);
    fill_closed_std_descriptors();
    Mode mode = Mode::window;
    bool chosen = false;
    std::string interface;
    for (int i = 1; i < argc; ++i) {
        Mode m;
        if (std::strcmp(argv[i], "--interface") == 0) {
            // The next word is the name; an option or nothing there is none.
            if (i + 1 == argc || !*argv[i + 1] || std::strncmp(argv[i + 1], "--", 2) == 0) {
                std::fputs(kUsage, stderr);
                return 2;
            }
            interface = argv[++i];
            continue;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("cibula %s\n", CIBULA_VERSION);
            return 0;
        } else if (std::strcmp(argv[i], "--headless") == 0) {
            m = Mode::headless;
        } else if (std::strcmp(argv[i], "--relay") == 0) {
            m = Mode::relay;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (chosen && m != mode) {  // one station, one mode
            std::fputs(kUsage, stderr);
            return 2;
        }
        mode = m;
        chosen = true;
    }
    // Before keys or sockets: an interface that can never carry the LAN is
    // the caller's mistake, which a restart would repeat.
    if (std::string fault = interface.empty() ? "" : interface_fault(interface); !fault.empty()) {
        std::fprintf(stderr, "%s\n", fault.c_str());
        return 2;
    }
    net.set_interface_name(interface);
    if (mode == Mode::window && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        // Qt would abort without a display; say what to do instead.
        std::fprintf(stderr, "cibula: no display to open the window on; run cibula --headless\n");
        return 1;
    }
    switch (mode) {
        case Mode::headless: return run_headless(argc, argv, true);
        case Mode::relay: return run_headless(argc, argv, false);
        default: return run_window(argc, argv);
    }
}
