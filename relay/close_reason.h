// Why the relay closes a sender or viewer connection, noted on the connection
// for the count its disconnect adds to.
#pragma once

#include "net/wsocket_client.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "relay/relay_metrics.h"

namespace vistrel {

inline void NoteCloseReason(TWSocketClient& conn, TCloseReason reason) {
    if (auto* sender = dynamic_cast<TDemoSender*>(&conn)) sender->CloseReason = reason;
    if (auto* viewer = dynamic_cast<TDemoViewer*>(&conn)) viewer->CloseReason = reason;
}

}  // namespace vistrel
