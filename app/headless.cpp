#include "app/headless.h"

#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/close_signals.h"
#include "app/station.h"
#include "net/trace.h"

namespace {

bool g_unflushed = false;  // pane lines written since the loop last slept

// One pane line is one output line: a text a peer sent may hold line breaks
// or tabs, which would otherwise forge lines of other panes.
void print_line(std::string line) {
    size_t tab = line.find('\t');
    for (size_t i = tab == std::string::npos ? 0 : tab + 1; i < line.size(); ++i)
        if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F) line[i] = '?';
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    g_unflushed = true;
}

// A pane that prints each line as it arrives. The stations pane is printed
// whole once per redraw, when the loop is next idle, like a screen repaint.
class PrintingPane : public plat::Pane {
public:
    PrintingPane(std::string name, bool whole)
        : plat::Pane(whole), name_(std::move(name)), whole_(whole) {}

protected:
    void inserted(const std::string& utf8) override {
        if (whole_)
            schedule();
        else
            print_line(name_ + "\t" + utf8);
    }
    void cleared() override {
        if (whole_) schedule();
    }

private:
    void schedule() {
        if (scheduled_) return;
        scheduled_ = true;
        QTimer::singleShot(0, [this] {
            scheduled_ = false;
            std::string line = name_ + "\t";
            for (size_t i = 0; i < lines().size(); ++i) line += (i ? " " : "") + lines()[i];
            print_line(line);
        });
    }

    std::string name_;
    bool whole_;
    bool scheduled_ = false;
};

}  // namespace

HeadlessToolkit::HeadlessToolkit() = default;
HeadlessToolkit::~HeadlessToolkit() = default;

plat::HWND HeadlessToolkit::create_control(const char*, const char* text, int, int, int, int,
                                           plat::HWND, int id) {
    std::unique_ptr<plat::Window> w;
    if (id == ID_STATIONS)
        w = std::make_unique<PrintingPane>("stations", true);
    else if (id == ID_MESSAGES || id == ID_TRANSFERS)
        w = std::make_unique<PrintingPane>(id == ID_MESSAGES ? "messages" : "transfers", false);
    else
        w = std::make_unique<plat::Window>();
    w->set_text(text);
    windows_.push_back(std::move(w));
    return windows_.back().get();
}

plat::HWND HeadlessToolkit::create_main(plat::WNDPROC proc, const char* caption, int, int) {
    windows_.push_back(std::make_unique<plat::MainWindow>(proc));
    windows_.back()->set_text(caption);
    return windows_.back().get();
}

bool HeadlessToolkit::command(const std::string& line) {
    auto word_end = [&](size_t from) {
        size_t e = line.find(' ', from);
        return e == std::string::npos ? line.size() : e;
    };
    if (line == "quit") {
        close_station();
    } else if (line == "clear") {
        plat::SendMessage(hwnd, plat::WM_COMMAND, 0, reinterpret_cast<plat::LPARAM>(button_2));
    } else if (line.rfind("send ", 0) == 0) {
        size_t r0 = 5, r1 = word_end(r0);
        size_t l0 = r1 + 1;
        if (r1 == r0 || l0 > line.size()) {
            std::fprintf(stderr, "cibula: usage: send RECIPIENT ROUTE-LENGTH TEXT\n");
            return false;
        }
        size_t l1 = word_end(l0);
        if (l1 == l0) {
            std::fprintf(stderr, "cibula: usage: send RECIPIENT ROUTE-LENGTH TEXT\n");
            return false;
        }
        std::string text = l1 < line.size() ? line.substr(l1 + 1) : std::string();
        plat::SetWindowText(edit_1, text.c_str());
        plat::SetWindowText(edit_2, line.substr(r0, r1 - r0).c_str());
        plat::SetWindowText(edit_3, line.substr(l0, l1 - l0).c_str());
        plat::SendMessage(hwnd, plat::WM_COMMAND, 0, reinterpret_cast<plat::LPARAM>(button_1));
    } else {
        std::fprintf(stderr, "cibula: unknown command: %s\n", line.c_str());
        return false;
    }
    return true;
}

void HeadlessToolkit::read_input(int fd) {
    char chunk[4096];
    ssize_t r = read(fd, chunk, sizeof chunk);
    TRACE_POINT(input, 0);
    if (r < 0) {
        if (errno != EAGAIN && errno != EINTR) unwatch(fd);
        return;
    }
    if (r == 0) {  // end of input closes the station
        unwatch(fd);
        close_station();
        return;
    }
    for (const char *p = chunk, *end = chunk + r; p < end;) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        // Input that never ends its line must not grow without bound.
        if (!overlong_) pending_.append(p, static_cast<size_t>(stop - p));
        if (pending_.size() > MAX_LINE) {
            std::fprintf(stderr, "cibula: input line longer than %zu bytes dropped\n", MAX_LINE);
            pending_.clear();
            overlong_ = true;
        }
        p = nl ? nl + 1 : end;
        if (!nl) break;
        if (overlong_) {
            overlong_ = false;
            continue;
        }
        std::string line = std::move(pending_);
        pending_.clear();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) command(line);
        if (!hwnd || static_cast<plat::MainWindow*>(hwnd)->destroyed()) return;
    }
}

void HeadlessToolkit::close_station() { plat::DestroyWindow(hwnd); }

int run_headless(int argc, char** argv, bool read_commands) {
    QCoreApplication app(argc, argv);
    HeadlessToolkit toolkit;

    // Pane lines go out together each time the loop is about to wait: a
    // reader woken per line would take the time a relay needs.
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     [] {
                         if (!g_unflushed) return;
                         std::fflush(stdout);
                         g_unflushed = false;
                         TRACE_POINT(flushed, 0);
                     });
    close_on_signals(toolkit);
    if (read_commands) toolkit.watch(STDIN_FILENO, [&toolkit](int fd) { toolkit.read_input(fd); });

    int code = WinMain(toolkit, true);
    plat::set_toolkit(nullptr);
    return code;
}
