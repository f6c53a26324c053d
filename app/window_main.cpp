#include "app/window_main.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <cstring>

#include "app/close_signals.h"
#include "app/station.h"

plat::HWND StationToolkit::create_control(const char* cls, const char* text, int x, int y, int w,
                                          int h, plat::HWND parent) {
    plat::HWND made = WidgetToolkit::create_control(cls, text, x, y, w, h, parent);
    // The first button is the send button; the text line exists by then.
    if (made && std::strcmp(cls, "BUTTON") == 0 && !button_1 && edit_1) {
        auto* line = qobject_cast<QLineEdit*>(widget(edit_1));
        auto* send = qobject_cast<QPushButton*>(widget(made));
        if (line && send) QObject::connect(line, &QLineEdit::returnPressed, send, &QPushButton::click);
    }
    // The second list is the stations pane; the recipient line exists by then.
    if (made && std::strcmp(cls, "LISTBOX") == 0 && listbox_1 && !listbox_2 && edit_2) {
        auto* stations = qobject_cast<QListWidget*>(widget(made));
        auto* recipient = qobject_cast<QLineEdit*>(widget(edit_2));
        if (stations && recipient) {
            auto take = [recipient](QListWidgetItem* item) {
                if (item) recipient->setText(item->text());
            };
            // A click takes the line even when it is selected already; the
            // keyboard moves the selection. An empty selection takes nothing.
            QObject::connect(stations, &QListWidget::itemClicked, recipient, take);
            QObject::connect(stations, &QListWidget::itemSelectionChanged, recipient,
                             [stations, take] { take(stations->selectedItems().value(0)); });
        }
    }
    return made;
}

void StationToolkit::message_arrived(plat::HWND pane, const std::string& from, const std::string& text) {
    QWidget* window = widget(hwnd);
    if (pane != listbox_1 || !window || window->isActiveWindow()) return;
    QApplication::alert(window);
    const QString sender = QString::fromStdString(from);
    notifier_.show(sender, QString::fromUtf8("Nová správa od ") + sender,
                   plat::visible_text(QString::fromStdString(text)));
}

int run_window(int argc, char** argv) {
    QApplication app(argc, argv);
    StationToolkit toolkit;
    close_on_signals(toolkit);
    int code = WinMain(toolkit);
    plat::set_toolkit(nullptr);
    return code;
}
