// TCatchUp: how a viewer far behind the live edge of its game gets there.
// With CatchUpSpin at N > 1, a viewer more than 2·N visible packets behind
// receives up to N packets a tick, but only while its unsent output is small
// (kCatchUpOutputBound), so catching up never runs into the backlog limits
// and never makes another viewer's tick wait; within 2·N it is back to one
// packet a tick, and is told once that it reached the live game. N = 1 is
// the relay's pace of one packet a tick for everyone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vistrel {

class TDemoViewer;
class TViewerOutput;

// Unsent output above which a catching-up viewer gets one packet a tick.
inline constexpr size_t kCatchUpOutputBound = size_t{64} << 10;

class TCatchUp {
public:
    TCatchUp(int32_t packetsPerTick, TViewerOutput& output) : packets_per_tick_(packetsPerTick), output_(output) {}

    // CatchUpSpin changed (the frame wires its OnChange): read once here,
    // not per viewer per tick.
    void SetPacketsPerTick(int32_t packets) noexcept { packets_per_tick_ = packets; }

    // Packets the viewer may be sent this tick, being `behind` visible
    // packets short of the live edge.
    int32_t Allowance(const TDemoViewer& viewer, int32_t behind) const;
    // After the viewer's sends of a tick: a viewer that was catching up
    // and is now within reach of the live edge is told so, once.
    void AfterSends(TDemoViewer& viewer, int32_t behind);
    // A viewer that joins `behind` packets short of the live edge and will
    // catch up is told how long that takes (one notice).
    void NoticeOnJoin(TDemoViewer& viewer, int32_t behind);

private:
    int32_t PacketsPerTick() const noexcept { return packets_per_tick_; }

    int32_t packets_per_tick_;
    TViewerOutput& output_;
};

}  // namespace vistrel
