// TGameHost: the face through which games that come from elsewhere than a
// camera on the sender port are opened, described, filled and removed:
// brought back from a recording at start-up, or mirrored from another relay
// (edge mode). They are served like a game whose sender has gone. This is
// all that the restore and the edge see of the relay.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/game_list.h"
#include "core/recording_format.h"

namespace vistrel {

class TGameHost {
public:
    virtual ~TGameHost() = default;

    // The registry; null before start-up and after FormDestroy.
    virtual const TGameList* Games() const noexcept = 0;
    // The game with this identifier, to describe or store into; null when
    // there is none (an operator may have deleted it).
    virtual TActiveGameList* FindGameById(int32_t id) noexcept = 0;
    // Opens a game with identifier id, or with the next identifier when id
    // is 0 (see TRelayGames::NextId); the identifier counter continues after
    // the highest given. The
    // game gets its games list row and its description goes to every
    // viewer. Null when id is already taken or the registry is gone.
    virtual TActiveGameList* OpenDetachedGame(int32_t id, const TGameDescription& description) = 0;
    // An identifier a recording in the data folder holds: the counter goes on
    // after it and no other game is given it, whether or not its file is
    // restored.
    virtual void HoldGameId(int32_t id) = 0;
    // Changes a game's description as a camera's GAMEINFO does: its row and
    // every viewer are told.
    virtual void DescribeGame(TActiveGameList& game, const TGameDescription& description) = 0;
    // Stores a whole DEMOPACKET or DEMORESTART at location as an upload
    // would, after the same location checks. False (nothing stored) when the
    // location is refused or the bytes are not such a packet.
    virtual bool StoreDetachedPacket(TActiveGameList& game, int32_t location, std::string_view packet) = 0;
    // For a reader other than a viewer (a segment asked for over HTTP):
    // whether any of the kPageRun locations from first on is paged out, and
    // if so, starts reading them back (its game then counts as just sent).
    virtual bool ReadBackRun(int32_t gameId, int32_t first) = 0;
    // Removes the game as Delete Game does. False when there is no such game.
    virtual bool DeleteGame(int32_t id) = 0;
    // The stored games have reached the memory budget's Stored part.
    virtual bool StoredGamesFillBudget() const noexcept = 0;
    // A line in the server log.
    virtual void ServerLog(std::string_view text) = 0;
};

}  // namespace vistrel
