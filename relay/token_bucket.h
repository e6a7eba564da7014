// TTokenBucket: how fast one connection may spend something (packets that
// reach other connections, bytes its payload checks inflate), on the loop's
// clock. It holds only the moment at which it would be full again; the rate
// and the burst are given with each call, so a connection pays 8 bytes per
// bucket. Spending may go into debt, repaid at the rate. Used by the sender
// and viewer parse loops to decide when a connection's reading is held.
#pragma once

#include <cstdint>

#include "net/event_loop.h"

namespace vistrel {

// Units per second, and how many the bucket holds when full.
struct TBucketRate {
    uint64_t PerSecond = 1;
    uint64_t Burst = 1;
};

class TTokenBucket {
public:
    using TimePoint = TEventLoop::Clock::time_point;

    // The first moment, `now` or later, at which the bucket holds `units`
    // (at most Burst).
    TimePoint ReadyAt(const TBucketRate& rate, uint64_t units, TimePoint now) const;
    // Takes `units` at `now`, going into debt if it holds fewer.
    void Take(const TBucketRate& rate, uint64_t units, TimePoint now);

    // The time `units` take to come back at the rate, rounded up.
    static TEventLoop::Clock::duration Refill(const TBucketRate& rate, uint64_t units);

private:
    // The bucket is full from this moment on.
    TimePoint full_at_ = TimePoint::min();
};

}  // namespace vistrel
