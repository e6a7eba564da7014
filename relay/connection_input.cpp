#include "relay/connection_input.h"

#include <cassert>
#include <utility>

#include "net/wsocket_client.h"
#include "net/wsocket_server.h"
#include "relay/close_reason.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "relay/relay_log.h"
#include "relay/relay_metrics.h"

namespace vistrel {

namespace {

// The rest of the log line of a connection closed over the budget.
std::string OverBudget(size_t held, size_t budget) {
    return " is over the connection buffers budget: it holds " + std::to_string(held) +
           " bytes, the most of any connection, while all connections together hold more than their budget of " +
           std::to_string(budget) + " bytes; connection closed";
}

}  // namespace

void AppendReceived(std::string& buffer, std::string data) {
    if (buffer.empty())
        buffer = std::move(data);
    else
        buffer += data;
}

void TConnectionInput::ReceiveAndParse(TWSocketClient& conn, std::string& buffer, std::string_view kind,
                                const std::function<void(size_t& consumed)>& parse) {
    size_t consumed = 0;
    bool taken = false;
    // The buffer stays until FinishParse, even if the connection is shed.
    parsing_ = &conn;
    auto canTake = [&] { return !taken && !conn.ReadingHeld() && conn.State() == wsConnected; };
    try {
        if (!buffer.empty()) parse(consumed);
        if (canTake()) {
            taken = true;
            TakeInput(conn, buffer);
            parse(consumed);
        }
    } catch (...) {
        // The input is taken all the same, as a handler that reads first
        // would have: a connection left readable would be paused as stalled.
        try {
            if (canTake()) TakeInput(conn, buffer);
        } catch (...) {
        }
        FinishParse(conn, buffer, consumed, kind);
        throw;
    }
    FinishParse(conn, buffer, consumed, kind);
}

void TConnectionInput::TakeInput(TWSocketClient& conn, std::string& buffer) {
    const size_t before = buffer.size();
    AppendReceived(buffer, conn.ReceiveAll());
    const size_t received = buffer.size() - before;
    input_bytes_ += received;
    const TConnectionKind kind = conn.Server() == &senders_ ? TConnectionKind::Sender : TConnectionKind::Viewer;
    metrics_.BytesReceived[static_cast<size_t>(kind)] += received;
    parsing_ = &conn;
}

size_t TConnectionInput::ConnectionBufferBytes() const noexcept {
    return input_bytes_ + senders_.ClientOutputBytes() + viewers_.ClientOutputBytes() +
           (others_ ? others_->HeldBytes() : 0);
}

void TConnectionInput::Release(std::string& buffer) {
    assert(input_bytes_ >= buffer.size());
    input_bytes_ -= buffer.size();
    std::string().swap(buffer);
}

void TConnectionInput::FinishParse(TWSocketClient& conn, std::string& buffer, size_t consumed, std::string_view kind) {
    parsing_ = nullptr;
    const size_t before = buffer.size();
    if (consumed >= buffer.size()) {
        // An idle connection keeps no receive memory.
        std::string().swap(buffer);
    } else if (consumed > 0) {
        buffer.erase(0, consumed);
    }
    assert(input_bytes_ >= before - buffer.size());
    input_bytes_ -= before - buffer.size();
    if (buffer.size() > max_unhandled_input_ && conn.State() == wsConnected) {
        log_.Line(std::string(kind) + " " + conn.PeerAddr() + " left " + std::to_string(buffer.size()) +
                             " bytes it sent unhandled; connection closed");
        NoteCloseReason(conn, TCloseReason::BoundExceeded);
        conn.Close();
    }
    // A closed connection is never read again: its input goes at once.
    if (conn.State() != wsConnected) Release(buffer);
    EnforceBudget();
}

void TConnectionInput::ShedLargestConnections() {
    const size_t budget = budget_.ConnectionBuffers;
    while (budget != 0 && ConnectionBufferBytes() > budget) {
        TWSocketClient* largest = nullptr;
        std::string* largestInput = nullptr;
        size_t most = 0;
        auto consider = [&](TWSocketClient& conn, std::string& input) {
            if (conn.State() != wsConnected) return;
            const size_t held = conn.BufferedBytes() + input.size();
            if (!largest || held > most) {
                largest = &conn;
                largestInput = &input;
                most = held;
            }
        };
        for (int32_t i = 0; i < senders_.ClientCount(); ++i) {
            auto* sender = static_cast<TDemoSender*>(senders_.Client(i));
            consider(*sender, sender->ReceiveBuffer);
        }
        for (int32_t i = 0; i < viewers_.ClientCount(); ++i) {
            auto* viewer = static_cast<TDemoViewer*>(viewers_.Client(i));
            consider(*viewer, viewer->ReceiveBuffer);
        }
        std::string other;
        const size_t otherMost = others_ ? others_->LargestHolder(other) : 0;
        if (otherMost > 0 && (!largest || otherMost > most)) {
            log_.Line(other + OverBudget(otherMost, budget));
            others_->CloseLargestHolder();
            continue;
        }
        // What is left is held by connections already closed (a parse pass
        // still reading its buffer): nothing more to close.
        if (!largest) return;
        const char* kind = largest->Server() == &senders_ ? "Cammer" : "Viewer";
        log_.Line(std::string(kind) + " " + largest->PeerAddr() + OverBudget(most, budget));
        // Closed as a connection that is gone: its output is dropped and its
        // disconnect follows in a later dispatch.
        NoteCloseReason(*largest, TCloseReason::BoundExceeded);
        largest->CloseDiscarding();
        // A buffer a parse pass is reading goes when that pass ends.
        if (largest != parsing_) Release(*largestInput);
    }
}

}  // namespace vistrel
