#include "relay/broadcast_delay.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "core/game_list.h"
#include "core/protocol.h"
#include "relay/demo_viewer.h"
#include "relay/relay_games.h"
#include "relay/relay_log.h"
#include "relay/viewer_output.h"

namespace vistrel {

namespace {

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool IsGap(const TActiveGameList& game, int32_t i) { return game.Data(i).empty() && !game.PagedOut(i); }

}  // namespace

TBroadcastDelay::TBroadcastDelay(TEventLoop& loop, TRelayLog& log, TRelayGames& games, TViewerOutput& output)
    : loop_(loop), log_(log), games_(games), output_(output), start_wall_ms_(WallMs()), start_(loop.Now()) {}

int64_t TBroadcastDelay::NowMs() const {
    return start_wall_ms_ + std::chrono::duration_cast<std::chrono::milliseconds>(loop_.Now() - start_).count();
}

void TBroadcastDelay::SetDelaySeconds(int seconds) {
    seconds = std::max(0, seconds);
    if (seconds == delay_s_) return;
    const bool raised = seconds > delay_s_;
    delay_s_ = seconds;
    log_.Line(seconds == 0 ? std::string("Broadcast delay off")
                           : "Broadcast delay set to " + std::to_string(seconds) + " s");
    // What was visible under a shorter delay may not be under this one: every
    // game is judged again from its start. A cut keeps the marks, which are
    // still true, and the next look moves them on.
    if (!raised || !games_.List()) return;
    TGameList& list = *games_.List();
    for (int32_t g = 0; g < list.Count(); ++g) list.At(g).SetVisibleMark(0);
}

int32_t TBroadcastDelay::VisibleEnd(const TActiveGameList& game) const {
    const int32_t count = game.Count();
    if (delay_s_ == 0) return count;
    const int64_t oldest = NowMs() - DelayMs();
    int32_t i = std::min(game.VisibleMark(), count);
    while (i < count && (IsGap(game, i) || game.AckMs(i) <= oldest)) ++i;
    return i;
}

int32_t TBroadcastDelay::Advance(TActiveGameList& game) {
    const int32_t end = VisibleEnd(game);
    if (delay_s_ != 0) game.SetVisibleMark(end);
    return end;
}

int32_t TBroadcastDelay::HeldBack(const TActiveGameList& game) const {
    int32_t held = 0;
    for (int32_t i = VisibleEnd(game); i < game.Count(); ++i)
        if (!IsGap(game, i)) ++held;
    return held;
}

bool TBroadcastDelay::Recent(const TActiveGameList& game, int32_t i) const {
    return delay_s_ != 0 && !IsGap(game, i) && game.AckMs(i) > NowMs() - DelayMs();
}

void TBroadcastDelay::SendToViewers(int32_t gameId, const TSharedBytes& line) {
    output_.SendToGameViewers(gameId, line);
    if (OnChatSent) OnChatSent(gameId, line);
}

void TBroadcastDelay::RelayChat(int32_t gameId, const TSharedBytes& line) {
    auto it = chat_.find(gameId);
    // Lines still held from a longer delay go first, so none overtakes them.
    if (delay_s_ == 0 && it == chat_.end()) {
        SendToViewers(gameId, line);
        return;
    }
    THeldChat& held = chat_[gameId];
    held.Lines.push_back(THeldLine{NowMs(), line});
    if (held.Lines.size() > kMaxHeldLines) {
        held.Lines.pop_front();
        if (!held.OverflowLogged) {
            held.OverflowLogged = true;
            log_.Line("Game " + std::to_string(gameId) + " holds more than " + std::to_string(kMaxHeldLines) +
                      " chat lines behind the broadcast delay; the oldest are dropped");
        }
    }
}

void TBroadcastDelay::ReleaseDueChat() {
    if (chat_.empty()) return;
    const int64_t oldest = NowMs() - DelayMs();
    for (auto it = chat_.begin(); it != chat_.end();) {
        const int32_t id = it->first;
        std::deque<THeldLine>& lines = it->second.Lines;
        if (!games_.Find(id)) lines.clear();  // the game has gone
        while (!lines.empty() && lines.front().ReceivedMs <= oldest) {
            // Taken off first: a send that raises does not send it twice.
            const TSharedBytes line = std::move(lines.front().Line);
            lines.pop_front();
            SendToViewers(id, line);
        }
        it = lines.empty() ? chat_.erase(it) : std::next(it);
    }
}

void TBroadcastDelay::NoticeOnJoin(TDemoViewer& viewer, const TActiveGameList& game) {
    if (delay_s_ == 0) return;
    int32_t next = std::max(viewer.Position, 0);
    while (next < game.Count() && IsGap(game, next)) ++next;
    // Its next packet is visible already, or there is none to wait for.
    if (next < VisibleEnd(game) || next >= game.Count()) return;
    const int64_t waitMs = game.AckMs(next) + DelayMs() - NowMs();
    const int64_t waitS = std::max<int64_t>(1, (waitMs + 999) / 1000);
    output_.SendToViewer(viewer, BuildNotice("Broadcast delay " + std::to_string(delay_s_) + " s: the game starts in " +
                                             std::to_string(waitS) + " s"));
}

}  // namespace vistrel
