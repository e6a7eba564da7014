// TRelayGames: the game registry with what numbers and groups its games: the
// identifier counter, the viewers watching each game, and the sequence that
// numbers viewer connections. The registry exists from start-up (Open) to
// FormDestroy (Close); before and after, List() is null and Find finds
// nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include "core/game_list.h"
#include "relay/game_viewers.h"

namespace vistrel {

class TRelayGames {
public:
    // An empty registry, the identifier counter at 0.
    void Open() {
        list_ = std::make_unique<TGameList>();
        last_id_ = 0;
        held_.clear();
    }
    void Close() { list_.reset(); }

    TGameList* List() noexcept { return list_.get(); }
    const TGameList* List() const noexcept { return list_.get(); }
    TActiveGameList* Find(int32_t id) noexcept { return list_ ? list_->FindById(id) : nullptr; }
    const TActiveGameList* Find(int32_t id) const noexcept { return list_ ? list_->FindById(id) : nullptr; }

    TGameViewers& Viewers() noexcept { return viewers_; }
    const TGameViewers& Viewers() const noexcept { return viewers_; }

    // The last identifier given to a game.
    int32_t LastId() const noexcept { return last_id_; }
    // The identifier for a new game: after the highest given, or once that is
    // the highest there is, the lowest that no game and no recording holds.
    int32_t NextId() {
        if (last_id_ < std::numeric_limits<int32_t>::max()) return ++last_id_;
        // Rare: one sort of the identifiers in use, not a registry search per
        // candidate.
        std::vector<int32_t> used(held_.begin(), held_.end());
        for (int32_t i = 0; list_ && i < list_->Count(); ++i) used.push_back(list_->At(i).Identifier());
        std::sort(used.begin(), used.end());
        int32_t id = 1;
        for (const int32_t taken : used)
            if (taken == id) ++id;
            else if (taken > id) break;
        return id;
    }
    // A game opened with an identifier of its own: the counter goes on after it.
    void NoteId(int32_t id) noexcept {
        if (id > last_id_) last_id_ = id;
    }
    // An identifier a file in the data folder holds (restored or not): never
    // handed out to another game.
    void HoldId(int32_t id) {
        NoteId(id);
        held_.insert(id);
    }
    // The identifier of a new viewer connection (TDemoViewer::Seq).
    uint64_t NextViewerSeq() noexcept { return ++last_viewer_seq_; }

private:
    std::unique_ptr<TGameList> list_;
    int32_t last_id_ = 0;
    std::unordered_set<int32_t> held_;
    TGameViewers viewers_;
    uint64_t last_viewer_seq_ = 0;
};

}  // namespace vistrel
