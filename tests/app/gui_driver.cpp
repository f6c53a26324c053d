// The real station in its window, with a remote control on standard input so a
// LAN test can type, press and read the panes from inside, as QtTest does:
//   set N TEXT   text of input line N (1 text, 2 recipient, 3 route length)
//   press N      clicks button N (1 send, 2 clear)
//   pane N       prints the lines of pane N (1 messages, 2 stations, 3 transfers)
//                top first as "pane<TAB>line", then "end"
//   state        prints "state<TAB>X window id<TAB>active|inactive", then "end"
//   close        closes the window as the user would
// Anything else prints "error<TAB>" and the line; every command ends with "end".
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "app/station.h"
#include "app/window_main.h"

namespace {

void command(const std::string& line) {
    const std::map<std::string, std::vector<plat::HWND>> controls{
        {"set", {edit_1, edit_2, edit_3}},
        {"press", {button_1, button_2}},
        {"pane", {listbox_1, listbox_2, listbox_3}}};
    auto* tk = static_cast<StationToolkit*>(plat::toolkit());
    // "WORD N": the control N of WORD's kind, counted from 1; none when there is no such.
    const std::string word = line.substr(0, line.find(' '));
    const size_t n = line.size() > word.size() + 1 ? static_cast<size_t>(line[word.size() + 1] - '1') : SIZE_MAX;
    auto it = controls.find(word);
    QWidget* control = it != controls.end() && n < it->second.size() ? tk->widget(it->second[n]) : nullptr;
    QWidget* window = tk->widget(hwnd);
    if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        edit->setText(QString::fromStdString(line.size() > 6 ? line.substr(6) : ""));
    } else if (auto* button = qobject_cast<QPushButton*>(control)) {
        QTest::mouseClick(button, Qt::LeftButton);
    } else if (auto* list = qobject_cast<QListWidget*>(control)) {
        for (int i = 0; i < list->count(); ++i) std::cout << "pane\t" << list->item(i)->text().toStdString() << '\n';
    } else if (line == "state") {
        std::cout << "state\t" << window->winId() << (window->isActiveWindow() ? "\tactive\n" : "\tinactive\n");
    } else if (line == "close") {
        window->close();
    } else {
        std::cout << "error\t" << line << '\n';
    }
    std::cout << "end" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    StationToolkit tk;
    std::string pending;
    // Once the loop runs, the window and the station exist: take commands.
    QTimer::singleShot(0, [&] {
        tk.watch(STDIN_FILENO, [&](int fd) {
            char buf[1024];
            ssize_t r = read(fd, buf, sizeof buf);
            if (r <= 0) return tk.unwatch(fd);
            pending.append(buf, static_cast<size_t>(r));
            for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);  // taken first, in case a command runs the loop and more is read
                command(line);
            }
        });
        std::cout << "ready" << std::endl;
    });
    int code = WinMain(tk);
    plat::set_toolkit(nullptr);
    return code;
}
