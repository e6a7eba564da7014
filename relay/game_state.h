// How a game's broadcast is going, as the operator's page, the API and the
// metrics show it: the camera's state, and how far a viewer is behind what
// viewers may see.
#pragma once

#include <cstdint>
#include <string_view>

namespace vistrel {

class TActiveGameList;
class TBroadcastDelay;
class TDemoViewer;

enum class TCameraState : uint8_t {
    Filming,  // a sender is connected (or, at an edge, the origin's camera films)
    Halted,   // the operator closed its sender (Halt Transfer)
    Gone,     // the sender left by itself, or the game was read back without one
};

TCameraState CameraState(const TActiveGameList& game);
// "filming", "halted", "gone".
std::string_view CameraStateName(TCameraState state);

// A viewer's distance from the live edge: the stored packets between its
// position and the game's visible end, and the time between their
// acknowledgements (where the packets carry it; else one tick a packet).
struct TViewerLag {
    int32_t Packets = 0;
    int64_t Ms = 0;
};
TViewerLag ViewerLag(const TBroadcastDelay& delay, const TActiveGameList& game, const TDemoViewer& viewer);
// The same, given the game's visible end (the per-tick sampling has it).
TViewerLag ViewerLag(const TActiveGameList& game, int32_t visibleEnd, int32_t position);

}  // namespace vistrel
