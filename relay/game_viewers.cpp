// TGameViewers: per game, its watching viewers in connection
// order. Lists are sorted vectors: the distribution walks them every tick,
// while joins and leaves are rare by comparison.
#include <algorithm>

#include "relay/game_viewers.h"
#include "relay/demo_viewer.h"

namespace vistrel {

namespace {

using Entry = std::pair<int32_t, TGameViewers::List>;

bool GameBefore(const Entry& entry, int32_t gameId) { return entry.first < gameId; }
bool SeqBefore(const TDemoViewer* viewer, uint64_t seq) { return viewer->Seq < seq; }

}  // namespace

void TGameViewers::Add(int32_t gameId, TDemoViewer& viewer) {
    auto game = std::lower_bound(games_.begin(), games_.end(), gameId, GameBefore);
    if (game == games_.end() || game->first != gameId) game = games_.insert(game, Entry{gameId, {}});
    List& list = game->second;
    auto at = std::lower_bound(list.begin(), list.end(), viewer.Seq, SeqBefore);
    if (at != list.end() && *at == &viewer) return;
    list.insert(at, &viewer);
}

void TGameViewers::Remove(int32_t gameId, const TDemoViewer& viewer) {
    auto game = std::lower_bound(games_.begin(), games_.end(), gameId, GameBefore);
    if (game == games_.end() || game->first != gameId) return;
    List& list = game->second;
    auto at = std::lower_bound(list.begin(), list.end(), viewer.Seq, SeqBefore);
    if (at == list.end() || *at != &viewer) return;
    list.erase(at);
    if (list.empty()) games_.erase(game);
}

void TGameViewers::Drop(int32_t gameId) {
    auto game = std::lower_bound(games_.begin(), games_.end(), gameId, GameBefore);
    if (game != games_.end() && game->first == gameId) games_.erase(game);
}

const TGameViewers::List& TGameViewers::Of(int32_t gameId) const {
    static const List kNone;
    auto game = std::lower_bound(games_.begin(), games_.end(), gameId, GameBefore);
    if (game == games_.end() || game->first != gameId) return kNone;
    return game->second;
}

}  // namespace vistrel
