// Bounds the relay puts on what one connection may make it hold. Read by the
// sender and viewer handling; the frame keeps the input bound as a setting so
// tests can lower it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/packet_framing.h"
#include "relay/token_bucket.h"

namespace vistrel {

// Unconsumed input a connection may leave in its receive buffer: one packet
// of the largest size still being received, plus what one read can add.
// Above it the connection is closed; a connection stalled at a packet it can
// never get past would otherwise grow without end.
inline constexpr size_t kMaxUnhandledInput = (size_t{16} << 20) + (size_t{64} << 10);

// Packets that make the relay write to other connections (a viewer's
// USERINFO, WAITFORGAME, LEAVEGAME and SENDTEXT, a sender's GAMEINFO and
// SENDTEXT): 20 a second per connection, 40 at once. A connection that has
// spent them waits, its reading held, until the next one is due.
inline constexpr TBucketRate kBroadcastRate{20, 40};

// Game descriptions (GAMEINFODETAILED to every viewer) of one game: 8 at
// once, then 4 a second. A change beyond that is described once its turn
// comes, with the game's state at that moment; changes in between are carried
// by that one description. A few joins and leaves are described at once, as
// ever; a crowd of a thousand joining one game costs each viewer a few
// descriptions a second instead of one per join.
inline constexpr TBucketRate kDescriptionRate{4, 8};

// Output a sender's payload checks may inflate: 32 MiB a second, one second's
// worth at once. The check that goes past it is done; the sender's next
// packets wait, its reading held, until it is back within the rate.
inline constexpr TBucketRate kInflateRate{uint64_t{32} << 20, uint64_t{32} << 20};

// Answers a sender may have waiting for its game's file to be forced to the
// disk (fsync always). Beyond it the sender's next packets wait, its reading
// held for kHeldAnswersPause at a time, until the disk catches up.
inline constexpr size_t kMaxHeldAnswers = 4096;
inline constexpr std::chrono::milliseconds kHeldAnswersPause{5};

// Paging (recording on, the stored games at the memory budget): packets of
// games without a sender are released from memory and read back from their
// recordings kPageRun at a time, as soon as a viewer comes within
// kPageAhead of one. The kPageKeep locations from each viewer's place on are
// never released, so what was read ahead stays until it is sent. Paging
// releases down to kPageTargetEighths eighths of the budget, so it does not
// run again for every packet.
inline constexpr int32_t kPageRun = 64;
inline constexpr int32_t kPageAhead = 64;
inline constexpr int32_t kPageKeep = 2 * kPageRun;
inline constexpr size_t kPageTargetEighths = 7;

// What the relay may hold in memory, set from the operator's --max-memory.
// Stored is the stored demos plus the game records; ConnectionBuffers is the
// sum of every connection's unconsumed input and unsent output. 0 means no
// limit.
struct TMemoryBudget {
    size_t Stored = 0;
    size_t ConnectionBuffers = 0;
};

// The connection buffers may take a quarter of the budget, but never less
// than this, so a small budget still leaves room for many viewers.
inline constexpr size_t kMinConnectionBufferBudget = size_t{64} << 20;

// The budget for a --max-memory of maxMemory bytes (0: no limit on either).
inline TMemoryBudget MemoryBudgetFor(size_t maxMemory) {
    if (maxMemory == 0) return {};
    const size_t quarter = maxMemory / 4;
    return {maxMemory, quarter < kMinConnectionBufferBudget ? kMinConnectionBufferBudget : quarter};
}

// A byte count for people: "512 bytes", "1.5 KiB", "12.0 GiB".
std::string FormatByteSize(size_t bytes);
// The start-up log line: "Memory budget: 12.0 GiB for stored games, 3.0 GiB
// for connection buffers", or "Memory budget: no limit".
std::string DescribeMemoryBudget(const TMemoryBudget& budget);

}  // namespace vistrel
