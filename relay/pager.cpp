#include "relay/pager.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/shared_bytes.h"
#include "core/game_list.h"
#include "relay/demo_viewer.h"
#include "relay/game_recording.h"
#include "relay/relay_games.h"
#include "relay/relay_limits.h"
#include "relay/relay_log.h"

namespace vistrel {

size_t TPager::Counted(const TGameList& games) const noexcept {
    // Without recording nothing is paged, and the whole registry counts.
    return recording_.Recorder() ? games.BudgetedBytes() : games.StoredBytes();
}

bool TPager::StoredGamesFillBudget() const noexcept {
    const TGameList* games = games_.List();
    return budget_.Stored != 0 && games && Counted(*games) >= budget_.Stored;
}

void TPager::NoteSent(TActiveGameList& game) const noexcept { game.SetLastSent(ticks_); }

void TPager::AfterTick() {
    const TGameList* games = games_.List();
    if (recording_.Recorder() && budget_.Stored != 0 && games && Counted(*games) > budget_.Stored) MakeRoom();
}

bool TPager::MakeRoom() {
    TGameList* games = games_.List();
    if (!games || budget_.Stored == 0) return true;
    if (Counted(*games) < budget_.Stored) return true;
    TRecorder* recorder = recording_.Recorder();
    if (!recorder) return false;
    const size_t target = budget_.Stored / 8 * kPageTargetEighths;
    std::vector<TActiveGameList*> candidates;
    for (int32_t g = 0; g < games->Count(); ++g) {
        TActiveGameList& game = games->At(g);
        if (!game.Sender() && recorder->Has(game.Identifier()) &&
            game.StoredBytes() > static_cast<size_t>(game.Count()) * kStoredEntryOverhead)
            candidates.push_back(&game);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const TActiveGameList* a, const TActiveGameList* b) { return a->LastSent() < b->LastSent(); });
    for (TActiveGameList* game : candidates) {
        const int32_t id = game->Identifier();
        // What its viewers are about to be sent stays.
        std::vector<bool> keep(static_cast<size_t>(game->Count()), false);
        for (const TDemoViewer* viewer : games_.Viewers().Of(id))
            for (int32_t i = viewer->Position; i < std::min(game->Count(), viewer->Position + kPageKeep); ++i)
                keep[static_cast<size_t>(i)] = true;
        for (int32_t i = game->Count() - 1; i >= 0 && Counted(*games) > target; --i) {
            if (keep[static_cast<size_t>(i)] || game->PagedOut(i) || game->Data(i).empty()) continue;
            if (recorder->RecordOf(id, i).Offset == 0) continue;  // nowhere to read it back from
            game->PageOut(i);
        }
        if (Counted(*games) <= target) break;
    }
    return Counted(*games) < budget_.Stored;
}

bool TPager::ReadInFlight(int32_t gameId, int32_t location) const {
    auto it = reads_.upper_bound({gameId, location});
    if (it == reads_.begin()) return false;
    --it;
    return it->first == gameId && location < it->second + kPageRun;
}

void TPager::PageAhead(TActiveGameList& game, int32_t position, bool retryUnreadable) {
    TRecorder* recorder = recording_.Recorder();
    if (!recorder || game.PagedOutCount() == 0) return;
    const int32_t id = game.Identifier();
    const int32_t end = std::min(game.Count(), position + kPageAhead);
    for (int32_t location = position; location < end; ++location) {
        if (!game.PagedOut(location) || ReadInFlight(id, location)) continue;
        // Viewers pass over what failed; it is read again when a segment
        // holding it is asked for.
        if (game.Unreadable(location) && !retryUnreadable) continue;
        const bool reading = recorder->ReadRun(id, location, kPageRun, [this, id, location](TPageRun& run) {
            reads_.erase({id, location});
            TActiveGameList* read = games_.Find(id);
            if (!read) return;
            for (const auto& [at, packet] : run.Packets)
                if (at < read->Count() && read->PagedOut(at)) read->PageIn(at, TSharedBytes(packet));
            if (location < read->Count() && read->PagedOut(location) && !read->Unreadable(location)) {
                // Not read back (a failed read, a record damaged since it
                // was written): passed over by its viewers rather than
                // waited for without end, but still stored, so that a
                // repaired file brings it back. Said once, not at every try.
                read->MarkUnreadable(location);
                const TRecorder* files = recording_.Recorder();
                log_.Line("Cannot read location " + std::to_string(location) + " of game " + std::to_string(id) +
                                     " back from " + (files ? files->PathOf(id) : std::string()) + ": " +
                                     (run.Error != 0 ? std::string(std::strerror(-run.Error)) : "its record is damaged") +
                                     "; it is passed over");
            }
        });
        if (reading) reads_.insert({id, location});
        return;
    }
}

bool TPager::ReadBackRun(int32_t gameId, int32_t first) {
    TActiveGameList* game = games_.Find(gameId);
    if (!game || first < 0) return false;
    const int32_t end = std::min(game->Count(), first + kPageRun);
    bool pagedOut = false;
    for (int32_t location = first; location < end && !pagedOut; ++location) pagedOut = game->PagedOut(location);
    if (!pagedOut) return false;
    PageAhead(*game, first, true);
    // Asked for now: released last.
    NoteSent(*game);
    return true;
}

}  // namespace vistrel
