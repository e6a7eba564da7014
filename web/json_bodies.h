// The bodies of the JSON API's reads, built from the frame's registry, its
// connections and its log (never from the console's row texts, which are
// made for showing): status, the games, the viewers, the log lines; and what
// the relay holds (TUsage), which the metrics page shows too.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/console_lists.h"
#include "core/game_list.h"
#include "relay/main_form.h"
#include "relay/relay_metrics.h"

namespace vistrel {

// A game's stored packets' bytes alone (the registry also counts each
// entry's own cost).
uint64_t PacketBytes(const TActiveGameList& game) noexcept;

// What the relay holds: stored demos and connection buffers.
struct TUsage {
    int32_t Games = 0;
    int64_t StoredPackets = 0;
    uint64_t StoredBytes = 0;
    // What the memory budget counts of the stored games: the packets, each
    // entry's and each game's own cost.
    uint64_t StoredMemory = 0;
    // By kind (sender, viewer): unconsumed input and unsent output.
    uint64_t Input[kConnectionKindCount] = {};
    uint64_t Output[kConnectionKindCount] = {};

    uint64_t Buffers() const { return Input[0] + Input[1] + Output[0] + Output[1]; }
};

TUsage Usage(const TMainForm& form);

// A time as ISO 8601 in UTC, to the second ("2024-05-01T12:00:00Z").
std::string IsoTime(std::chrono::system_clock::time_point when);

// GET /api/v1/status.
std::string StatusJson(const TMainForm& form, std::string_view version, std::chrono::system_clock::time_point started,
                       std::chrono::seconds uptime);
// GET /api/v1/games and /api/v1/viewers: the entries whose id is above
// `after`, at most `max` of them, and whether more follow.
std::string GamesJson(const TMainForm& form, int64_t after, int32_t max);
std::string ViewersJson(const TMainForm& form, int64_t after, int32_t max);
// GET /api/v1/log: at most `max` lines after sequence number `after`.
std::string LogJson(const TLogLines& log, int64_t after, int32_t max);

}  // namespace vistrel
