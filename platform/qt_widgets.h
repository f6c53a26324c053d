#pragma once
#include <QDBusConnection>
#include <QHash>
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
    static constexpr int PANE_LINES = 10000;  // kept in the messages and transfers panes

    WidgetToolkit();
    ~WidgetToolkit() override;
    HWND create_control(const char* cls, const char* text, int x, int y, int w, int h,
                        HWND parent, int id) override;
    HWND create_main(WNDPROC proc, const char* caption, int w, int h) override;
    void destroy_main(HWND) override;
    void text_out(HWND, int x, int y, const std::string& utf8) override;

    QWidget* widget(HWND) const;  // the widget behind a handle, or null
    // A list pane keeps only its newest `lines` from then on (0: all).
    void keep_newest(HWND pane, int lines);
    void set_painter(QPainter* p) { painter_ = p; }

private:
    std::vector<std::unique_ptr<Window>> windows_;
    QPainter* painter_ = nullptr;
};

// A text as a pane shows it: control characters (a peer may send line breaks
// that would forge lines) become '?'.
QString visible_text(QString text);

// Desktop notifications over a bus's notification service, never waiting for
// an answer: nothing may hold up the station's one thread. The body is escaped
// for a server that renders body markup, and plain for one that does not; a
// sender's new notification replaces its last one. Without a bus, nothing.
class Notifier {
public:
    explicit Notifier(QDBusConnection bus = QDBusConnection::sessionBus());
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    void show(const QString& sender, const QString& summary, const QString& body);

private:
    static constexpr const char* SERVICE = "org.freedesktop.Notifications";
    static constexpr const char* PATH = "/org/freedesktop/Notifications";
    static constexpr qsizetype SENDERS_KEPT = 1024;
    QDBusConnection bus_;
    bool markup_ = true;  // until the server answers: escaped text is safe anywhere
    QHash<QString, uint> shown_;  // the id of each sender's latest notification
    QObject context_;             // ends the pending answers with the notifier
};

}  // namespace plat
