#include "relay/receive_buffer.h"

#include <utility>

#include "relay/main_form.h"
#include "net/wsocket_client.h"

namespace vistrel {

void AppendReceived(std::string& buffer, std::string data) {
    if (buffer.empty())
        buffer = std::move(data);
    else
        buffer += data;
}

void TMainForm::ReceiveAndParse(TWSocketClient& conn, std::string& buffer, std::string_view kind,
                                const std::function<void(size_t& consumed)>& parse) {
    size_t consumed = 0;
    bool taken = false;
    auto canTake = [&] { return !taken && !conn.ReadingHeld() && conn.State() == wsConnected; };
    try {
        if (!buffer.empty()) parse(consumed);
        if (canTake()) {
            taken = true;
            AppendReceived(buffer, conn.ReceiveAll());
            parse(consumed);
        }
    } catch (...) {
        // The input is taken all the same, as a handler that reads first
        // would have: a connection left readable would be paused as stalled.
        try {
            if (canTake()) AppendReceived(buffer, conn.ReceiveAll());
        } catch (...) {
        }
        FinishParse(conn, buffer, consumed, kind);
        throw;
    }
    FinishParse(conn, buffer, consumed, kind);
}

void TMainForm::FinishParse(TWSocketClient& conn, std::string& buffer, size_t consumed, std::string_view kind) {
    if (consumed >= buffer.size()) {
        // An idle connection keeps no receive memory.
        std::string().swap(buffer);
    } else if (consumed > 0) {
        buffer.erase(0, consumed);
    }
    if (buffer.size() <= max_unhandled_input_ || conn.State() != wsConnected) return;
    ServerLog(false, std::string(kind) + " " + conn.PeerAddr() + " left " + std::to_string(buffer.size()) +
                              " bytes it sent unhandled; connection closed");
    NoteCloseReason(conn, TCloseReason::BoundExceeded);
    conn.Close();
}

}  // namespace vistrel
