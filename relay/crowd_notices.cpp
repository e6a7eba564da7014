#include "relay/crowd_notices.h"

#include <chrono>
#include <limits>

#include "base/shared_bytes.h"
#include "core/game_list.h"
#include "core/protocol.h"
#include "relay/demo_viewer.h"
#include "relay/relay_games.h"
#include "relay/relay_log.h"
#include "relay/viewer_output.h"

namespace vistrel {

namespace {

// A second's joins and leaves make one summary.
constexpr std::chrono::seconds kSummaryInterval{1};

std::string WithThousands(uint64_t n) {
    std::string digits = std::to_string(n);
    for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return digits;
}

}  // namespace

TCrowdNotices::~TCrowdNotices() {
    // A due summary must not reach a destroyed part.
    for (const auto& [id, crowd] : crowds_)
        if (crowd.Due != 0) loop_.CancelTimer(crowd.Due);
}

std::string TCrowdNotices::Summary(int32_t viewers, uint32_t joins, uint32_t leaves) {
    std::string text = WithThousands(static_cast<uint64_t>(viewers > 0 ? viewers : 0)) + " watching (";
    if (joins > 0) text += "+" + WithThousands(joins);
    if (joins > 0 && leaves > 0) text += ", ";
    if (leaves > 0) text += "-" + WithThousands(leaves);
    return text + ")";
}

void TCrowdNotices::SetLimit(int limit) {
    if (limit < 0) limit = 0;
    if (limit == limit_) return;
    limit_ = limit;
    log_.Line(limit_ > 0 ? "Crowd limit set to " + std::to_string(limit_) + " viewers" : "Crowd limit off");
    if (const TGameList* games = games_.List())
        for (int32_t i = 0; i < games->Count(); ++i) Judge(games->At(i));
}

bool TCrowdNotices::Knows(const TDemoViewer& viewer, const TDemoViewer& other) noexcept {
    if (&viewer == &other) return true;
    // Those there before it were named up to its cut-off, in connection
    // order; those after it, if their join was announced.
    if (other.JoinSeq < viewer.JoinSeq) return other.Seq <= viewer.NamedThrough;
    return other.JoinAnnounced;
}

void TCrowdNotices::Joined(TDemoViewer& viewer, const TActiveGameList& game) {
    const int32_t id = game.Identifier();
    viewer.JoinSeq = ++last_join_seq_;
    viewer.JoinAnnounced = !Crowded(game.Viewers());
    const std::string entered = BuildNotice(viewer.UserName + " entered");
    const std::string user = BuildUserEntered(viewer.UserName);
    if (viewer.JoinAnnounced) {
        output_.SendToGame(id, entered);
        output_.SendToGame(id, user);
    } else {
        output_.SendToViewer(viewer, entered);
        output_.SendToViewer(viewer, user);
        Sum(id, true);
    }
    viewer.NamedThrough = std::numeric_limits<uint64_t>::max();
    int named = 0;
    uint64_t lastNamed = 0;
    for (const TDemoViewer* other : games_.Viewers().Of(id)) {
        if (other == &viewer) continue;
        if (limit_ > 0 && named == limit_) {
            viewer.NamedThrough = lastNamed;
            break;
        }
        output_.SendToViewer(viewer, BuildUserEntered(other->UserName));
        ++named;
        lastNamed = other->Seq;
    }
    Judge(game);
}

void TCrowdNotices::Left(TDemoViewer& viewer, const TActiveGameList& game, bool listed) {
    const int32_t id = game.Identifier();
    const std::string leftText = BuildNotice(viewer.UserName + " left");
    const std::string userLeft = BuildUserLeft(viewer.UserName);
    if (Crowded(game.Viewers() + 1)) {
        if (listed) {
            output_.SendToViewer(viewer, leftText);
            output_.SendToViewer(viewer, userLeft);
        }
        Sum(id, false);
    } else {
        // Everyone hears of the leave; only those who were told the name
        // are told it is gone.
        const TSharedBytes notice(leftText), gone(userLeft);
        for (TDemoViewer* other : games_.Viewers().Of(id)) {
            output_.SendToViewer(*other, notice);
            if (Knows(*other, viewer)) output_.SendToViewer(*other, gone);
        }
        output_.SendToSender(id, leftText);
        if (viewer.JoinAnnounced) output_.SendToSender(id, userLeft);
    }
    Judge(game);
}

void TCrowdNotices::Sum(int32_t id, bool join) {
    TCrowd& crowd = crowds_[id];
    (join ? crowd.Joins : crowd.Leaves) += 1;
    if (crowd.Due == 0) crowd.Due = loop_.AddTimer(loop_.Now() + kSummaryInterval, [this, id] { SendSummary(id); });
}

void TCrowdNotices::SendSummary(int32_t id) {
    auto it = crowds_.find(id);
    if (it == crowds_.end()) return;
    TCrowd& crowd = it->second;
    crowd.Due = 0;
    const TActiveGameList* game = games_.Find(id);
    if (!game) {
        crowds_.erase(it);
        return;
    }
    const std::string text = Summary(game->Viewers(), crowd.Joins, crowd.Leaves);
    crowd.Joins = crowd.Leaves = 0;
    if (!crowd.Summed) crowds_.erase(it);
    output_.SendToGame(id, BuildNotice(text));
}

void TCrowdNotices::Judge(const TActiveGameList& game) {
    const int32_t id = game.Identifier();
    const bool crowded = Crowded(game.Viewers());
    auto it = crowds_.find(id);
    const bool was = it != crowds_.end() && it->second.Summed;
    if (crowded == was) return;
    const std::string name = "Game " + std::to_string(id);
    if (crowded) {
        crowds_[id].Summed = true;
        log_.Line(name + " has more than " + std::to_string(limit_) + " viewers: joins and leaves are summed up");
        return;
    }
    it->second.Summed = false;
    if (it->second.Due == 0) crowds_.erase(it);
    log_.Line(limit_ > 0
                  ? name + " has " + std::to_string(limit_) + " viewers or fewer: joins and leaves are announced again"
                  : name + ": joins and leaves are announced again");
}

void TCrowdNotices::ForgetGame(int32_t id) {
    auto it = crowds_.find(id);
    if (it == crowds_.end()) return;
    if (it->second.Due != 0) loop_.CancelTimer(it->second.Due);
    crowds_.erase(it);
}

bool TCrowdNotices::AnySummaryDue() const noexcept {
    for (const auto& [id, crowd] : crowds_)
        if (crowd.Due != 0) return true;
    return false;
}

}  // namespace vistrel
