#include "net/timer.h"

namespace vistrel {

TTimer::TTimer(TEventLoop& loop, uint32_t intervalMs) : loop_(loop), interval_ms_(intervalMs) {}

TTimer::~TTimer() { Disarm(); }

void TTimer::SetInterval(uint32_t ms) {
    interval_ms_ = ms;
    if (enabled_) Arm();
}

void TTimer::SetEnabled(bool enabled) {
    enabled_ = enabled;
    if (enabled_)
        Arm();
    else
        Disarm();
}

void TTimer::Fire() {
    if (OnTimer) OnTimer();
}

void TTimer::Arm() {
    Disarm();
    if (interval_ms_ == 0) return;
    pending_ = loop_.AddTimer(std::chrono::milliseconds(interval_ms_), [this] { Tick(); });
}

void TTimer::Disarm() {
    if (pending_ != 0) loop_.CancelTimer(pending_);
    pending_ = 0;
}

void TTimer::Tick() {
    pending_ = 0;
    // The next period is armed before the handler runs, so a handler that
    // disables or destroys the timer leaves nothing behind.
    Arm();
    Fire();
}

}  // namespace vistrel
