#include "relay/catch_up.h"

#include <algorithm>

#include "core/protocol.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"
#include "relay/viewer_output.h"

namespace vistrel {

int32_t TCatchUp::Allowance(const TDemoViewer& viewer, int32_t behind) const {
    const int32_t n = PacketsPerTick();
    if (n <= 1 || behind <= 2 * n || viewer.BufferedBytes() >= kCatchUpOutputBound) return 1;
    return n;
}

void TCatchUp::AfterSends(TDemoViewer& viewer, int32_t behind) {
    const int32_t n = PacketsPerTick();
    if (n <= 1) {
        // Catching up turned off: nobody is told anything.
        viewer.CatchingUp = false;
        return;
    }
    if (behind > 2 * n) {
        viewer.CatchingUp = true;
        return;
    }
    if (!viewer.CatchingUp) return;
    viewer.CatchingUp = false;
    output_.SendToViewer(viewer, BuildNotice("You are watching the game live now"));
}

void TCatchUp::NoticeOnJoin(TDemoViewer& viewer, int32_t behind) {
    const int32_t n = PacketsPerTick();
    if (n <= 1 || behind <= 2 * n) return;
    // It gains n - 1 packets a tick on a game that grows by one a tick
    // while it is filmed.
    const int64_t ticks = (static_cast<int64_t>(behind) + n - 2) / (n - 1);
    const int64_t seconds = std::max<int64_t>(1, ticks * TMainForm::kDistributeIntervalMs / 1000);
    output_.SendToViewer(viewer, BuildNotice("Catching up with the live game: about " + std::to_string(seconds) + " s"));
}

}  // namespace vistrel
