// TConnectionInput: the relay's accounting of what its connections hold.
// Every sender's and viewer's receive buffer (bytes read and not yet
// consumed) is counted here; with the servers' running sum of unsent output
// that is the connection buffers, which MemoryBudget().ConnectionBuffers
// bounds: over it, the connections holding the most are closed one by one.
//
// A data event reads and parses through ReceiveAndParse: a parse pass reads
// packets from an offset and consumes them all at once at its end (one erase
// per pass, not one per packet), and a connection that leaves more than
// MaxUnhandledInput() unconsumed is closed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "relay/buffer_holders.h"
#include "relay/relay_limits.h"

namespace vistrel {

class TRelayLog;
class TWSocketClient;
class TWSocketServer;
struct TRelayMetrics;

// Appends freshly read bytes; an empty buffer takes them over without a copy.
void AppendReceived(std::string& buffer, std::string data);

class TConnectionInput {
public:
    TConnectionInput(TRelayLog& log, TRelayMetrics& metrics, TWSocketServer& senders, TWSocketServer& viewers,
                     const TMemoryBudget& budget)
        : log_(log), metrics_(metrics), senders_(senders), viewers_(viewers), budget_(budget) {}

    // One data event of a connection: the packets it has buffered are
    // handled first, and only a connection whose reading that did not hold
    // takes its new input and handles it too, so a connection held back never
    // piles up input here. parse handles packets from the offset it is given
    // and advances it past each one it consumes. kind names the connection in
    // log lines ("Cammer", "Viewer").
    void ReceiveAndParse(TWSocketClient& conn, std::string& buffer, std::string_view kind,
                         const std::function<void(size_t& consumed)>& parse);
    // Releases a receive buffer (its bytes leave the connection buffers).
    void Release(std::string& buffer);
    // The connection buffers over their budget: closes the connections
    // holding the most, one by one, until they are within it.
    void EnforceBudget() {
        if (budget_.ConnectionBuffers != 0 && ConnectionBufferBytes() > budget_.ConnectionBuffers)
            ShedLargestConnections();
    }
    // Every connection's unconsumed input and unsent output, kept as
    // running totals.
    size_t ConnectionBufferBytes() const noexcept;
    // Other connections counted in the budget (the HTTP side); null: none.
    void SetOtherHolders(TBufferHolders* holders) noexcept { others_ = holders; }

    // Unconsumed input above which a connection is closed (tests lower it).
    size_t MaxUnhandledInput() const noexcept { return max_unhandled_input_; }
    void SetMaxUnhandledInput(size_t bytes) noexcept { max_unhandled_input_ = bytes; }

private:
    // Appends what the connection has to its receive buffer, counted in the
    // connection buffers and in the bytes received by port; marks the
    // connection as the one being parsed.
    void TakeInput(TWSocketClient& conn, std::string& buffer);
    // Ends a parse pass: drops the consumed bytes, closes a connection that
    // leaves more than the bound; a closed connection's buffer is released.
    // Then checks the budget.
    void FinishParse(TWSocketClient& conn, std::string& buffer, size_t consumed, std::string_view kind);
    void ShedLargestConnections();

    TRelayLog& log_;
    TRelayMetrics& metrics_;
    TWSocketServer& senders_;
    TWSocketServer& viewers_;
    const TMemoryBudget& budget_;
    size_t max_unhandled_input_ = kMaxUnhandledInput;
    // The receive buffers' bytes, all connections together.
    size_t input_bytes_ = 0;
    // The connection whose receive buffer a parse pass is reading: its
    // buffer must stay until the pass ends, even if it is closed meanwhile.
    TWSocketClient* parsing_ = nullptr;
    TBufferHolders* others_ = nullptr;
};

}  // namespace vistrel
