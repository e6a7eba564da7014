// Paging: with recording on, the stored games can outgrow the memory budget.
// Packets of games without a sender are released from memory (their records
// stay in the games' files), least recently sent game first, and read back a
// run at a time ahead of the viewers that reach them, off the loop's thread.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/game_list.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"

namespace vistrel {

bool TMainForm::MakeRoom() {
    if (!games_ || memory_budget_.Stored == 0) return true;
    if (games_->StoredBytes() < memory_budget_.Stored) return true;
    if (!recorder_) return false;
    const size_t target = memory_budget_.Stored / 8 * kPageTargetEighths;
    std::vector<TActiveGameList*> candidates;
    for (int32_t g = 0; g < games_->Count(); ++g) {
        TActiveGameList& game = games_->At(g);
        if (!game.Sender() && recorder_->Has(game.Identifier()) &&
            game.StoredBytes() > static_cast<size_t>(game.Count()) * kStoredEntryOverhead)
            candidates.push_back(&game);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const TActiveGameList* a, const TActiveGameList* b) { return a->LastSent() < b->LastSent(); });
    for (TActiveGameList* game : candidates) {
        const int32_t id = game->Identifier();
        // What its viewers are about to be sent stays.
        std::vector<bool> keep(static_cast<size_t>(game->Count()), false);
        for (const TDemoViewer* viewer : game_viewers_.Of(id))
            for (int32_t i = viewer->Position; i < std::min(game->Count(), viewer->Position + kPageKeep); ++i)
                keep[static_cast<size_t>(i)] = true;
        for (int32_t i = game->Count() - 1; i >= 0 && games_->StoredBytes() > target; --i) {
            if (keep[static_cast<size_t>(i)] || game->PagedOut(i) || game->Data(i).empty()) continue;
            if (recorder_->RecordOf(id, i).Offset == 0) continue;  // nowhere to read it back from
            game->PageOut(i);
        }
        if (games_->StoredBytes() <= target) break;
    }
    return games_->StoredBytes() < memory_budget_.Stored;
}

bool TMainForm::PageReadInFlight(int32_t gameId, int32_t location) const {
    auto it = page_reads_.upper_bound({gameId, location});
    if (it == page_reads_.begin()) return false;
    --it;
    return it->first == gameId && location < it->second + kPageRun;
}

void TMainForm::PageAhead(TActiveGameList& game, int32_t position) {
    if (!recorder_ || game.PagedOutCount() == 0) return;
    const int32_t id = game.Identifier();
    const int32_t end = std::min(game.Count(), position + kPageAhead);
    for (int32_t location = position; location < end; ++location) {
        if (!game.PagedOut(location) || PageReadInFlight(id, location)) continue;
        const bool reading = recorder_->ReadRun(id, location, kPageRun, [this, id, location](TPageRun& run) {
            page_reads_.erase({id, location});
            TActiveGameList* read = games_ ? games_->FindById(id) : nullptr;
            if (!read) return;
            for (const auto& [at, packet] : run.Packets)
                if (at < read->Count() && read->PagedOut(at)) read->PageIn(at, TSharedBytes(packet));
            if (location < read->Count() && read->PagedOut(location)) {
                // Not read back (a failed read, a record damaged since it
                // was written): a gap from now on, which its viewers pass
                // over, rather than a wait without end.
                read->ForgetPagedOut(location);
                ServerLog(false, "Cannot read location " + std::to_string(location) + " of game " + std::to_string(id) +
                                     " back from " + recorder_->PathOf(id) + ": " +
                                     (run.Error != 0 ? std::string(std::strerror(-run.Error)) : "its record is damaged") +
                                     "; it is passed over");
            }
        });
        if (reading) page_reads_.insert({id, location});
        return;
    }
}

bool TMainForm::ReadBackRun(int32_t gameId, int32_t first) {
    TActiveGameList* game = games_ ? games_->FindById(gameId) : nullptr;
    if (!game || first < 0) return false;
    const int32_t end = std::min(game->Count(), first + kPageRun);
    bool pagedOut = false;
    for (int32_t location = first; location < end && !pagedOut; ++location) pagedOut = game->PagedOut(location);
    if (!pagedOut) return false;
    PageAhead(*game, first);
    // Asked for now: released last.
    game->SetLastSent(ticks_);
    return true;
}

}  // namespace vistrel
