// TViewerOutput: the sending operations towards viewers, and towards a whole
// game (its viewers in connection order, then its sender). Each sends only to
// connections in wsConnected, counts what it sent (what goes to a whole game
// also in the game's bytes sent) and holds the connection buffers to their
// budget; a refused Send raises to the caller.
#pragma once

#include <cstdint>
#include <string_view>

namespace vistrel {

class TConnectionInput;
class TDemoViewer;
class TRelayGames;
class TRelayLog;
class TSenderAnswers;
class TSharedBytes;
struct TRelayMetrics;

class TViewerOutput {
public:
    TViewerOutput(TRelayLog& log, TRelayMetrics& metrics, TConnectionInput& input, TRelayGames& games,
                  TSenderAnswers& answers)
        : log_(log), metrics_(metrics), input_(input), games_(games), answers_(answers) {}

    void SendToViewer(TDemoViewer& viewer, std::string_view packet);
    // A packet built once for many connections: queued by reference. False
    // when the viewer is no longer connected (nothing was queued).
    bool SendToViewer(TDemoViewer& viewer, const TSharedBytes& packet);
    // A game's description for one viewer, replacing one of the same game
    // that has not begun to be sent.
    void SendGameInfo(TDemoViewer& viewer, int32_t gameId, const TSharedBytes& packet);
    // To the game's viewers in connection order, then to its sender (one
    // buffer shared by all of them).
    void SendToGame(int32_t gameId, std::string_view packet);
    // To the game's viewers alone, counted in the game's bytes sent.
    void SendToGameViewers(int32_t gameId, const TSharedBytes& packet);
    // To the game's sender alone, if it has one.
    void SendToSender(int32_t gameId, std::string_view packet);

private:
    TRelayLog& log_;
    TRelayMetrics& metrics_;
    TConnectionInput& input_;
    TRelayGames& games_;
    TSenderAnswers& answers_;
};

}  // namespace vistrel
