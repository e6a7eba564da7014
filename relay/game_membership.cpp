#include "relay/game_membership.h"

#include <string>

#include "core/game_list.h"
#include "console/console_lists.h"
#include "relay/crowd_notices.h"
#include "relay/demo_viewer.h"
#include "relay/description_pacer.h"
#include "relay/pager.h"
#include "relay/relay_games.h"
#include "relay/relay_log.h"
#include "relay/viewer_output.h"

namespace vistrel {

void TGameMembership::ShowViewerCount(const TActiveGameList& game) {
    console_.SetGameColumns(game.Identifier(), {.Users = std::to_string(game.Viewers())});
}

void TGameMembership::Join(TDemoViewer& viewer, TActiveGameList& game) {
    const int32_t id = game.Identifier();
    game.SetViewers(game.Viewers() + 1);
    ShowViewerCount(game);
    viewer.GameId = id;
    games_.Viewers().Add(id, viewer);
    // A game released from memory: its first packets are read back now, so
    // the next tick finds them and the viewer's first packet does not wait a
    // tick for the disk.
    if (game.PagedOutCount() > 0) pager_.PageAhead(game, viewer.Position);
    log_.Line(viewer.PeerAddr() + " joined game " + std::to_string(id));
    crowd_.Joined(viewer, game);
    descriptions_.BroadcastGameInfo(game);
    if (OnJoined) OnJoined(viewer, game);
}

void TGameMembership::Leave(TDemoViewer& viewer) {
    TActiveGameList* game = games_.Find(viewer.GameId);
    if (!game) return;
    const int32_t id = game->Identifier();
    game->SetViewers(game->Viewers() - 1);
    ShowViewerCount(*game);
    log_.Line(viewer.PeerAddr() + " left game " + std::to_string(id));
    // The leaving viewer is still listed, so it hears its own leave too.
    crowd_.Left(viewer, *game, true);
    games_.Viewers().Remove(id, viewer);
    viewer.GameId = 0;
    viewer.Position = 0;
    viewer.CatchingUp = false;
    viewer.AwaitingFirstPacket = false;
    descriptions_.BroadcastGameInfo(*game);
}

void TGameMembership::Disconnected(TDemoViewer& viewer) {
    games_.Viewers().Remove(viewer.GameId, viewer);
    if (TActiveGameList* game = games_.Find(viewer.GameId)) {
        game->SetViewers(game->Viewers() - 1);
        ShowViewerCount(*game);
        crowd_.Left(viewer, *game, false);
        descriptions_.BroadcastGameInfo(*game);
    }
}

}  // namespace vistrel
