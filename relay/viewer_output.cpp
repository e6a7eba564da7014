#include "relay/viewer_output.h"

#include <string>

#include "base/shared_bytes.h"
#include "core/game_list.h"
#include "core/protocol.h"
#include "relay/connection_input.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "relay/relay_games.h"
#include "relay/relay_log.h"
#include "relay/relay_metrics.h"
#include "relay/sender_answers.h"

namespace vistrel {

void TViewerOutput::SendToViewer(TDemoViewer& viewer, std::string_view packet) {
    if (viewer.State() != wsConnected) return;
    log_.Debug([&] {
        return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    viewer.Send(packet);
    viewer.BytesSent += packet.size();
    metrics_.Sent(TConnectionKind::Viewer, packet.size());
    input_.EnforceBudget();
}

bool TViewerOutput::SendToViewer(TDemoViewer& viewer, const TSharedBytes& packet) {
    if (viewer.State() != wsConnected) return false;
    log_.Debug([&] {
        return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet.View()))) +
               " Packet";
    });
    viewer.SendShared(packet);
    viewer.BytesSent += packet.Size();
    metrics_.Sent(TConnectionKind::Viewer, packet.Size());
    input_.EnforceBudget();
    return true;
}

void TViewerOutput::SendGameInfo(TDemoViewer& viewer, int32_t gameId, const TSharedBytes& packet) {
    if (viewer.State() != wsConnected) return;
    log_.Debug([&] {
        return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketType::GAMEINFODETAILED)) +
               " Packet";
    });
    // Keyed by the game: identifiers are never 0 here, the key must not be.
    viewer.SendReplacing((uint64_t{1} << 32) | static_cast<uint32_t>(gameId), packet);
    viewer.BytesSent += packet.Size();
    metrics_.Sent(TConnectionKind::Viewer, packet.Size());
    input_.EnforceBudget();
}

void TViewerOutput::SendToGame(int32_t gameId, std::string_view packet) {
    if (!games_.Viewers().Of(gameId).empty()) SendToGameViewers(gameId, TSharedBytes(packet));
    SendToSender(gameId, packet);
}

void TViewerOutput::SendToGameViewers(int32_t gameId, const TSharedBytes& packet) {
    const TGameViewers::List& viewers = games_.Viewers().Of(gameId);
    if (viewers.empty()) return;
    // One lookup for the whole game, not one a viewer.
    TActiveGameList* game = games_.Find(gameId);
    for (TDemoViewer* viewer : viewers)
        if (SendToViewer(*viewer, packet) && game) game->AddSentBytes(packet.Size());
}

void TViewerOutput::SendToSender(int32_t gameId, std::string_view packet) {
    TActiveGameList* game = games_.Find(gameId);
    if (game && game->Sender()) answers_.SendToSender(static_cast<TDemoSender&>(*game->Sender()), packet);
}

}  // namespace vistrel
