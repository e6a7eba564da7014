// Games without a sender connection: opened from a recording or from another
// relay rather than by a camera, and served as a game whose camera has gone.
#include <algorithm>
#include <string>
#include <string_view>

#include "core/game_list.h"
#include "core/protocol.h"
#include "relay/main_form.h"

namespace vistrel {

namespace {

void ApplyDescription(TActiveGameList& game, const TGameDescription& description) {
    game.SetGameType(description.GameType);
    game.SetName(description.Name);
    game.SetMod(description.Mod);
    if (!description.SenderAddr.empty()) game.SetSenderAddr(description.SenderAddr);
    if (!description.SenderName.empty()) game.SetSenderName(description.SenderName);
}

}  // namespace

TActiveGameList* TMainForm::OpenDetachedGame(int32_t id, const TGameDescription& description) {
    if (!games_) return nullptr;
    if (id == 0) id = game_id_counter_ + 1;
    if (id <= 0 || games_->FindById(id)) return nullptr;
    game_id_counter_ = std::max(game_id_counter_, id);
    TActiveGameList& game = games_->Add(nullptr);
    game.SetIdentifier(id);
    ApplyDescription(game, description);
    console_.AddGameRow(id, nullptr, game.SenderAddr());
    console_.SetGameColumns(id, {.Name = game.Name(),
                                 .Label = GameLabel(game.GameType()),
                                 .Mod = game.Mod(),
                                 .Sender = description.SenderName});
    BroadcastGameInfo(game);
    return &game;
}

void TMainForm::DescribeGame(TActiveGameList& game, const TGameDescription& description) {
    ApplyDescription(game, description);
    console_.SetGameColumns(game.Identifier(), {.Name = game.Name(),
                                                .Label = GameLabel(game.GameType()),
                                                .Mod = game.Mod(),
                                                .Sender = description.SenderName});
    BroadcastGameInfo(game);
}

bool TMainForm::StoreDetachedPacket(TActiveGameList& game, int32_t location, std::string_view packet) {
    if (packet.size() < PacketSize::DemoHeader || static_cast<size_t>(PacketLengthOf(packet)) != packet.size())
        return false;
    const int32_t type = PacketTypeOf(packet);
    if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART) return false;
    if (game.CheckLocation(location) != TLocationCheck::Fits) return false;
    game.StorePacketAt(location, packet, type == PacketType::DEMOPACKET ? kTagDemoPacket : kTagDemoRestart);
    return true;
}

}  // namespace vistrel
