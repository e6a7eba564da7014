// TRelayMetrics: the relay's running counts for the metrics page. Plain
// numbers the handlers add to (one line at each place where something
// happens) and the frame shows through a read-only view; they only ever
// grow, the histograms' buckets too. One thread: nothing here is atomic.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>

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

// A histogram over fixed bucket bounds (ascending upper bounds; one more
// bucket, +Inf, takes the rest). The bounds are a template argument, so each
// histogram is a few plain counters and an observation a short walk over
// constants; most observations stop at the first bounds.
template <const auto& kBounds>
struct THistogram {
    static constexpr size_t kBucketCount = std::size(kBounds) + 1;

    // Counts per bucket (not cumulative); the last is +Inf.
    std::array<uint64_t, kBucketCount> Buckets{};
    uint64_t Count = 0;
    double Sum = 0;

    void Observe(double value) noexcept {
        size_t i = 0;
        while (i < std::size(kBounds) && value > kBounds[i]) ++i;
        ++Buckets[i];
        ++Count;
        Sum += value;
    }
};

// Upper bounds (seconds) of the distribution tick histogram's buckets.
inline constexpr std::array<double, 12> kTickBucketBounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                             0.01,   0.025,   0.05,   0.1,   0.25,   0.5};
// A viewer's lag behind its game's visible end, in packets.
inline constexpr std::array<double, 12> kLagBucketBounds = {0, 1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};
// From a viewer's WAITFORGAME to its first demo packet of that game, seconds.
inline constexpr std::array<double, 10> kJoinLatencyBucketBounds = {0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};

using TTickHistogram = THistogram<kTickBucketBounds>;
using TLagHistogram = THistogram<kLagBucketBounds>;
using TJoinLatencyHistogram = THistogram<kJoinLatencyBucketBounds>;

inline double Seconds(std::chrono::steady_clock::duration took) noexcept {
    return std::chrono::duration<double>(took).count();
}

struct TRelayMetrics {
    // Whole packets handled, by port and type code (the last slot: any
    // other code).
    std::array<std::array<uint64_t, kCountedPacketTypes + 1>, kConnectionKindCount> PacketsReceived{};
    // Every DEMOPACKET's check, by outcome.
    std::array<uint64_t, kDemoCheckCount> DemoChecks{};
    // Payload checks (inflate runs) since start-up.
    uint64_t PayloadChecks = 0;
    // Bytes read from connections into their receive buffers, by port.
    std::array<uint64_t, kConnectionKindCount> BytesReceived{};
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
    // Each tick, every watching viewer's lag after its sends.
    TLagHistogram ViewerLag;
    // Once per join, the wait for the game's first packet.
    TJoinLatencyHistogram JoinLatency;
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
