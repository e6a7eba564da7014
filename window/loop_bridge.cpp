#include "window/loop_bridge.h"

namespace vistrel {

TLoopBridge::TLoopBridge(TEventLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.BackendFd(), QSocketNotifier::Read) {
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&notifier_, &QSocketNotifier::activated, this, [this] { Step(); });
    connect(&deadline_, &QTimer::timeout, this, [this] { Step(); });
    Rearm();
}

TLoopBridge::~TLoopBridge() {
    notifier_.setEnabled(false);
    deadline_.stop();
}

bool TLoopBridge::Step() {
    if (suspended_ || stepping_ || loop_.InDispatch()) return false;
    stepping_ = true;
    loop_.RunOnce(0);
    stepping_ = false;
    ++steps_;
    Rearm();
    return true;
}

void TLoopBridge::Suspend() {
    suspended_ = true;
    notifier_.setEnabled(false);
    deadline_.stop();
}

void TLoopBridge::Rearm() {
    if (suspended_) return;
    int timeout = loop_.NextTimeout();
    if (timeout < 0) {
        deadline_.stop();
        return;
    }
    // Posted notices and output queued outside a step (timeout 0) also make
    // the epoll descriptor readable, but a zero timer costs nothing and does
    // not depend on that.
    deadline_.start(timeout);
}

}  // namespace vistrel
