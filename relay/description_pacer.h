// TDescriptionPacer: game descriptions (GAMEINFODETAILED) to every viewer,
// paced per game (kDescriptionRate). A change within the game's pace is
// described at once; one beyond it sets one deadline, and the description
// sent then carries the game's state of that moment, covering every change
// in between. One packet is built and shared; a description of the game
// still unsent on a connection is replaced by the new one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "net/event_loop.h"
#include "relay/token_bucket.h"

namespace vistrel {

class TActiveGameList;
class TRelayGames;
class TViewerOutput;
class TWSocketServer;

class TDescriptionPacer {
public:
    TDescriptionPacer(TEventLoop& loop, TRelayGames& games, TWSocketServer& viewers, TViewerOutput& output)
        : loop_(loop), games_(games), viewers_(viewers), output_(output) {}
    ~TDescriptionPacer();
    TDescriptionPacer(const TDescriptionPacer&) = delete;
    TDescriptionPacer& operator=(const TDescriptionPacer&) = delete;

    // The game changed: every viewer is told, now or once its turn comes.
    void BroadcastGameInfo(const TActiveGameList& game);
    // A removed game: its pace goes, and a description still due is dropped,
    // so nothing follows its GAMEREMOVED.
    void ForgetGame(int32_t gameId);
    // Whether some game's description waits for its turn.
    bool AnyDue() const noexcept;

private:
    void DescribeWhenDue(int32_t gameId);
    void DescribeToEveryViewer(const TActiveGameList& game);

    // Per described game: its pace, and the deadline of a description due
    // (0: none).
    struct TPace {
        TTokenBucket Bucket;
        TEventLoop::TimerId Due = 0;
    };
    TEventLoop& loop_;
    TRelayGames& games_;
    TWSocketServer& viewers_;
    TViewerOutput& output_;
    std::map<int32_t, TPace> paces_;
};

}  // namespace vistrel
