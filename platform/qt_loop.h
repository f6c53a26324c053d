#pragma once
#include <map>
#include <memory>
#include <vector>

#include "platform/winapi.h"

class QSocketNotifier;
class QTimer;

namespace plat {

// The loop half of a toolkit on Qt Core: one thread, sockets watched with
// QSocketNotifier. A QCoreApplication (or subclass) must exist.
class QtLoop : public Toolkit {
public:
    QtLoop();
    ~QtLoop() override;
    bool watch(int fd, std::function<void(int)> ready) override;
    void unwatch(int fd) override;
    bool start_timer(uintptr_t id, unsigned ms, std::function<void()> fire) override;
    void stop_timer(uintptr_t id) override;
    int run() override;
    void quit(int code) override;

private:
    std::map<int, QSocketNotifier*> notifiers_;
    std::vector<QSocketNotifier*> retired_;
    std::map<uintptr_t, QTimer*> timers_;  // stopped ones are kept for reuse
};

}  // namespace plat
