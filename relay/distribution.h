// TDistribution: the distribution walk. On each tick every watching viewer
// is sent the next stored packet of its game, exactly as it was stored (more
// than one for a viewer catching up, TCatchUp). Games are walked in registry
// order and, within a game, its watching viewers in connection order, so the
// sends happen in the order of a walk over every pair of game and viewer
// connection, at the cost of the watching viewers alone. The stored bytes are
// queued by reference, never copied per viewer. Nobody is sent past the
// game's visible end (TBroadcastDelay). The walk that visits each viewer
// also counts what it costs to see: each game's bytes sent, each viewer's
// lag after its sends, and a joined viewer's wait for its first packet.
#pragma once

namespace vistrel {

class TBroadcastDelay;
class TCatchUp;
class TEventLoop;
class TPager;
class TRelayGames;
class TViewerOutput;
struct TRelayMetrics;

class TDistribution {
public:
    TDistribution(TEventLoop& loop, TRelayMetrics& metrics, TRelayGames& games, TPager& pager, TBroadcastDelay& delay,
                  TCatchUp& catchUp, TViewerOutput& output)
        : loop_(loop),
          metrics_(metrics),
          games_(games),
          pager_(pager),
          delay_(delay),
          catch_up_(catchUp),
          output_(output) {}

    // One walk (the DistrubuteDemo timer's body). A send that raises ends
    // the walk; the viewer concerned keeps its place.
    void Walk();

private:
    TEventLoop& loop_;
    TRelayMetrics& metrics_;
    TRelayGames& games_;
    TPager& pager_;
    TBroadcastDelay& delay_;
    TCatchUp& catch_up_;
    TViewerOutput& output_;
};

}  // namespace vistrel
