#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/headless.h"
#include "app/window_main.h"

int main(int argc, char** argv) {
    // A closed standard output must not end the station.
    signal(SIGPIPE, SIG_IGN);
    bool headless = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0) {
            headless = true;
        } else {
            std::fprintf(stderr, "usage: cibula [--headless]\n");
            return 2;
        }
    }
    if (!headless && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM")) {
        // Qt would abort without a display; say what to do instead.
        std::fprintf(stderr, "cibula: no display to open the window on; run cibula --headless\n");
        return 1;
    }
    return headless ? run_headless(argc, argv) : run_window(argc, argv);
}
