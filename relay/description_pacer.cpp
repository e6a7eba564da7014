#include "relay/description_pacer.h"

#include "base/shared_bytes.h"
#include "core/game_list.h"
#include "core/packet_framing.h"
#include "core/protocol.h"
#include "net/wsocket_server.h"
#include "relay/demo_viewer.h"
#include "relay/relay_games.h"
#include "relay/relay_limits.h"
#include "relay/viewer_output.h"

namespace vistrel {

TDescriptionPacer::~TDescriptionPacer() {
    // A due description must not reach a destroyed pacer.
    for (const auto& [id, pace] : paces_)
        if (pace.Due != 0) loop_.CancelTimer(pace.Due);
}

void TDescriptionPacer::BroadcastGameInfo(const TActiveGameList& game) {
    const int32_t id = game.Identifier();
    TPace& pace = paces_[id];
    // A description already due carries this change too.
    if (pace.Due != 0) return;
    const auto now = loop_.Now();
    const auto ready = pace.Bucket.ReadyAt(kDescriptionRate, 1, now);
    if (ready <= now) {
        pace.Bucket.Take(kDescriptionRate, 1, now);
        DescribeToEveryViewer(game);
        return;
    }
    pace.Due = loop_.AddTimer(ready, [this, id] { DescribeWhenDue(id); });
}

void TDescriptionPacer::DescribeWhenDue(int32_t id) {
    auto pace = paces_.find(id);
    if (pace == paces_.end()) return;
    pace->second.Due = 0;
    const TActiveGameList* game = games_.Find(id);
    if (!game) {
        paces_.erase(pace);
        return;
    }
    pace->second.Bucket.Take(kDescriptionRate, 1, loop_.Now());
    DescribeToEveryViewer(*game);
}

void TDescriptionPacer::ForgetGame(int32_t id) {
    auto pace = paces_.find(id);
    if (pace == paces_.end()) return;
    if (pace->second.Due != 0) loop_.CancelTimer(pace->second.Due);
    paces_.erase(pace);
}

bool TDescriptionPacer::AnyDue() const noexcept {
    for (const auto& [id, pace] : paces_)
        if (pace.Due != 0) return true;
    return false;
}

void TDescriptionPacer::DescribeToEveryViewer(const TActiveGameList& game) {
    // Built once, referenced by every connection that queues it.
    const TSharedBytes packet(BuildGameInfoDetailed(game));
    for (int32_t i = 0; i < viewers_.ClientCount(); ++i)
        output_.SendGameInfo(*static_cast<TDemoViewer*>(viewers_.Client(i)), game.Identifier(), packet);
}

}  // namespace vistrel
