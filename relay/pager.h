// TPager: with recording on, the stored games can outgrow the memory budget.
// Packets of games without a sender are released from memory (their records
// stay in the games' files), least recently sent game first, and read back a
// run at a time ahead of the viewers that reach them, off the loop's thread.
// The pager keeps the clock of "least recently sent": the distribution's
// ticks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <utility>

namespace vistrel {

class TActiveGameList;
class TGameList;
class TGameRecording;
class TRelayGames;
class TRelayLog;
struct TMemoryBudget;

class TPager {
public:
    TPager(TRelayLog& log, TRelayGames& games, TGameRecording& recording, const TMemoryBudget& budget)
        : log_(log), games_(games), recording_(recording), budget_(budget) {}

    // The stored games (the registry's count; with recording on, less the
    // index of the games with no live source, which paging cannot release
    // and the recordings bound) have reached the budget's Stored part: demo
    // and restart packets are refused and a new sender is closed at once;
    // viewers go on watching what is stored.
    bool StoredGamesFillBudget() const noexcept;
    // The same, after paging has made what room it can (recording on).
    bool StoredGamesFillBudgetAfterPaging() { return StoredGamesFillBudget() && !MakeRoom(); }

    // With recording on and the stored games at the memory budget: releases
    // packets of games without a sender, least recently sent first, down to
    // kPageTargetEighths of the budget, keeping each viewer's next kPageKeep
    // packets. Only packets that have a record in their game's file go.
    // Returns whether the stored games are below the budget afterwards.
    bool MakeRoom();
    // Reads the game's next packets back ahead of a viewer at position;
    // packets whose last read failed are tried again only when
    // retryUnreadable.
    void PageAhead(TActiveGameList& game, int32_t position, bool retryUnreadable = false);
    // For a reader other than a viewer: whether any of the kPageRun
    // locations from first on is paged out, and if so, starts reading them
    // back (its game then counts as just sent).
    bool ReadBackRun(int32_t gameId, int32_t first);

    // A distribution tick begins.
    void Tick() noexcept { ++ticks_; }
    // One of the game's packets went to a viewer this tick.
    void NoteSent(TActiveGameList& game) const noexcept;
    // After a tick: what was read back for the viewers may have passed the
    // budget.
    void AfterTick();

private:
    // What the budget bounds (see StoredGamesFillBudget).
    size_t Counted(const TGameList& games) const noexcept;
    bool ReadInFlight(int32_t gameId, int32_t location) const;

    TRelayLog& log_;
    TRelayGames& games_;
    TGameRecording& recording_;
    const TMemoryBudget& budget_;
    // Runs of packets being read back: (game, first location), each
    // kPageRun long.
    std::set<std::pair<int32_t, int32_t>> reads_;
    // Distribution ticks since start-up (the clock of LastSent).
    uint64_t ticks_ = 0;
};

}  // namespace vistrel
