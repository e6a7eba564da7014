#include "web/json_bodies.h"

#include <algorithm>
#include <ctime>

#include <nlohmann/json.hpp>

#include "base/latin1.h"
#include "core/protocol.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "relay/game_state.h"
#include "web/origin_routes.h"

namespace vistrel {

namespace {

using nlohmann::json;

// Texts from the network are 8-bit; the API gives them as UTF-8, each byte
// taken as Latin-1.
std::string Utf8(std::string_view text) { return Latin1ToUtf8(text); }

// The games list shows a game's kind once something described the game; a
// game whose camera has not named it (no name, mod or sender name) shows
// none, as its row does.
std::string_view ShownLabel(const TActiveGameList& game) {
    const bool described = !game.Name().empty() || !game.Mod().empty() || !game.SenderName().empty();
    return described ? GameLabel(game.GameType()) : std::string_view();
}

}  // namespace

uint64_t PacketBytes(const TActiveGameList& game) noexcept {
    return game.StoredBytes() - static_cast<uint64_t>(game.Count()) * kStoredEntryOverhead;
}

TUsage Usage(const TMainForm& form) {
    TUsage usage;
    if (const TGameList* games = form.Games()) {
        usage.Games = games->Count();
        usage.StoredMemory = games->StoredBytes();
        for (int32_t i = 0; i < games->Count(); ++i) {
            usage.StoredPackets += games->At(i).StoredCount();
            usage.StoredBytes += PacketBytes(games->At(i));
        }
    }
    const TWSocketServer& senders = form.DemoSenders();
    for (int32_t i = 0; i < senders.ClientCount(); ++i) {
        const auto* sender = static_cast<const TDemoSender*>(senders.Client(i));
        usage.Input[0] += sender->ReceiveBuffer.size();
        usage.Output[0] += sender->BufferedBytes();
    }
    const TWSocketServer& viewers = form.DemoViewers();
    for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
        const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
        usage.Input[1] += viewer->ReceiveBuffer.size();
        usage.Output[1] += viewer->BufferedBytes();
    }
    return usage;
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string StatusJson(const TMainForm& form, std::string_view version, std::chrono::system_clock::time_point started,
                       std::chrono::seconds uptime) {
    const TUsage usage = Usage(form);
    const TMemoryBudget& budget = form.MemoryBudget();
    const json status = {
        {"version", version},
        {"start_time", IsoTime(started)},
        {"uptime_seconds", uptime.count()},
        {"games", usage.Games},
        {"senders", form.DemoSenders().ClientCount()},
        {"viewers", form.DemoViewers().ClientCount()},
        {"stored_packets", usage.StoredPackets},
        {"stored_bytes", usage.StoredBytes},
        {"memory_budget",
         {{"stored_limit_bytes", budget.Stored},
          {"stored_bytes", usage.StoredMemory},
          {"connection_buffers_limit_bytes", budget.ConnectionBuffers},
          {"connection_buffers_bytes", usage.Buffers()}}},
        {"connection_buffers",
         {{"sender_input_bytes", usage.Input[0]},
          {"sender_output_bytes", usage.Output[0]},
          {"viewer_input_bytes", usage.Input[1]},
          {"viewer_output_bytes", usage.Output[1]}}},
    };
    return status.dump();
}

std::string GamesJson(const TMainForm& form, int64_t after, int32_t max) {
    json list = json::array();
    bool more = false;
    const TGameList* games = form.Games();
    // The registry holds the games in the order they were opened, which is
    // the games list's order.
    for (int32_t i = 0; games && i < games->Count(); ++i) {
        const TActiveGameList& game = games->At(i);
        if (game.Identifier() <= after) continue;
        if (static_cast<int32_t>(list.size()) == max) {
            more = true;
            break;
        }
        const TWSocketClient* sender = game.Sender();
        const TBroadcastDelay& delay = form.BroadcastDelay();
        const int64_t lastAckMs = game.LastAckMs();
        list.push_back({
            {"id", game.Identifier()},
            {"name", Utf8(game.Name())},
            {"game", Utf8(ShownLabel(game))},
            {"mod", Utf8(game.Mod())},
            {"stored_packets", game.StoredCount()},
            {"visible_packets", game.StoredCount() - delay.HeldBack(game)},
            {"delay_seconds", delay.DelaySeconds()},
            {"compressed_bytes", PacketBytes(game)},
            {"viewers", game.Viewers()},
            {"sender",
             {{"name", Utf8(game.SenderName())},
              {"address", game.SenderAddr()},
              {"connected", (sender != nullptr && sender->State() == wsConnected) || game.LiveUpstream()}}},
            {"camera", CameraStateName(CameraState(game))},
            // When the camera last sent a packet (null where none was timed).
            {"last_packet_ms", lastAckMs ? json(lastAckMs) : json(nullptr)},
            {"last_packet_age_seconds",
             lastAckMs ? json(static_cast<double>(std::max<int64_t>(0, delay.NowMs() - lastAckMs)) / 1000.0)
                       : json(nullptr)},
            {"game_type", game.GameType()},
            {"opened_ms", game.OpenedMs()},
            // What an edge may fetch: the visible part alone.
            {"last_segment", LastSegment(game, delay.VisibleEnd(game))},
        });
    }
    return json{{"games", std::move(list)}, {"more", more}}.dump();
}

std::string ViewersJson(const TMainForm& form, int64_t after, int32_t max) {
    const TWSocketServer& viewers = form.DemoViewers();
    const TGameList* games = form.Games();
    json list = json::array();
    bool more = false;
    for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
        const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
        if (static_cast<int64_t>(viewer->Seq) <= after) continue;
        if (static_cast<int32_t>(list.size()) == max) {
            more = true;
            break;
        }
        const int32_t index = games && viewer->GameId != 0 ? games->IndexOfId(viewer->GameId) : -1;
        const TActiveGameList* game = index >= 0 ? &games->At(index) : nullptr;
        const TViewerLag lag = game ? ViewerLag(form.BroadcastDelay(), *game, *viewer) : TViewerLag{};
        list.push_back({
            {"id", viewer->Seq},
            {"name", viewer->UserName.empty() ? json(nullptr) : json(Utf8(viewer->UserName))},
            {"address", viewer->PeerAddr()},
            {"port", viewer->PeerPortNumber()},
            {"game", viewer->GameId == 0 ? json(nullptr) : json(viewer->GameId)},
            {"position", viewer->Position},
            // Behind the game's live edge (what viewers may see so far).
            {"lag_packets", lag.Packets},
            {"lag_seconds", static_cast<double>(lag.Ms) / 1000.0},
            {"unsent_bytes", viewer->BufferedBytes()},
            {"muted", viewer->Muted},
        });
    }
    return json{{"viewers", std::move(list)}, {"more", more}}.dump();
}

std::string LogJson(const TLogLines& log, int64_t after, int32_t max) {
    const int64_t count = log.Count();
    // Lines older than those kept are gone: the page goes on from the oldest kept.
    const int64_t first = std::max(std::min(after, count), log.First()) + 1;
    const int64_t last = std::min(count, first + max - 1);
    json lines = json::array();
    for (int64_t seq = first; seq <= last; ++seq)
        lines.push_back({{"seq", seq}, {"text", Utf8(log.Line(seq - 1))}});
    return json{{"lines", std::move(lines)}, {"next", std::max<int64_t>(last, std::min(after, count))},
                {"last", count}, {"more", last < count}}
        .dump();
}

}  // namespace vistrel
