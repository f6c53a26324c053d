#include "platform/qt_loop.h"

#include <QCoreApplication>
#include <QSocketNotifier>

namespace plat {

QtLoop::QtLoop() = default;

QtLoop::~QtLoop() {
    for (auto& [fd, n] : notifiers_) delete n;
    for (QSocketNotifier* n : retired_) delete n;
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

int QtLoop::run() { return QCoreApplication::exec(); }

void QtLoop::quit(int code) { QCoreApplication::exit(code); }

}  // namespace plat
