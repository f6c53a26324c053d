#include "platform/qt_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

namespace plat {

QtLoop::QtLoop() = default;

QtLoop::~QtLoop() {
    for (auto& [fd, w] : notifiers_) delete w.notifier;
    for (auto& [id, t] : timers_) delete t;
    for (auto& [id, t] : calls_) delete t;
}

bool QtLoop::watch(int fd, std::function<void(int)> ready, bool for_writing) {
    unwatch(fd);
    auto* n = new QSocketNotifier(fd, for_writing ? QSocketNotifier::Write : QSocketNotifier::Read);
    QObject::connect(n, &QSocketNotifier::activated, n,
                     [fd, ready = std::move(ready)]() { ready(fd); });
    notifiers_[fd] = {n, for_writing};
    return true;
}

void QtLoop::unwatch(int fd) {
    auto it = notifiers_.find(fd);
    if (it == notifiers_.end()) return;
    // It may be the notifier whose signal is running right now: silenced at
    // once (before its fd is closed and reused), deleted when the loop is free.
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
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

uintptr_t QtLoop::call_later(unsigned ms, std::function<void()> fire) {
    uintptr_t id = next_call_++;
    auto* t = new QTimer;
    t->setSingleShot(true);
    t->setTimerType(Qt::PreciseTimer);  // a deadline of 3 s means 3 s, not 3 s ± 5 %
    QObject::connect(t, &QTimer::timeout, t, [this, id, t, fire = std::move(fire)]() {
        calls_.erase(id);
        t->deleteLater();
        fire();
    });
    calls_[id] = t;
    t->start(static_cast<int>(ms));
    return id;
}

void QtLoop::cancel_call(uintptr_t id) {
    auto it = calls_.find(id);
    if (it == calls_.end()) return;
    it->second->stop();
    it->second->deleteLater();
    calls_.erase(it);
}

void QtLoop::settle(unsigned ms) {
    QElapsedTimer clock;
    clock.start();
    auto busy = [this, &clock, ms] {
        for (auto& [id, t] : calls_)
            if (t->remainingTime() <= static_cast<qint64>(ms) - clock.elapsed()) return true;
        for (auto& [fd, w] : notifiers_)
            if (w.for_writing) return true;
        return false;
    };
    while (busy() && clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int QtLoop::run() { return QCoreApplication::exec(); }

void QtLoop::quit(int code) { QCoreApplication::exit(code); }

}  // namespace plat
