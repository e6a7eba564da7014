#include "web/origin_routes.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/latin1.h"
#include "base/whole_number.h"
#include "core/protocol.h"
#include "core/recording_format.h"

namespace vistrel {

namespace {

using nlohmann::json;

constexpr const char* kJsonType = "application/json; charset=utf-8";
constexpr const char* kSegmentType = "application/octet-stream";
constexpr const char* kFinalCaching = "public, max-age=31536000, immutable";
constexpr const char* kChangingCaching = "public, max-age=1";

THttpResponse Answer(int status, std::string body, const char* type = kJsonType) {
    THttpResponse response;
    response.Status = status;
    response.ContentType = type;
    response.Body = std::move(body);
    return response;
}

THttpResponse NotFound(const char* message) {
    return Answer(404, json{{"error", message}}.dump() + "\n");
}

// The content part of a segment's entity tag: a 64-bit hash of each
// record's location, size and CRC, so that a cache's revalidation is
// answered without building the segment or reading its packets.
uint64_t MixWord(uint64_t hash, uint64_t word) noexcept {
    hash ^= word;
    hash *= 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 32);
}

// Whether an If-None-Match header names this tag (or is "*").
bool TagMatches(const std::string& header, std::string_view tag) {
    std::string_view rest = header;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        std::string_view one = rest.substr(0, comma);
        while (!one.empty() && (one.front() == ' ' || one.front() == '\t')) one.remove_prefix(1);
        while (!one.empty() && (one.back() == ' ' || one.back() == '\t')) one.remove_suffix(1);
        if (one == "*" || one == tag) return true;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

// nginx counts a max-age in whole seconds and keeps a copy while its second
// of expiry has not passed, so "max-age=1" can be served for almost two
// seconds. Its own header, an absolute time, keeps the copy only to the end
// of the current second (nginx takes it before Cache-Control and passes it
// on to nobody); other caches ignore it.
std::string ThisSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return "@" + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

}  // namespace

int32_t LastSegment(const TActiveGameList& game, int32_t end) noexcept {
    end = std::min(end, game.Count());
    return end <= 0 ? -1 : (end - 1) / kSegmentLocations;
}

bool SegmentComplete(const TActiveGameList& game, int32_t n, int32_t end) noexcept {
    if (n < 0) return false;
    const int64_t first = int64_t{n} * kSegmentLocations;
    if (first + kSegmentLocations > std::min(end, game.Count())) return false;
    // A packet released from memory is stored all the same: its record is on disk.
    for (int64_t l = first; l < first + kSegmentLocations; ++l)
        if (game.Data(static_cast<int32_t>(l)).empty() && !game.PagedOut(static_cast<int32_t>(l))) return false;
    return true;
}

bool SegmentFinal(const TActiveGameList& game, int32_t n, int32_t end) noexcept {
    return (!game.HasLiveSource() && end >= game.Count()) || SegmentComplete(game, n, end);
}

std::vector<TSegmentRecord> SegmentRecords(TActiveGameList& game, int32_t n, int32_t visibleEnd) {
    std::vector<TSegmentRecord> records;
    if (n < 0) return records;
    const int64_t first = int64_t{n} * kSegmentLocations;
    const int64_t end = std::min<int64_t>(first + kSegmentLocations, std::min(visibleEnd, game.Count()));
    records.reserve(static_cast<size_t>(std::max<int64_t>(end - first, 0)));
    for (int64_t l = first; l < end; ++l) {
        const auto location = static_cast<int32_t>(l);
        const size_t size = game.Data(location).size();
        if (size != 0) records.push_back({location, static_cast<uint32_t>(size), game.PacketRecordCrc(location)});
    }
    return records;
}

std::string SegmentETag(const TActiveGameList& game, int32_t n, bool final,
                        const std::vector<TSegmentRecord>& records) {
    uint64_t hash = 0x6A09E667F3BCC909ull;
    size_t size = 0;
    for (const TSegmentRecord& record : records) {
        hash = MixWord(MixWord(MixWord(hash, static_cast<uint64_t>(record.Location)), record.Size), record.Crc);
        size += kPacketRecordHeadSize + record.Size;
    }
    char text[128];
    std::snprintf(text, sizeof text, "\"%d-%lld-%d-%zu-%016llx-%c\"", game.Identifier(),
                  static_cast<long long>(game.OpenedMs()), n, size, static_cast<unsigned long long>(hash),
                  final ? 'f' : 'c');
    return text;
}

const TActiveGameList* TOriginRoutes::Find(const THttpRequest& request, int32_t id) const {
    const TGameList* games = form_.Games();
    const int32_t index = games ? games->IndexOfId(id) : -1;
    if (index < 0) return nullptr;
    const TActiveGameList& game = games->At(index);
    if (const std::string* opened = request.QueryValue("opened")) {
        int64_t ms = 0;
        if (!ParseWholeNumber(*opened, ms, 0, INT64_MAX) || ms != game.OpenedMs()) return nullptr;
    }
    return &game;
}

THttpResponse TOriginRoutes::Game(const THttpRequest& request, int32_t id) const {
    const TActiveGameList* found = Find(request, id);
    if (!found) return NotFound("no such game");
    const TActiveGameList& game = *found;
    const TWSocketClient* sender = game.Sender();
    const bool connected = (sender != nullptr && sender->State() == wsConnected) || game.LiveUpstream();
    const TBroadcastDelay& delay = form_.BroadcastDelay();
    const int32_t end = delay.VisibleEnd(game);
    // Complete segments as ranges of segment numbers, first and last.
    json complete = json::array();
    const int32_t last = LastSegment(game, end);
    for (int32_t n = 0; n <= last; ++n) {
        if (!SegmentComplete(game, n, end)) continue;
        if (!complete.empty() && complete.back()[1].get<int32_t>() == n - 1)
            complete.back()[1] = n;
        else
            complete.push_back({n, n});
    }
    const json document = {
        {"id", game.Identifier()},
        {"opened_ms", game.OpenedMs()},
        {"name", Latin1ToUtf8(game.Name())},
        {"game", Latin1ToUtf8(GameLabel(game.GameType()))},
        {"game_type", game.GameType()},
        {"mod", Latin1ToUtf8(game.Mod())},
        {"sender",
         {{"name", Latin1ToUtf8(game.SenderName())}, {"address", game.SenderAddr()}, {"connected", connected}}},
        {"locations", end},
        {"stored_packets", game.StoredCount() - delay.HeldBack(game)},
        {"viewers", game.Viewers()},
        {"segment_locations", kSegmentLocations},
        {"last_segment", last},
        {"complete_segments", std::move(complete)},
        {"final", !game.HasLiveSource() && end >= game.Count()},
    };
    THttpResponse response = Answer(200, document.dump() + "\n");
    response.Headers.emplace_back("Cache-Control", "max-age=1");
    response.Headers.emplace_back("X-Accel-Expires", ThisSecond());
    return response;
}

THttpResponse TOriginRoutes::Segment(const THttpRequest& request, int32_t id, int32_t n) {
    if (!Find(request, id)) return NotFound("no such game");
    TActiveGameList& game = *form_.Host().FindGameById(id);
    const int32_t end = form_.BroadcastDelay().VisibleEnd(game);
    if (n > LastSegment(game, end)) return NotFound("no such segment");
    // Packets released from memory are read back off the loop; until they are
    // here, the segment is not served at all (a copy without them would look
    // like one with gaps, and a final one would be cached for a year). One
    // whose read failed is read again, and answered as an error meanwhile.
    const int32_t first = n * kSegmentLocations;
    if (form_.Host().ReadBackRun(game.Identifier(), first)) {
        bool unreadable = false;
        for (int32_t l = first; l < std::min(game.Count(), first + kSegmentLocations) && !unreadable; ++l)
            unreadable = game.Unreadable(l);
        THttpResponse busy = unreadable ? Answer(500, "{\"error\":\"cannot read the segment back from disk\"}\n")
                                        : Answer(503, "{\"error\":\"reading the segment back from disk\"}\n");
        busy.Headers.emplace_back("Retry-After", "1");
        busy.Headers.emplace_back("Cache-Control", "no-store");
        return busy;
    }
    std::vector<TSegmentRecord> records = SegmentRecords(game, n, end);
    const bool final = SegmentFinal(game, n, end);
    const std::string tag = SegmentETag(game, n, final, records);
    THttpResponse response;
    if (const std::string* condition = request.Header("If-None-Match"); condition && TagMatches(*condition, tag)) {
        ++not_modified_;
        response = Answer(304, std::string(), "");
    } else {
        auto body = std::make_unique<TSegmentBody>(form_.Host(), id, game.OpenedMs(), std::move(records));
        ++served_[final ? 1 : 0];
        segment_bytes_ += body->Size();
        response = Answer(200, std::string(), kSegmentType);
        response.Source = std::move(body);
    }
    response.Headers.emplace_back("Cache-Control", final ? kFinalCaching : kChangingCaching);
    if (!final) response.Headers.emplace_back("X-Accel-Expires", ThisSecond());
    response.Headers.emplace_back("ETag", tag);
    return response;
}

}  // namespace vistrel
