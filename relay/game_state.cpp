#include "relay/game_state.h"

#include <algorithm>

#include "core/game_list.h"
#include "relay/broadcast_delay.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"

namespace vistrel {

namespace {

// How far the acknowledgement time is looked for past gaps and untimed
// entries, so a lag costs a bounded walk.
constexpr int32_t kTimeSearch = 64;

// The acknowledgement time of the first timed entry from i on in the
// direction step, within kTimeSearch entries of [low, high); 0 if none.
int64_t TimeNear(const TActiveGameList& game, int32_t i, int32_t step, int32_t low, int32_t high) {
    for (int32_t n = 0; n < kTimeSearch && i >= low && i < high; ++n, i += step)
        if (const int64_t ms = game.AckMs(i)) return ms;
    return 0;
}

}  // namespace

TCameraState CameraState(const TActiveGameList& game) {
    const TWSocketClient* sender = game.Sender();
    if ((sender != nullptr && sender->State() == wsConnected) || game.LiveUpstream()) return TCameraState::Filming;
    return game.Halted() ? TCameraState::Halted : TCameraState::Gone;
}

std::string_view CameraStateName(TCameraState state) {
    switch (state) {
        case TCameraState::Filming: return "filming";
        case TCameraState::Halted: return "halted";
        case TCameraState::Gone: break;
    }
    return "gone";
}

TViewerLag ViewerLag(const TActiveGameList& game, int32_t visibleEnd, int32_t position) {
    TViewerLag lag;
    const int32_t from = std::max(position, 0);
    const int32_t end = std::min(visibleEnd, game.Count());
    if (from >= end) return lag;
    // Gaps are not packets to catch up with; counting them exactly would walk
    // the whole distance, so the count is the locations between.
    lag.Packets = end - from;
    const int64_t newest = TimeNear(game, end - 1, -1, from, end);
    const int64_t oldest = TimeNear(game, from, +1, from, end);
    lag.Ms = newest != 0 && oldest != 0 && newest >= oldest ? newest - oldest + TMainForm::kDistributeIntervalMs
                                                            : int64_t{lag.Packets} * TMainForm::kDistributeIntervalMs;
    return lag;
}

TViewerLag ViewerLag(const TBroadcastDelay& delay, const TActiveGameList& game, const TDemoViewer& viewer) {
    return ViewerLag(game, delay.VisibleEnd(game), viewer.Position);
}

}  // namespace vistrel
