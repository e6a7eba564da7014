// TMainForm: game descriptions to every viewer, paced per game
// (kDescriptionRate).
#include "core/game_list.h"
#include "core/packet_framing.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"
#include "relay/relay_limits.h"

namespace vistrel {

void TMainForm::BroadcastGameInfo(const TActiveGameList& game) {
    const int32_t id = game.Identifier();
    TDescriptionPace& pace = description_pace_[id];
    // A description already due carries this change too.
    if (pace.Due != 0) return;
    const auto now = loop_.Now();
    const auto ready = pace.Bucket.ReadyAt(kDescriptionRate, 1, now);
    if (ready <= now) {
        pace.Bucket.Take(kDescriptionRate, 1, now);
        DescribeToEveryViewer(game);
        return;
    }
    pace.Due = loop_.AddTimer(ready, [this, id, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) DescribeWhenDue(id);
    });
}

void TMainForm::DescribeWhenDue(int32_t id) {
    auto pace = description_pace_.find(id);
    if (pace == description_pace_.end()) return;
    pace->second.Due = 0;
    const TActiveGameList* game = games_ ? games_->FindById(id) : nullptr;
    if (!game) {
        description_pace_.erase(pace);
        return;
    }
    pace->second.Bucket.Take(kDescriptionRate, 1, loop_.Now());
    DescribeToEveryViewer(*game);
}

void TMainForm::ForgetDescriptions(int32_t id) {
    auto pace = description_pace_.find(id);
    if (pace == description_pace_.end()) return;
    // A removed game is never described again: no description may follow
    // its GAMEREMOVED.
    if (pace->second.Due != 0) loop_.CancelTimer(pace->second.Due);
    description_pace_.erase(pace);
}

void TMainForm::DescribeToEveryViewer(const TActiveGameList& game) {
    // Built once, referenced by every connection that queues it.
    const TSharedBytes packet(BuildGameInfoDetailed(game));
    for (int32_t i = 0; i < demo_viewers_.ClientCount(); ++i)
        SendGameInfo(*static_cast<TDemoViewer*>(demo_viewers_.Client(i)), game.Identifier(), packet);
}

}  // namespace vistrel
