// TDemoSender: one sender (camera) connection, made by DemoSenders for every
// accepted connection and owned by it; destroyed right after its disconnect
// handler. Holds what the relay knows of the connection: the game opened for
// it, the bytes not yet parsed and the name it logged in with. The handlers
// that read and change these fields are members of TMainForm (senders.cpp).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "net/wsocket_client.h"
#include "relay/token_bucket.h"
#include "relay/relay_metrics.h"

namespace vistrel {

class TDemoSender : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;

    // Identifier of the game opened for this connection.
    int32_t GameId = 0;
    // Bytes received and not yet consumed; packets are parsed from its front.
    std::string ReceiveBuffer;
    // The name from the last accepted GAMEINFO; empty before.
    std::string UserName;
    // A GAMEINFO with the right filming password has been accepted.
    bool LoggedIn = false;
    // The line about packets refused before the login has been written.
    bool RefusalLogged = false;
    // Its packets that reach other connections (kBroadcastRate).
    TTokenBucket Broadcasts;
    // The output its payload checks inflated (kInflateRate).
    TTokenBucket Inflation;
    // The line about packets refused while the stored games fill the memory
    // budget has been written.
    bool BudgetRefusalLogged = false;
    // The lines about packets refused while the recordings fill the disk
    // limit, and about a write to its game's file that failed, have been
    // written.
    bool DiskRefusalLogged = false;
    bool DiskErrorLogged = false;
    // Answers waiting for its game's file to be forced to the disk (fsync
    // always): the file length each waits for (0: none of its own, it only
    // keeps its place behind the others) and the packet. Everything sent to
    // the sender while one waits queues here, so nothing overtakes it.
    std::deque<std::pair<uint64_t, std::string>> HeldAnswers;
    // Why the relay closed it (Normal unless it did), counted at its disconnect.
    TCloseReason CloseReason = TCloseReason::Normal;
};

}  // namespace vistrel
