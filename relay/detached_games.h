// TDetachedGames: the relay's TGameHost, for games that come from elsewhere
// than a camera on the sender port (a recording, another relay). Opening one
// gives it an identifier, a games list row and a description to every
// viewer; removing one goes through the frame's Delete Game.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "relay/game_host.h"

namespace vistrel {

class TBroadcastDelay;
class TConsoleLists;
class TDescriptionPacer;
class TPager;
class TRelayGames;
class TRelayLog;

class TDetachedGames final : public TGameHost {
public:
    TDetachedGames(TRelayGames& games, TConsoleLists& console, TRelayLog& log, TDescriptionPacer& descriptions,
                   TPager& pager, const TBroadcastDelay& delay, std::function<bool(int32_t id)> deleteGame)
        : games_(games),
          console_(console),
          log_(log),
          descriptions_(descriptions),
          pager_(pager),
          delay_(delay),
          delete_game_(std::move(deleteGame)) {}

    const TGameList* Games() const noexcept override;
    TActiveGameList* FindGameById(int32_t id) noexcept override;
    TActiveGameList* OpenDetachedGame(int32_t id, const TGameDescription& description) override;
    void HoldGameId(int32_t id) override;
    void DescribeGame(TActiveGameList& game, const TGameDescription& description) override;
    bool StoreDetachedPacket(TActiveGameList& game, int32_t location, std::string_view packet) override;
    bool ReadBackRun(int32_t gameId, int32_t first) override;
    bool DeleteGame(int32_t id) override { return delete_game_(id); }
    bool StoredGamesFillBudget() const noexcept override;
    void ServerLog(std::string_view text) override;

private:
    TRelayGames& games_;
    TConsoleLists& console_;
    TRelayLog& log_;
    TDescriptionPacer& descriptions_;
    TPager& pager_;
    // Its clock stamps what is stored here: a mirrored packet is
    // acknowledged when this relay received it, so a delay here adds to the
    // origin's.
    const TBroadcastDelay& delay_;
    std::function<bool(int32_t id)> delete_game_;
};

}  // namespace vistrel
