#pragma once
#include <QWidget>
#include <memory>
#include <vector>

#include "platform/qt_loop.h"

class QPainter;

namespace plat {

// The window front-end: the main window and its controls as Qt widgets, placed
// at fixed positions (nothing moves when the window is resized). Needs a
// QApplication.
class WidgetToolkit : public QtLoop {
public:
    WidgetToolkit();
    ~WidgetToolkit() override;
    HWND create_control(const char* cls, const char* text, int x, int y, int w, int h,
                        HWND parent) override;
    HWND create_main(WNDPROC proc, const char* caption, int w, int h) override;
    void destroy_main(HWND) override;
    void text_out(HWND, int x, int y, const std::string& utf8) override;

    QWidget* widget(HWND) const;  // the widget behind a handle, or null
    void set_painter(QPainter* p) { painter_ = p; }

private:
    std::vector<std::unique_ptr<Window>> windows_;
    QPainter* painter_ = nullptr;
};

// Asks the session bus's notification service to show a desktop notification
// and does not wait for its answer: nothing may hold up the station's one
// thread. Without a session bus it does nothing.
void notify_desktop(const QString& summary, const QString& body);

}  // namespace plat
