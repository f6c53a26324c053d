#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/headless.h"
#include "app/window_main.h"

namespace {

// Kept in step with the manual page (app/cibula.1) and the README.
const char kUsage[] =
    "usage: cibula [--headless | --relay | --help | --version]\n"
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
    "says why and exits with status 3.\n";

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

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output must not end the station.
    signal(SIGPIPE, SIG_IGN);
    fill_closed_std_descriptors();
    Mode mode = Mode::window;
    bool chosen = false;
    for (int i = 1; i < argc; ++i) {
        Mode m;
        if (std::strcmp(argv[i], "--help") == 0) {
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
