// TChatRing: the chat lines the relay has passed on, for the operator to
// read (the API, the operator page). Only lines that reached someone are
// kept: a muted viewer's lines are not, nor a camera's lines the broadcast
// delay still holds (they join when they are released, so a reader of the
// ring learns nothing before the game's viewers do). The newest kKeptLines
// stay, each cut to kMaxTextLength, numbered from 1 in the order passed on.
// Chat never goes into the server log: a crowd's chat would push the
// relay's own lines out of the lines kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "console/console_lists.h"

namespace vistrel {

enum class TChatOrigin { Viewer, Camera };

struct TChatLine {
    int64_t Seq = 0;
    TChatOrigin From = TChatOrigin::Viewer;
    // The viewer's TDemoViewer::Seq (its id in the API); 0 for a camera.
    uint64_t ViewerId = 0;
    // The game it went to; 0 for the viewers watching no game.
    int32_t GameId = 0;
    // As the relay stamped them into the relayed line: 8-bit bytes.
    std::string Name;
    std::string Text;
    // Wall-clock milliseconds since 1970 when it was passed on.
    int64_t TimeMs = 0;
};

class TChatRing {
public:
    static constexpr size_t kKeptLines = 1024;
    // A SENDTEXT's text slot holds less; a bound of the ring's own all the same.
    static constexpr size_t kMaxTextLength = 256;

    // nowMs: the relay's wall clock (TBroadcastDelay::NowMs).
    explicit TChatRing(std::function<int64_t()> nowMs) : now_ms_(std::move(nowMs)) {}

    // One relayed SENDTEXT packet: its name and text slots are read from it.
    void Add(TChatOrigin from, uint64_t viewerId, int32_t gameId, std::string_view sendText);

    // Lines ever added; the Seq of the newest, and the Seq before the oldest kept.
    int64_t Count() const noexcept { return first_ + static_cast<int64_t>(lines_.size()); }
    int64_t First() const noexcept { return first_; }
    // The line numbered seq, First() < seq <= Count(); raises EListError otherwise.
    const TChatLine& Line(int64_t seq) const;
    // Told of each line added (LineAppended, with its Seq). A read-only view
    // may subscribe.
    TListListeners& Listeners() const noexcept { return listeners_; }

private:
    std::function<int64_t()> now_ms_;
    std::deque<TChatLine> lines_;
    int64_t first_ = 0;
    mutable TListListeners listeners_;
};

}  // namespace vistrel
