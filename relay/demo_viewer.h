// TDemoViewer: one viewer connection, made by DemoViewers for every accepted
// connection and owned by it; destroyed right after its disconnect handler.
// Holds the viewer's name, the game it watches, its place in that game's
// demo and its place in connection order. The handlers are members of
// TMainForm (viewers.cpp, distribution.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "net/event_loop.h"
#include "net/wsocket_client.h"
#include "relay/relay_metrics.h"
#include "relay/token_bucket.h"

namespace vistrel {

class TDemoViewer : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;

    // Bytes received and not yet consumed.
    std::string ReceiveBuffer;
    // From USERINFO; empty before.
    std::string UserName;
    // The game watched; 0 means none (no game has identifier 0).
    int32_t GameId = 0;
    // Index of the next stored packet of the watched game to send.
    int32_t Position = 0;
    // Given at connect from a rising counter, so it orders viewers as the
    // server's client list does.
    uint64_t Seq = 0;
    // What it was told of its game's people (TCrowdNotices), set at its
    // join: the join's place in the order of all joins; whether the game
    // was told of it; the Seq of the last viewer named to it at its join
    // (each before that one in connection order was named too; the most
    // when all were).
    uint64_t JoinSeq = 0;
    bool JoinAnnounced = false;
    uint64_t NamedThrough = 0;
    // Its packets that reach other connections (kBroadcastRate).
    TTokenBucket Broadcasts;
    // Bytes queued for it since it connected, and what its user list row
    // shows of them (TConsoleNumbers).
    uint64_t BytesSent = 0;
    uint64_t BytesShown = 0;
    // When it asked for the game it watches (WAITFORGAME, on the loop's
    // clock), while that game's first packet is still to be handed to it.
    TEventLoop::Clock::time_point JoinedAt{};
    bool AwaitingFirstPacket = false;
    // It receives more than one packet a tick to reach the live edge (TCatchUp).
    bool CatchingUp = false;
    // The operator muted it (MuteViewer): its chat is acknowledged and passed
    // on to nobody. Kept with the connection, so it ends when the viewer leaves.
    bool Muted = false;
    // Why the relay closed it (Normal unless it did), counted at its disconnect.
    TCloseReason CloseReason = TCloseReason::Normal;
};

}  // namespace vistrel
