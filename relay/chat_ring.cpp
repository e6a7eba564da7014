#include "relay/chat_ring.h"

#include "core/game_list.h"
#include "core/protocol.h"

namespace vistrel {

void TChatRing::Add(TChatOrigin from, uint64_t viewerId, int32_t gameId, std::string_view sendText) {
    std::string text = ReadTextSlot(sendText, Slot::SendTextLine);
    if (text.size() > kMaxTextLength) text.resize(kMaxTextLength);
    lines_.push_back(TChatLine{.Seq = Count() + 1,
                               .From = from,
                               .ViewerId = viewerId,
                               .GameId = gameId,
                               .Name = ReadTextSlot(sendText, Slot::SendTextName),
                               .Text = std::move(text),
                               .TimeMs = now_ms_()});
    if (lines_.size() > kKeptLines) {
        lines_.pop_front();
        ++first_;
    }
    listeners_.Notify(TListChange::TKind::LineAppended, Count());
}

const TChatLine& TChatRing::Line(int64_t seq) const {
    if (seq <= first_ || seq > Count()) throw EListError(seq);
    return lines_[static_cast<size_t>(seq - first_ - 1)];
}

}  // namespace vistrel
