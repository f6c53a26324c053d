#include "app/window_main.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "app/close_signals.h"
#include "app/station.h"

plat::HWND StationToolkit::create_control(const char* cls, const char* text, int x, int y, int w,
                                          int h, plat::HWND parent, int id) {
    plat::HWND made = WidgetToolkit::create_control(cls, text, x, y, w, h, parent, id);
    if (!made) return made;
    made_[id] = made;
    // Peers can fill these at will; the stations pane is redrawn whole and
    // holds what the list holds.
    if (id == ID_MESSAGES || id == ID_TRANSFERS) keep_newest(made, PANE_LINES);
    // Each pair is wired once both of its controls exist, whichever came first.
    auto both = [this, id](int a, int b) { return (id == a || id == b) && made_.count(a) && made_.count(b); };
    if (both(ID_TEXT, ID_SEND)) {  // Enter in the text line presses the send button
        auto* line = qobject_cast<QLineEdit*>(widget(made_[ID_TEXT]));
        auto* send = qobject_cast<QPushButton*>(widget(made_[ID_SEND]));
        if (line && send) QObject::connect(line, &QLineEdit::returnPressed, send, &QPushButton::click);
    }
    if (both(ID_STATIONS, ID_RECIPIENT)) {  // a picked station becomes the recipient
        auto* stations = qobject_cast<QListWidget*>(widget(made_[ID_STATIONS]));
        auto* recipient = qobject_cast<QLineEdit*>(widget(made_[ID_RECIPIENT]));
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
