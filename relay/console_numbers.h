// TConsoleNumbers: the numbers the console lists show that change while data
// flows: a game's "Compressed Size" (the bytes of its stored packets) and a
// viewer's "Downloaded" (the bytes the relay has sent it). They are brought
// up to date once a distribution tick, and only rows whose number changed
// are rewritten, so a view redraws what moved and nothing else.
#pragma once

namespace vistrel {

class TConsoleLists;
class TRelayGames;

class TConsoleNumbers {
public:
    TConsoleNumbers(TRelayGames& games, TConsoleLists& console) : games_(games), console_(console) {}

    void Refresh();

private:
    TRelayGames& games_;
    TConsoleLists& console_;
};

}  // namespace vistrel
