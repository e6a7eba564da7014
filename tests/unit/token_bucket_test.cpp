// The pacing bucket on its own: burst, rate, debt and rounding.
#include "relay/token_bucket.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using TimePoint = TTokenBucket::TimePoint;

const TimePoint kStart = TimePoint{} + 1000h;

TEST(TTokenBucket, BurstThenOneUnitPerInterval) {
    const TBucketRate rate{20, 40};
    TTokenBucket bucket;
    TimePoint now = kStart;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(bucket.ReadyAt(rate, 1, now), now) << i;
        bucket.Take(rate, 1, now);
    }
    // Empty: the next unit is back after 1/20 s, and one more each 50 ms.
    EXPECT_EQ(bucket.ReadyAt(rate, 1, now), now + 50ms);
    now += 49ms;
    EXPECT_EQ(bucket.ReadyAt(rate, 1, now), kStart + 50ms);
    now = kStart + 50ms;
    EXPECT_EQ(bucket.ReadyAt(rate, 1, now), now);
    bucket.Take(rate, 1, now);
    EXPECT_EQ(bucket.ReadyAt(rate, 1, now), now + 50ms);

    // Idle for long: full again, never more than the burst.
    now += 1h;
    for (int i = 0; i < 40; ++i) bucket.Take(rate, 1, now);
    EXPECT_EQ(bucket.ReadyAt(rate, 1, now), now + 50ms);
    // Asking for more than the burst is asking for a full bucket.
    EXPECT_EQ(bucket.ReadyAt(rate, 100, now), now + 2s);
}

TEST(TTokenBucket, DebtIsRepaidAtTheRate) {
    const TBucketRate rate{32 << 20, 32 << 20};
    TTokenBucket bucket;
    TimePoint now = kStart;
    // Zero units: ready while the bucket is not in debt.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(bucket.ReadyAt(rate, 0, now), now);
        bucket.Take(rate, 8 << 20, now);
    }
    EXPECT_EQ(bucket.ReadyAt(rate, 0, now), now);  // exactly empty
    bucket.Take(rate, 16 << 20, now);              // half a second in debt
    EXPECT_EQ(bucket.ReadyAt(rate, 0, now), now + 500ms);
    now += 500ms;
    EXPECT_EQ(bucket.ReadyAt(rate, 0, now), now);
}

TEST(TTokenBucket, RefillRoundsUpAndNeverOverflows) {
    EXPECT_EQ(TTokenBucket::Refill({3, 3}, 1), std::chrono::nanoseconds(333'333'334));
    EXPECT_EQ(TTokenBucket::Refill({32 << 20, 32 << 20}, 1), std::chrono::nanoseconds(30));
    EXPECT_EQ(TTokenBucket::Refill({32 << 20, 32 << 20}, uint64_t{1} << 40), 32768s);
    EXPECT_EQ(TTokenBucket::Refill({20, 40}, 0), 0ns);
}

}  // namespace
}  // namespace vistrel
