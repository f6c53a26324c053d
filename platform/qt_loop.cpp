#include "platform/qt_loop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace plat {

QtLoop::QtLoop() = default;

QtLoop::~QtLoop() {
    for (auto& [fd, n] : notifiers_) delete n;
    for (QSocketNotifier* n : retired_) delete n;
    for (auto& [id, t] : timers_) delete t;
}

bool QtLoop::watch(int fd, std::function<void(int)> ready) {
    unwatch(fd);
    auto* n = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(n, &QSocketNotifier::activated, n,
                     [fd, ready = std::move(ready)]() { ready(fd); });
    notifiers_[fd] = n;
    return true;
}

void QtLoop::unwatch(int fd) {
    auto it = notifiers_.find(fd);
    if (it == notifiers_.end()) return;
    // It may be the notifier whose signal is running right now: silence it and
    // delete it with the loop.
    it->second->setEnabled(false);
    retired_.push_back(it->second);
    notifiers_.erase(it);
}

bool QtLoop::start_timer(uintptr_t id, unsigned ms, std::function<void()> fire) {
    QTimer*& t = timers_[id];
    if (!t) t = new QTimer;
    // The timer may be the one whose signal runs right now (a handler that
    // sets its own next period): it is re-armed, never deleted here.
    QObject::disconnect(t, &QTimer::timeout, nullptr, nullptr);
    QObject::connect(t, &QTimer::timeout, t, [fire = std::move(fire)]() { fire(); });
    t->start(static_cast<int>(ms));
    return true;
}

void QtLoop::stop_timer(uintptr_t id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) it->second->stop();
}

int QtLoop::run() { return QCoreApplication::exec(); }

void QtLoop::quit(int code) { QCoreApplication::exit(code); }

}  // namespace plat
