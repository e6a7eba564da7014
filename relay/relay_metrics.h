// TRelayMetrics: the relay's running counts for the metrics page. Plain
// numbers the handlers add to (one line at each place where something
// happens) and the frame shows through a read-only view; they only ever
// grow, except the tick histogram's buckets, which also only grow. One
// thread: nothing here is atomic.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "core/demo_verify.h"
#include "disk/disk_metrics.h"

namespace vistrel {

// Why a connection was closed, as the metrics count it.
enum class TCloseReason : uint8_t {
    Normal,         // the peer left, or the connection failed
    SlowReader,     // its unsent output broke the send limits
    BoundExceeded,  // it sent more than the relay holds, or a packet it cannot take
    Kicked,         // an operator command (Halt Transfer, Delete Game, Kick User)
    Refused,        // a wrong filming password, or one viewer too many
};
inline constexpr size_t kCloseReasonCount = 5;

// The connection kinds, one per listening port.
enum class TConnectionKind : uint8_t { Sender, Viewer };
inline constexpr size_t kConnectionKindCount = 2;

// What became of an uploaded DEMOPACKET: its check's outcome, or why it was
// not checked.
enum class TDemoCheck : uint8_t {
    Verified,          // stored (or acknowledged for a game that is gone)
    ChecksumMismatch,  // inflated, but the CRC-32 differs
    NotDecompressed,   // the payload ended before the stream did
    TooLarge,          // it inflated to more than a payload may
    Undecodable,       // the decompressor rejected the payload
    Refused,           // its sender has not logged in for filming
    OverBudget,        // the stored games fill the memory budget
    OverDiskLimit,     // the recordings fill the folder's limit (--max-disk)
    NotWritten,        // verified, but writing its record failed: not stored
};
inline constexpr size_t kDemoCheckCount = 9;

inline TDemoCheck DemoCheckOf(TVerifyOutcome outcome) noexcept {
    switch (outcome) {
        case TVerifyOutcome::Verified: return TDemoCheck::Verified;
        case TVerifyOutcome::ChecksumMismatch: return TDemoCheck::ChecksumMismatch;
        case TVerifyOutcome::NotDecompressed: return TDemoCheck::NotDecompressed;
        case TVerifyOutcome::TooLarge: return TDemoCheck::TooLarge;
        case TVerifyOutcome::EngineError: break;
    }
    return TDemoCheck::Undecodable;
}

// Packet type codes counted one by one; higher codes are counted together.
inline constexpr size_t kCountedPacketTypes = 14;

// Upper bounds (seconds) of the distribution tick histogram's buckets; one
// more bucket, +Inf, takes the rest.
inline constexpr std::array<double, 12> kTickBucketBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                            0.01,   0.025,   0.05,   0.1,   0.25,   0.5};

struct TTickHistogram {
    // Counts per bucket (not cumulative); the last is +Inf.
    std::array<uint64_t, kTickBucketBounds.size() + 1> Buckets{};
    uint64_t Count = 0;
    double SumSeconds = 0;

    void Observe(std::chrono::steady_clock::duration took) {
        const double seconds = std::chrono::duration<double>(took).count();
        size_t i = 0;
        while (i < kTickBucketBounds.size() && seconds > kTickBucketBounds[i]) ++i;
        ++Buckets[i];
        ++Count;
        SumSeconds += seconds;
    }
};

struct TRelayMetrics {
    // Whole packets handled, by port and type code (the last slot: any
    // other code).
    std::array<std::array<uint64_t, kCountedPacketTypes + 1>, kConnectionKindCount> PacketsReceived{};
    // Every DEMOPACKET's check, by outcome.
    std::array<uint64_t, kDemoCheckCount> DemoChecks{};
    // Payload checks (inflate runs) since start-up.
    uint64_t PayloadChecks = 0;
    // Packets handed to connections, and their bytes, by port.
    std::array<uint64_t, kConnectionKindCount> PacketsSent{};
    std::array<uint64_t, kConnectionKindCount> BytesSent{};
    // Connections accepted, and closed by reason, by port.
    std::array<uint64_t, kConnectionKindCount> ConnectionsAccepted{};
    std::array<std::array<uint64_t, kCloseReasonCount>, kConnectionKindCount> ConnectionsClosed{};
    // Lines written to the server log (debug lines are not kept and not counted).
    uint64_t LogLines = 0;
    // How long each distribution walk took.
    TTickHistogram TickDuration;
    // The recordings: bytes written, forced writes, failures.
    TDiskMetrics Disk;

    void Received(TConnectionKind kind, int32_t type) {
        const size_t slot = type >= 0 && static_cast<size_t>(type) < kCountedPacketTypes
                                ? static_cast<size_t>(type)
                                : kCountedPacketTypes;
        ++PacketsReceived[static_cast<size_t>(kind)][slot];
    }
    void Sent(TConnectionKind kind, size_t bytes) {
        ++PacketsSent[static_cast<size_t>(kind)];
        BytesSent[static_cast<size_t>(kind)] += bytes;
    }
    void Checked(TDemoCheck outcome) { ++DemoChecks[static_cast<size_t>(outcome)]; }
    void Accepted(TConnectionKind kind) { ++ConnectionsAccepted[static_cast<size_t>(kind)]; }
    void Closed(TConnectionKind kind, TCloseReason reason) {
        ++ConnectionsClosed[static_cast<size_t>(kind)][static_cast<size_t>(reason)];
    }
};

}  // namespace vistrel
