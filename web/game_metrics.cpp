#include "web/game_metrics.h"

#include <cstdint>
#include <string>
#include <vector>

#include "relay/game_state.h"
#include "relay/main_form.h"
#include "web/json_bodies.h"
#include "web/metrics_text.h"

namespace vistrel {

namespace {

struct TShownGame {
    const TActiveGameList* Game;
    std::string Id;
};

std::vector<TShownGame> ShownGames(const TMainForm& form) {
    std::vector<TShownGame> shown;
    const TGameList* games = form.Games();
    for (int32_t i = 0; games && i < games->Count(); ++i) {
        const TActiveGameList& game = games->At(i);
        if (game.Viewers() > 0 || CameraState(game) == TCameraState::Filming)
            shown.push_back({&game, std::to_string(game.Identifier())});
    }
    return shown;
}

}  // namespace

void AppendGameMetrics(TMetricsText& out, const TMainForm& form) {
    const std::vector<TShownGame> shown = ShownGames(form);
    const TBroadcastDelay& delay = form.BroadcastDelay();
    out.Family("vistrel_game_viewers", "gauge", "Viewers watching the game.");
    for (const TShownGame& g : shown)
        out.Sample("vistrel_game_viewers", {{"game", g.Id}}, static_cast<uint64_t>(g.Game->Viewers()));
    out.Family("vistrel_game_stored_packets", "gauge", "Demo packets the game holds.");
    for (const TShownGame& g : shown)
        out.Sample("vistrel_game_stored_packets", {{"game", g.Id}}, static_cast<uint64_t>(g.Game->StoredCount()));
    out.Family("vistrel_game_visible_packets", "gauge",
               "Demo packets of the game viewers may see so far (all but those the broadcast delay holds back).");
    for (const TShownGame& g : shown)
        out.Sample("vistrel_game_visible_packets", {{"game", g.Id}},
                   static_cast<uint64_t>(g.Game->StoredCount() - delay.HeldBack(*g.Game)));
    out.Family("vistrel_game_stored_bytes", "gauge", "Bytes of the game's stored demo packets, as compressed.");
    for (const TShownGame& g : shown) out.Sample("vistrel_game_stored_bytes", {{"game", g.Id}}, PacketBytes(*g.Game));
    out.Family("vistrel_game_sent_bytes_total", "counter",
               "Bytes handed to the game's viewers: its demo packets, and its chat and notices.");
    for (const TShownGame& g : shown)
        out.Sample("vistrel_game_sent_bytes_total", {{"game", g.Id}}, g.Game->SentBytes());
    out.Family("vistrel_game_camera_filming", "gauge",
               "1 while a camera films the game (at an edge: while the origin's does), else 0.");
    for (const TShownGame& g : shown)
        out.Sample("vistrel_game_camera_filming", {{"game", g.Id}},
                   uint64_t{CameraState(*g.Game) == TCameraState::Filming});
    out.Family("vistrel_game_last_packet_timestamp_seconds", "gauge",
               "When the game's camera last sent a packet that was stored, in seconds since the Unix epoch.");
    for (const TShownGame& g : shown)
        if (const int64_t ms = g.Game->LastAckMs())
            out.Sample("vistrel_game_last_packet_timestamp_seconds", {{"game", g.Id}},
                       static_cast<double>(ms) / 1000.0);
}

}  // namespace vistrel
