#include "relay/distribution.h"

#include "base/shared_bytes.h"
#include "net/event_loop.h"
#include "core/game_list.h"
#include "relay/broadcast_delay.h"
#include "relay/catch_up.h"
#include "relay/demo_viewer.h"
#include "relay/pager.h"
#include "relay/relay_games.h"
#include "relay/relay_metrics.h"
#include "relay/viewer_output.h"

namespace vistrel {

void TDistribution::Walk() {
    TGameList* games = games_.List();
    if (!games) return;
    pager_.Tick();
    delay_.ReleaseDueChat();
    const TEventLoop::Clock::time_point now = loop_.Now();
    for (int32_t g = 0; g < games->Count(); ++g) {
        TActiveGameList& game = games->At(g);
        // Only what the broadcast delay lets viewers see (all of it without one).
        const int32_t visibleEnd = delay_.Advance(game);
        const bool paged = game.PagedOutCount() > 0;
        // The viewer's next packet, if it may have one now; false when it
        // waits (caught up, at a gap that may still be filled, at a packet
        // being read back).
        const auto sendNext = [&](TDemoViewer& viewer) {
            int32_t position = viewer.Position;
            if (position >= visibleEnd) return false;  // caught up: wait for the next packet
            if (game.Absent(position)) {
                // A gap (or a packet that could not be read back): while the
                // sender (or, for a mirrored game, the camera upstream) may
                // still fill it, the viewer waits there. Once it is gone
                // nothing will, so the gaps are passed over and the next
                // stored packet goes out.
                if (game.HasLiveSource()) return false;
                while (position < visibleEnd && game.Absent(position)) ++position;
                viewer.Position = position;
                if (position >= visibleEnd) return false;
            }
            if (paged) {
                // Released from memory: read back ahead of the viewer, which
                // waits at a packet still being read.
                pager_.PageAhead(game, position);
                if (game.PagedOut(position)) return false;
            }
            // A send that raises ends the walk; this viewer keeps its place.
            const TSharedBytes& packet = game.SharedData(position);
            if (output_.SendToViewer(viewer, packet)) {
                game.AddSentBytes(packet.Size());
                if (viewer.AwaitingFirstPacket) {
                    viewer.AwaitingFirstPacket = false;
                    metrics_.JoinLatency.Observe(Seconds(now - viewer.JoinedAt));
                }
            }
            viewer.Position = position + 1;
            pager_.NoteSent(game);
            return true;
        };
        for (TDemoViewer* viewer : games_.Viewers().Of(game.Identifier())) {
            // One packet a tick, more for a viewer far behind (TCatchUp).
            const int32_t allowance = catch_up_.Allowance(*viewer, visibleEnd - viewer->Position);
            for (int32_t sent = 0; sent < allowance && sendNext(*viewer); ++sent) {
            }
            const int32_t behind = visibleEnd - viewer->Position;
            catch_up_.AfterSends(*viewer, behind);
            metrics_.ViewerLag.Observe(behind > 0 ? behind : 0);
        }
    }
    pager_.AfterTick();
}

}  // namespace vistrel
