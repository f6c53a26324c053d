#include "app/window_main.h"

#include <QApplication>
#include <QLineEdit>
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
    return made;
}

int run_window(int argc, char** argv) {
    QApplication app(argc, argv);
    StationToolkit toolkit;
    close_on_signals(toolkit);
    int code = WinMain(toolkit);
    plat::set_toolkit(nullptr);
    return code;
}
