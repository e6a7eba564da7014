// TBroadcastDelay: a live game shown to viewers only once a set time has
// passed since each packet was acknowledged, so nobody watching can tell a
// player what is happening now. It keeps the relay's wall clock (following
// the loop's clock, which tests step), decides which part of each game is
// visible, and holds the sender's chat lines back with the packets. Viewers'
// chat, joins and leaves, descriptions and the sender's own answers are
// never delayed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "base/shared_bytes.h"
#include "net/event_loop.h"

namespace vistrel {

class TActiveGameList;
class TDemoViewer;
class TRelayGames;
class TRelayLog;
class TViewerOutput;

class TBroadcastDelay {
public:
    // Chat lines held per game; beyond it the oldest goes.
    static constexpr size_t kMaxHeldLines = 4096;

    TBroadcastDelay(TEventLoop& loop, TRelayLog& log, TRelayGames& games, TViewerOutput& output);

    // Wall-clock milliseconds since 1970: the wall clock at start-up plus the
    // loop's time since then.
    int64_t NowMs() const;

    int DelaySeconds() const noexcept { return delay_s_; }
    // A raise holds back what is not old enough under the new delay; a cut
    // releases what now is, at the next tick. Logs one line on a change.
    void SetDelaySeconds(int seconds);

    // The first location not yet visible: a stored packet acknowledged less
    // than the delay ago (gaps before it are passed as visible), or Count().
    int32_t VisibleEnd(const TActiveGameList& game) const;
    // The same, kept in the game's mark so the next look starts there.
    int32_t Advance(TActiveGameList& game);
    // Stored packets at or after VisibleEnd.
    int32_t HeldBack(const TActiveGameList& game) const;
    // Whether location i holds a packet acknowledged less than the delay ago.
    bool Recent(const TActiveGameList& game, int32_t i) const;

    // A sender's chat line for the game's viewers: sent now without a delay,
    // else when the delay has passed.
    void RelayChat(int32_t gameId, const TSharedBytes& line);
    // The held chat lines that are due go to their games' viewers.
    void ReleaseDueChat();
    // A viewer joining a game whose next packet is held is told how long.
    void NoticeOnJoin(TDemoViewer& viewer, const TActiveGameList& game);

    // Each chat line as it goes to its game's viewers (the frame keeps it
    // for the operator): at once, or when the delay releases it.
    std::function<void(int32_t gameId, const TSharedBytes& line)> OnChatSent;

private:
    struct THeldLine {
        int64_t ReceivedMs;
        TSharedBytes Line;
    };
    struct THeldChat {
        std::deque<THeldLine> Lines;
        bool OverflowLogged = false;
    };
    int64_t DelayMs() const noexcept { return int64_t{delay_s_} * 1000; }
    void SendToViewers(int32_t gameId, const TSharedBytes& line);

    TEventLoop& loop_;
    TRelayLog& log_;
    TRelayGames& games_;
    TViewerOutput& output_;
    const int64_t start_wall_ms_;
    const TEventLoop::Clock::time_point start_;
    int delay_s_ = 0;
    std::map<int32_t, THeldChat> chat_;
};

}  // namespace vistrel
