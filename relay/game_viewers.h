// TGameViewers: the viewers watching each game, every list in connection
// order (by TDemoViewer::Seq), so that sending to a game or distributing its
// demo costs in proportion to its own viewers. A viewer is listed under a
// game from its join to its leave or disconnect; Delete Game drops the game's
// list. Holds links, never ownership.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace vistrel {

class TDemoViewer;

class TGameViewers {
public:
    using List = std::vector<TDemoViewer*>;
    // Adding a viewer already listed changes nothing.
    void Add(int32_t gameId, TDemoViewer& viewer);
    void Remove(int32_t gameId, const TDemoViewer& viewer);
    void Drop(int32_t gameId);
    // The game's viewers (an empty list for a game nobody watches).
    const List& Of(int32_t gameId) const;
    size_t GameCount() const noexcept { return games_.size(); }

private:
    // Sorted by game identifier.
    std::vector<std::pair<int32_t, List>> games_;
};

}  // namespace vistrel
