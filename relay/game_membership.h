// TGameMembership: which game a viewer watches. A join and a leave change
// the game's viewer count (and its games list row), list or unlist the
// viewer under the game, tell the game's viewers and its sender (" entered",
// " left", USERENTERED, USERLEFT; summed up in a crowd, TCrowdNotices) and
// describe the game again.
#pragma once

#include <functional>

namespace vistrel {

class TActiveGameList;
class TConsoleLists;
class TCrowdNotices;
class TDemoViewer;
class TDescriptionPacer;
class TPager;
class TRelayGames;
class TRelayLog;
class TViewerOutput;

class TGameMembership {
public:
    TGameMembership(TRelayGames& games, TConsoleLists& console, TRelayLog& log, TViewerOutput& output, TPager& pager,
                    TDescriptionPacer& descriptions, TCrowdNotices& crowd)
        : games_(games),
          console_(console),
          log_(log),
          output_(output),
          pager_(pager),
          descriptions_(descriptions),
          crowd_(crowd) {}

    // The viewer watches game from now on (it watches no other).
    void Join(TDemoViewer& viewer, TActiveGameList& game);
    // Told last of each join (the broadcast delay's notice).
    std::function<void(TDemoViewer& viewer, const TActiveGameList& game)> OnJoined;
    // The viewer leaves the game it watches (as LEAVEGAME does, without the
    // acknowledgement): count, notices, position back to 0, game info sent.
    void Leave(TDemoViewer& viewer);
    // A viewer connection that has gone: it is unlisted first, so no list
    // keeps it whatever happens after; its game is told.
    void Disconnected(TDemoViewer& viewer);

private:
    void ShowViewerCount(const TActiveGameList& game);

    TRelayGames& games_;
    TConsoleLists& console_;
    TRelayLog& log_;
    TViewerOutput& output_;
    TPager& pager_;
    TDescriptionPacer& descriptions_;
    TCrowdNotices& crowd_;
};

}  // namespace vistrel
