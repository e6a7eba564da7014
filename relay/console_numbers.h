// TConsoleNumbers: the numbers the console lists show that change while data
// flows: a game's "Compressed Size" (the bytes of its stored packets), its
// "Delay", "Packets" (stored) and "Visible" (what the delay lets viewers
// see), and a viewer's "Downloaded" (the bytes the relay has sent it). They
// are brought up to date once a distribution tick, and only rows whose
// numbers changed are rewritten, once each, so a view redraws what moved
// and nothing else.
#pragma once

namespace vistrel {

class TBroadcastDelay;
class TConsoleLists;
class TRelayGames;

class TConsoleNumbers {
public:
    TConsoleNumbers(TRelayGames& games, const TBroadcastDelay& delay, TConsoleLists& console)
        : games_(games), delay_(delay), console_(console) {}

    void Refresh();

private:
    TRelayGames& games_;
    const TBroadcastDelay& delay_;
    TConsoleLists& console_;
};

}  // namespace vistrel
