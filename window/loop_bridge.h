// TLoopBridge: runs the relay's TEventLoop from inside Qt's event loop, on the
// same thread. One QSocketNotifier watches the loop's epoll descriptor and one
// single-shot QTimer waits for the loop's next deadline; both call Step(),
// which runs what is ready without waiting and re-arms the timer.
//
// Step() is guarded against re-entry: a modal dialog or anything else that
// spins a nested Qt loop while a relay handler runs never steps the relay
// loop inside itself. Code that changes the loop's deadlines from outside a
// step (enabling a timer, closing connections from an operator command) calls
// Rearm() afterwards. Owned by the main window; must not outlive the loop.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "net/event_loop.h"

namespace vistrel {

class TLoopBridge : public QObject {
    Q_OBJECT
public:
    explicit TLoopBridge(TEventLoop& loop, QObject* parent = nullptr);
    ~TLoopBridge() override;

    TEventLoop& Loop() const noexcept { return loop_; }

    // Runs one step of the relay loop (no waiting); false if a step is
    // already running further up the stack, so nothing was done.
    bool Step();
    // Arms the deadline timer for the loop's next deadline.
    void Rearm();
    // Stops stepping for good (the program is shutting down).
    void Suspend();
    bool Suspended() const noexcept { return suspended_; }
    // Steps taken so far (tests use it to see the bridge at work).
    quint64 Steps() const noexcept { return steps_; }

private:
    TEventLoop& loop_;
    QSocketNotifier notifier_;
    QTimer deadline_;
    bool stepping_ = false;
    bool suspended_ = false;
    quint64 steps_ = 0;
};

}  // namespace vistrel
