#include "relay/detached_games.h"

#include <string>

#include "core/game_list.h"
#include "core/protocol.h"
#include "console/console_lists.h"
#include "relay/broadcast_delay.h"
#include "relay/description_pacer.h"
#include "relay/pager.h"
#include "relay/relay_games.h"
#include "relay/relay_log.h"

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

const TGameList* TDetachedGames::Games() const noexcept { return games_.List(); }

TActiveGameList* TDetachedGames::FindGameById(int32_t id) noexcept { return games_.Find(id); }

TActiveGameList* TDetachedGames::OpenDetachedGame(int32_t id, const TGameDescription& description) {
    TGameList* games = games_.List();
    if (!games) return nullptr;
    if (id == 0) id = games_.NextId();
    if (id <= 0 || games->FindById(id)) return nullptr;
    games_.NoteId(id);
    TActiveGameList& game = games->Add(nullptr);
    game.SetIdentifier(id);
    ApplyDescription(game, description);
    console_.AddGameRow(id, nullptr, game.SenderAddr());
    console_.SetGameColumns(id, {.Name = game.Name(),
                                 .Label = GameLabel(game.GameType()),
                                 .Mod = game.Mod(),
                                 .Sender = description.SenderName});
    descriptions_.BroadcastGameInfo(game);
    return &game;
}

void TDetachedGames::DescribeGame(TActiveGameList& game, const TGameDescription& description) {
    ApplyDescription(game, description);
    console_.SetGameColumns(game.Identifier(), {.Name = game.Name(),
                                                .Label = GameLabel(game.GameType()),
                                                .Mod = game.Mod(),
                                                .Sender = description.SenderName});
    descriptions_.BroadcastGameInfo(game);
}

bool TDetachedGames::StoreDetachedPacket(TActiveGameList& game, int32_t location, std::string_view packet) {
    if (packet.size() < PacketSize::DemoHeader || static_cast<size_t>(PacketLengthOf(packet)) != packet.size())
        return false;
    const int32_t type = PacketTypeOf(packet);
    if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART) return false;
    if (game.CheckLocation(location) != TLocationCheck::Fits) return false;
    game.StorePacketAt(location, packet, type == PacketType::DEMOPACKET ? kTagDemoPacket : kTagDemoRestart,
                       delay_.NowMs());
    return true;
}

void TDetachedGames::HoldGameId(int32_t id) {
    if (id > 0) games_.HoldId(id);
}

bool TDetachedGames::ReadBackRun(int32_t gameId, int32_t first) { return pager_.ReadBackRun(gameId, first); }

bool TDetachedGames::StoredGamesFillBudget() const noexcept { return pager_.StoredGamesFillBudget(); }

void TDetachedGames::ServerLog(std::string_view text) { log_.Line(text); }

}  // namespace vistrel
