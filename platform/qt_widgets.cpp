#include "platform/qt_widgets.h"

#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QLineEdit>
#include <QListWidget>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>

namespace plat {

QString visible_text(QString text) {
    for (QChar& c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) c = u'?';
    return text;
}

namespace {

QString qs(const std::string& utf8) { return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())); }

// The top-level widget: paint requests and closing go to the window procedure.
class StationWidget : public QWidget {
public:
    StationWidget(WidgetToolkit* tk, HWND* self) : tk_(tk), self_(self) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        tk_->set_painter(&painter);
        SendMessage(*self_, WM_PAINT, 0, 0);
        tk_->set_painter(nullptr);
    }
    void closeEvent(QCloseEvent* e) override {
        e->accept();
        DestroyWindow(*self_);
    }

private:
    WidgetToolkit* tk_;
    HWND* self_;
};

class WidgetMain : public MainWindow {
public:
    WidgetMain(WNDPROC proc, WidgetToolkit* tk) : MainWindow(proc), widget(tk, &self) {}
    void set_text(const std::string& utf8) override {  // the caption
        MainWindow::set_text(utf8);
        widget.setWindowTitle(qs(utf8));
    }
    HWND self = this;
    StationWidget widget;
};

class EditWindow : public Window {
public:
    explicit EditWindow(QWidget* parent) : edit(new QLineEdit(parent)) {}
    std::string text() const override { return edit->text().toStdString(); }
    void set_text(const std::string& utf8) override { edit->setText(qs(utf8)); }
    QLineEdit* edit;
};

class ListWindow : public Pane {
public:
    explicit ListWindow(QWidget* parent) : Pane(false), list(new QListWidget(parent)) {}
    QListWidget* list;
    int limit_ = 0;  // the most lines kept, the oldest going first; 0 keeps all

protected:
    void inserted(const std::string& utf8) override {
        list->insertItem(0, visible_text(qs(utf8)));
        while (limit_ > 0 && list->count() > limit_) delete list->takeItem(list->count() - 1);
    }
    void cleared() override { list->clear(); }
};

class ButtonWindow : public Window {
public:
    ButtonWindow(QWidget* parent, HWND main) : button(new QPushButton(parent)) {
        QObject::connect(button, &QPushButton::clicked, button, [this, main] {
            SendMessage(main, WM_COMMAND, 0, reinterpret_cast<LPARAM>(static_cast<HWND>(this)));
        });
    }
    void set_text(const std::string& utf8) override {
        Window::set_text(utf8);
        button->setText(qs(utf8));
    }
    QPushButton* button;
};

}  // namespace

WidgetToolkit::WidgetToolkit() = default;

WidgetToolkit::~WidgetToolkit() {
    windows_.clear();  // the main window's widget owns the control widgets
}

HWND WidgetToolkit::create_main(WNDPROC proc, const char* caption, int w, int h) {
    auto main = std::make_unique<WidgetMain>(proc, this);
    main->set_text(caption);
    main->widget.resize(w, h);
    main->widget.show();
    HWND handle = main.get();
    windows_.push_back(std::move(main));
    return handle;
}

HWND WidgetToolkit::create_control(const char* cls, const char* text, int x, int y, int w, int h,
                                   HWND parent, int) {
    auto* main = dynamic_cast<WidgetMain*>(parent);
    if (!main) return nullptr;
    QWidget* host = &main->widget;
    std::string kind = cls;
    std::unique_ptr<Window> control;
    QWidget* shown = nullptr;
    if (kind == "EDIT") {
        auto e = std::make_unique<EditWindow>(host);
        shown = e->edit;
        control = std::move(e);
    } else if (kind == "LISTBOX") {
        auto l = std::make_unique<ListWindow>(host);
        shown = l->list;
        control = std::move(l);
    } else if (kind == "BUTTON") {
        auto b = std::make_unique<ButtonWindow>(host, parent);
        shown = b->button;
        control = std::move(b);
    } else {
        return nullptr;
    }
    control->set_text(text);  // a list keeps its text but does not show it
    shown->setGeometry(x, y, w, h);
    shown->setObjectName(QString::number(windows_.size()));
    shown->show();
    windows_.push_back(std::move(control));
    return windows_.back().get();
}

void WidgetToolkit::destroy_main(HWND hwnd) {
    if (auto* main = dynamic_cast<WidgetMain*>(hwnd)) main->widget.hide();
}

void WidgetToolkit::text_out(HWND, int x, int y, const std::string& utf8) {
    if (!painter_) return;
    // The position is the text's top-left corner; Qt draws at the baseline.
    painter_->drawText(x, y + painter_->fontMetrics().ascent(), qs(utf8));
}

void WidgetToolkit::keep_newest(HWND pane, int lines) {
    if (auto* l = dynamic_cast<ListWindow*>(pane)) l->limit_ = lines;
}

QWidget* WidgetToolkit::widget(HWND hwnd) const {
    if (auto* m = dynamic_cast<WidgetMain*>(hwnd)) return &m->widget;
    if (auto* e = dynamic_cast<EditWindow*>(hwnd)) return e->edit;
    if (auto* l = dynamic_cast<ListWindow*>(hwnd)) return l->list;
    if (auto* b = dynamic_cast<ButtonWindow*>(hwnd)) return b->button;
    return nullptr;
}

Notifier::Notifier(QDBusConnection bus) : bus_(std::move(bus)) {
    if (!bus_.isConnected()) return;
    // Asked once, without waiting: nothing may hold up the station's thread.
    QDBusMessage ask = QDBusMessage::createMethodCall(SERVICE, PATH, SERVICE, "GetCapabilities");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(ask), &context_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context_, [this](QDBusPendingCallWatcher* w) {
        QDBusPendingReply<QStringList> reply = *w;
        if (reply.isValid()) markup_ = reply.value().contains("body-markup");
        w->deleteLater();
    });
}

Notifier::~Notifier() = default;

void Notifier::show(const QString& sender, const QString& summary, const QString& body) {
    if (!bus_.isConnected()) return;
    const uint replaces = shown_.value(sender, 0u);
    QDBusMessage call = QDBusMessage::createMethodCall(SERVICE, PATH, SERVICE, "Notify");
    // app name, id to replace, icon, summary, body, actions, hints, timeout
    call << QString("cibula") << replaces << QString("cibula") << summary
         << (markup_ ? body.toHtmlEscaped() : body) << QStringList()
         << QVariantMap{{"desktop-entry", QString("cibula")}} << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), &context_);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context_,
                     [this, sender](QDBusPendingCallWatcher* w) {
                         QDBusPendingReply<uint> reply = *w;
                         if (!reply.isValid()) return w->deleteLater();
                         // A peer may write under any address: forget, rather than grow.
                         if (shown_.size() >= SENDERS_KEPT && !shown_.contains(sender)) shown_.clear();
                         shown_.insert(sender, reply.value());
                         w->deleteLater();
                     });
}

}  // namespace plat
