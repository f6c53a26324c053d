#include "app/close_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "app/station.h"

namespace {

int g_pipe[2] = {-1, -1};

// Only writes a byte; the loop does the closing.
void on_signal(int) {
    char c = 1;
    ssize_t ignored = write(g_pipe[1], &c, 1);
    (void)ignored;
}

}  // namespace

void close_on_signals(plat::Toolkit& toolkit) {
    if (g_pipe[0] < 0 && pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // The terminal closed: leave as on SIGTERM, unless started under nohup.
    struct sigaction hup {};
    if (sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler != SIG_IGN) sigaction(SIGHUP, &sa, nullptr);
    toolkit.watch(g_pipe[0], [](int fd) {
        char buf[16];
        while (read(fd, buf, sizeof buf) > 0) {
        }
        plat::DestroyWindow(hwnd);
    });
}
