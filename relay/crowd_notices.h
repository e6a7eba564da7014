// TCrowdNotices: what a game's people hear of its joins and leaves. Up to
// the crowd limit (CrowdSpin) every join and leave is announced to the game
// (" entered"/" left", USERENTERED/USERLEFT), and a joiner is named everyone
// already there; telling n viewers of each other costs n² packets, so above
// the limit a join or leave tells only the viewer itself, the joiner is
// named at most the limit's number of those already there, and the game
// hears one summary a second instead ("1,204 watching (+37, -5)").
//
// What each viewer was told is kept in three fields of TDemoViewer (its
// join's place in the order of joins, whether that join was announced, and
// the last viewer named to it at its join), so a leave is told as USERLEFT
// only to those who were told the name, also after the game falls back
// below the limit.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "net/event_loop.h"

namespace vistrel {

class TActiveGameList;
class TDemoViewer;
class TRelayGames;
class TRelayLog;
class TViewerOutput;

class TCrowdNotices {
public:
    // limit: viewers above which joins and leaves are summed up (0: never).
    TCrowdNotices(TEventLoop& loop, TRelayGames& games, TRelayLog& log, TViewerOutput& output, int limit)
        : loop_(loop), games_(games), log_(log), output_(output), limit_(limit > 0 ? limit : 0) {}
    ~TCrowdNotices();
    TCrowdNotices(const TCrowdNotices&) = delete;
    TCrowdNotices& operator=(const TCrowdNotices&) = delete;

    // A new limit, logged when it differs; every game is judged by it at once.
    void SetLimit(int limit);
    int Limit() const noexcept { return limit_; }

    // The viewer has just joined game: it is listed and counted.
    void Joined(TDemoViewer& viewer, const TActiveGameList& game);
    // The viewer has left game (no longer counted). Still listed under it,
    // it hears its own leave; unlisted (a connection gone), nothing.
    void Left(TDemoViewer& viewer, const TActiveGameList& game, bool listed);
    // A removed game: its summary still due is dropped.
    void ForgetGame(int32_t gameId);
    // Whether some game's summary waits for its second.
    bool AnySummaryDue() const noexcept;

    // The summary's text: "1,204 watching (+37, -5)".
    static std::string Summary(int32_t viewers, uint32_t joins, uint32_t leaves);

private:
    // Per game above the limit, or with a summary due.
    struct TCrowd {
        bool Summed = false;
        uint32_t Joins = 0;
        uint32_t Leaves = 0;
        TEventLoop::TimerId Due = 0;
    };
    bool Crowded(int32_t viewers) const noexcept { return limit_ > 0 && viewers > limit_; }
    // Counts a change towards the game's next summary (due a second after
    // the first change it sums up).
    void Sum(int32_t gameId, bool join);
    void SendSummary(int32_t gameId);
    // Logs a game crossing the limit, either way, and keeps its entry.
    void Judge(const TActiveGameList& game);
    // Whether viewer was told of other's name.
    static bool Knows(const TDemoViewer& viewer, const TDemoViewer& other) noexcept;

    TEventLoop& loop_;
    TRelayGames& games_;
    TRelayLog& log_;
    TViewerOutput& output_;
    int limit_;
    uint64_t last_join_seq_ = 0;
    std::map<int32_t, TCrowd> crowds_;
};

}  // namespace vistrel
