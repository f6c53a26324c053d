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
    bool watch(int fd, std::function<void(int)> ready, bool for_writing = false) override;
    void unwatch(int fd) override;
    bool start_timer(uintptr_t id, unsigned ms, std::function<void()> fire) override;
    void stop_timer(uintptr_t id) override;
    uintptr_t call_later(unsigned ms, std::function<void()> fire) override;
    void cancel_call(uintptr_t id) override;
    void settle(unsigned ms) override;
    int run() override;
    void quit(int code) override;

private:
    struct Watch {
        QSocketNotifier* notifier;
        bool for_writing;
    };
    std::map<int, Watch> notifiers_;
    std::map<uintptr_t, QTimer*> timers_;  // stopped ones are kept for reuse
    std::map<uintptr_t, QTimer*> calls_;   // pending call_later, each its own timer
    uintptr_t next_call_ = 1;
};

}  // namespace plat
