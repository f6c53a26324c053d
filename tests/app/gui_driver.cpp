// The real station in its window, with a remote control on standard input so a
// LAN test can type, press and read the panes from inside, as QtTest does:
//   set N TEXT   text of input line N (1 text, 2 recipient, 3 route length)
//   press N      clicks button N (1 send, 2 clear)
//   pane N       prints the lines of pane N (1 messages, 2 stations, 3 transfers)
//                top first as "pane<TAB>line", then "end"
//   state        prints "state<TAB>X window id<TAB>active|inactive", then "end"
//   close        closes the window as the user would
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <string>

#include "app/station.h"
#include "app/window_main.h"

namespace {

StationToolkit* g_tk = nullptr;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void command(const std::string& line) {
    plat::HWND edits[] = {edit_1, edit_2, edit_3};
    plat::HWND panes[] = {listbox_1, listbox_2, listbox_3};
    plat::HWND buttons[] = {button_1, button_2};
    auto index = [&](size_t at) { return line.size() > at ? line[at] - '1' : -1; };
    if (line.rfind("set ", 0) == 0 && index(4) >= 0 && index(4) < 3) {
        auto* e = qobject_cast<QLineEdit*>(g_tk->widget(edits[index(4)]));
        e->setText(QString::fromStdString(line.size() > 6 ? line.substr(6) : ""));
    } else if (line.rfind("press ", 0) == 0 && index(6) >= 0 && index(6) < 2) {
        QTest::mouseClick(qobject_cast<QPushButton*>(g_tk->widget(buttons[index(6)])), Qt::LeftButton);
    } else if (line.rfind("pane ", 0) == 0 && index(5) >= 0 && index(5) < 3) {
        auto* list = qobject_cast<QListWidget*>(g_tk->widget(panes[index(5)]));
        for (int i = 0; i < list->count(); ++i) say("pane\t" + list->item(i)->text().toStdString());
    } else if (line == "state") {
        QWidget* window = g_tk->widget(hwnd);
        say("state\t" + std::to_string(window->winId()) + "\t" +
            (window->isActiveWindow() ? "active" : "inactive"));
    } else if (line == "close") {
        g_tk->widget(hwnd)->close();
        return;
    } else {
        say("error\t" + line);
        return;
    }
    say("end");
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    StationToolkit tk;
    g_tk = &tk;
    std::string pending;
    // Once the loop runs, the window and the station exist: take commands.
    QTimer::singleShot(0, [&] {
        tk.watch(STDIN_FILENO, [&](int fd) {
            char buf[1024];
            ssize_t r = read(fd, buf, sizeof buf);
            if (r <= 0) {
                tk.unwatch(fd);
                return;
            }
            pending.append(buf, static_cast<size_t>(r));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                command(line);
            }
        });
        say("ready");
    });
    int code = WinMain(tk);
    plat::set_toolkit(nullptr);
    return code;
}
