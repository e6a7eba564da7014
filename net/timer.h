// A periodic timer on the event loop, used like a GUI timer: set Interval and
// OnTimer, then Enabled. Enabling (again) starts a fresh period; disabling
// stops it. The tick is OnTimer; Fire() runs one tick now so tests never wait.
// An Interval of 0 never ticks. Owned by whoever owns its handler (the relay's
// DistrubuteDemo timer belongs to TMainForm); must not outlive its loop.
#pragma once

#include <cstdint>
#include <functional>

#include "net/event_loop.h"

namespace vistrel {

class TTimer {
public:
    explicit TTimer(TEventLoop& loop, uint32_t intervalMs = 1000);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    uint32_t Interval() const { return interval_ms_; }
    void SetInterval(uint32_t ms);  // restarts the period when enabled
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // Runs OnTimer now, whether enabled or not; the period is not changed.
    void Fire();

    std::function<void()> OnTimer;

private:
    void Arm();
    void Disarm();
    void Tick();

    TEventLoop& loop_;
    uint32_t interval_ms_;
    bool enabled_ = false;
    TEventLoop::TimerId pending_ = 0;
};

}  // namespace vistrel
