#include "relay/token_bucket.h"

#include <algorithm>
#include <chrono>

namespace vistrel {

TEventLoop::Clock::duration TTokenBucket::Refill(const TBucketRate& rate, uint64_t units) {
    using std::chrono::nanoseconds;
    const uint64_t perSecond = std::max<uint64_t>(rate.PerSecond, 1);
    constexpr uint64_t kNs = 1'000'000'000;
    // Whole seconds, then the rest rounded up; neither product overflows for
    // any rate below 10^10 a second.
    const uint64_t ns = units / perSecond * kNs + ((units % perSecond) * kNs + perSecond - 1) / perSecond;
    return std::chrono::duration_cast<TEventLoop::Clock::duration>(nanoseconds(static_cast<int64_t>(ns)));
}

TTokenBucket::TimePoint TTokenBucket::ReadyAt(const TBucketRate& rate, uint64_t units, TimePoint now) const {
    if (full_at_ <= now) return now;
    // Holding `units` means missing at most Burst - units.
    const uint64_t missing = rate.Burst - std::min(units, rate.Burst);
    const TimePoint ready = full_at_ - Refill(rate, missing);
    return std::max(ready, now);
}

void TTokenBucket::Take(const TBucketRate& rate, uint64_t units, TimePoint now) {
    full_at_ = std::max(full_at_, now) + Refill(rate, units);
}

}  // namespace vistrel
