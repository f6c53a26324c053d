#pragma once
#include <memory>
#include <vector>

#include "platform/qt_loop.h"

// The station without a window: pane lines go to standard output, commands
// come from standard input. Needs a QCoreApplication.
class HeadlessToolkit : public plat::QtLoop {
public:
    HeadlessToolkit();
    ~HeadlessToolkit() override;
    plat::HWND create_control(const char* cls, const char* text, int x, int y, int w, int h,
                              plat::HWND parent, int id) override;
    plat::HWND create_main(plat::WNDPROC proc, const char* caption, int w, int h) override;

    // Runs one command line; false (and one line on standard error) when malformed.
    bool command(const std::string& line);
    void read_input(int fd);

private:
    void close_station();

    std::vector<std::unique_ptr<plat::Window>> windows_;
    static constexpr size_t MAX_LINE = 4096;  // longer command lines are dropped
    std::string pending_;    // input not yet ended by a newline
    bool overlong_ = false;  // dropping the rest of a line that was too long
};

// With read_commands false (a relay run as a service) standard input is left
// alone and only SIGTERM or SIGINT ends the station.
int run_headless(int argc, char** argv, bool read_commands);
