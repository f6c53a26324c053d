#pragma once
#include <map>
#include <memory>
#include <vector>

#include "platform/winapi.h"

class QSocketNotifier;

namespace plat {

// The loop half of a toolkit on Qt Core: one thread, sockets watched with
// QSocketNotifier. A QCoreApplication (or subclass) must exist.
class QtLoop : public Toolkit {
public:
    QtLoop();
    ~QtLoop() override;
    bool watch(int fd, std::function<void(int)> ready) override;
    void unwatch(int fd) override;
    int run() override;
    void quit(int code) override;

private:
    std::map<int, QSocketNotifier*> notifiers_;
    std::vector<QSocketNotifier*> retired_;
};

}  // namespace plat
