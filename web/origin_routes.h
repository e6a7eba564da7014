// TOriginRoutes: a relay's stored games in cacheable pieces, for HTTP caches
// and the edge relays that pull through them.
//
//   GET /api/v1/games/{id}                 the game: description, stored
//                                          locations, sender, segments
//   GET /api/v1/games/{id}/segments/{n}    the packet records of locations
//                                          64n .. 64n+63 that are stored
//
// A segment is the recording format's packet records (core/recording_format.h),
// in location order, with no header. A segment whose 64 locations are all
// stored, or whose game has nothing left that could change it (no sender, no
// live upstream), is final: cacheable for a year and immutable. Any other
// segment may still change and is cacheable for one second. Every segment
// answer carries a strong ETag made from its content, and If-None-Match is
// answered 304. A segment holding a packet released from memory is read
// back first and answered 503 meanwhile, or 500 while that read fails; both
// no-store, so no cache keeps a segment short of a packet the game's document
// counts. Under a broadcast delay, only what viewers may see is
// counted and served: packets held back do not exist here yet.
//
// `?opened=MS` on either route names the game's incarnation (its OpenedMs):
// a game that does not match answers 404, so a cache never hands out the
// pieces of an earlier game that had the same identifier.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/game_list.h"
#include "relay/main_form.h"
#include "web/http_server.h"
#include "web/segment_body.h"

namespace vistrel {

// Locations per segment.
inline constexpr int32_t kSegmentLocations = 64;

// Each takes end, the first location viewers may not see yet (the broadcast
// delay's TBroadcastDelay::VisibleEnd; Count() without a delay): nothing at
// or after it is counted, served, hashed or called final.
//
// The highest segment number holding a location before end (-1 while there
// is none).
int32_t LastSegment(const TActiveGameList& game, int32_t end) noexcept;
// Whether all 64 locations of segment n are stored and before end.
bool SegmentComplete(const TActiveGameList& game, int32_t n, int32_t end) noexcept;
// Whether segment n can no longer change: complete, or the game has no
// live source and nothing held back.
bool SegmentFinal(const TActiveGameList& game, int32_t n, int32_t end) noexcept;
// The records of segment n: its stored locations before end, each with its
// packet's size and its record's CRC (computed once per stored packet).
// A packet paged out is not among them: the caller reads those back first.
std::vector<TSegmentRecord> SegmentRecords(TActiveGameList& game, int32_t n, int32_t end);
// The strong entity tag of a segment with these records (quotes included),
// made without building its body. It names the game's incarnation, the
// segment, its content (the body's size and a 64-bit hash of every record's
// location, size and CRC) and whether it is final, so a copy that became
// final without changing is not taken for the changing one.
std::string SegmentETag(const TActiveGameList& game, int32_t n, bool final, const std::vector<TSegmentRecord>& records);

class TOriginRoutes {
public:
    explicit TOriginRoutes(TMainForm& form) : form_(form) {}

    // GET /api/v1/games/{id}: the game's document.
    THttpResponse Game(const THttpRequest& request, int32_t id) const;
    // GET /api/v1/games/{id}/segments/{n}.
    THttpResponse Segment(const THttpRequest& request, int32_t id, int32_t n);

    // Segment answers with a body, by whether they were final, and their
    // bytes; answers 304 (not modified).
    uint64_t SegmentsServed(bool final) const noexcept { return served_[final ? 1 : 0]; }
    uint64_t SegmentBytes() const noexcept { return segment_bytes_; }
    uint64_t SegmentsNotModified() const noexcept { return not_modified_; }

private:
    // The game with this id, and of the incarnation ?opened= names if given;
    // else null.
    const TActiveGameList* Find(const THttpRequest& request, int32_t id) const;

    TMainForm& form_;
    uint64_t served_[2] = {};
    uint64_t segment_bytes_ = 0;
    uint64_t not_modified_ = 0;
};

}  // namespace vistrel
