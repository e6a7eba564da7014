// TOriginMirror: edge mode. The relay mirrors the games of another relay, the
// origin, reached over HTTP (usually through a cache), and serves them to its
// own viewers with the usual distribution. Chat and joins stay local.
//
// Every second the origin's game list is read (all of its pages). Each game
// listed is mirrored as a game without a sender connection (its own
// identifier here, the origin's description, DescribeGame when that
// changes); a game no longer listed is removed here. A game listed again
// with another opening time (the origin restarted) is replaced once the next
// list confirms it; an origin whose opening times change at every reading is
// an outage, not a stream of new games. The game's segments are fetched in
// order as the origin's list shows them, at most MaxRequestsPerGame at a
// time per game and MaxRequests for the whole mirror (the rest wait here, in
// turn, game by game): a segment the origin calls final (immutable) is
// fetched once, any other is fetched again every ChangingRefetch (with
// If-None-Match), so a packet the camera sends again at a stored location
// reaches this relay until its segment is complete. Only games with a
// request due are visited, so a long list of finished games costs nothing
// once fetched.
//
// Every record of a segment is checked as it streams in, its packet as a
// camera's upload is (edge/segment_reader.h), and a bad record ends the
// transfer at once; a refused segment is logged once per reason and fetched
// again later, and nothing of it is stored. Only packets that differ from
// what is stored are stored. The bodies in flight together hold at most
// MaxBodyBytes: a transfer that would pass it is paused until others end,
// except the oldest, for which the youngest are ended and asked for again.
// Payload checks inflate at most 256 MiB a second (16 MiB at once); past it
// the transfers pause.
//
// While the origin's camera films a game, the game here is served as one
// with a sender (viewers wait at its gaps); once the origin says the camera
// has gone and every segment has been fetched in its final form, it is
// served as a game whose sender has gone.
//
// An origin that cannot be reached changes nothing here: the games stay and
// are served; the outage is logged once, and its end once. Failed requests
// are retried with a growing delay.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/event_loop.h"
#include "core/recording_format.h"
#include "relay/game_host.h"
#include "relay/token_bucket.h"
#include "edge/curl_multi.h"
#include "edge/mirror_log.h"

namespace vistrel {

struct TMirrorOptions {
    // The origin's HTTP side, e.g. "http://127.0.0.1:38964" (no trailing /).
    std::string OriginUrl;
    // The origin's read credential (its watch password, or its remote admin
    // password), sent with HTTP Basic authentication; empty: none is sent.
    std::string Password;
    std::chrono::milliseconds PollInterval{1000};
    std::chrono::milliseconds RequestTimeout{10000};
    // How soon a segment that may still change is asked for again.
    std::chrono::milliseconds ChangingRefetch{200};
    // The delay before the first retry of a failed request; it doubles with
    // every further failure up to RetryMax.
    std::chrono::milliseconds RetryFirst{500};
    std::chrono::milliseconds RetryMax{8000};
    int MaxRequestsPerGame = 4;
    // Requests in flight for the whole mirror.
    int MaxRequests = 32;
    // What the bodies in flight may hold together (0: no bound); a segment
    // larger than this is refused. The front ends take it from the
    // connection buffers' budget.
    size_t MaxBodyBytes = size_t{64} << 20;
    // The largest segment accepted (64 packets of 16 MiB at most; games
    // are far smaller).
    size_t MaxSegmentBytes = size_t{64} << 20;
    // The largest page of the game list accepted.
    size_t MaxListBytes = size_t{8} << 20;
    // Games mirrored at most.
    size_t MaxGames = 10000;
};

// The least the bodies in flight are given from a small budget.
inline constexpr size_t kMinMirrorBodyBytes = size_t{16} << 20;

// Whether text is an http:// or https:// URL this relay can forward from.
bool IsForwardUrl(std::string_view text);

// The first line of a password file (without its line end), so that no
// password need stand on a command line; raises Exception when the file
// cannot be read, is larger than 4 KiB or its first line is empty.
std::string ReadPasswordFile(const std::string& path);

// Why a request to the origin failed, as the metrics count it.
enum class TEdgeFetchError : uint8_t {
    Connect,     // the origin could not be reached
    Timeout,     // no whole answer within the request's timeout
    HttpStatus,  // an answer other than 200 (or 304 for a segment)
    BadBody,     // a segment refused, or a game list not understood
    TooLarge,    // a body past its bound
    Other,       // a broken transfer, an origin whose games flap
};
inline constexpr size_t kEdgeFetchErrorCount = 6;

class TOriginMirror {
public:
    TOriginMirror(TGameHost& host, TEventLoop& loop, TMirrorOptions options);
    ~TOriginMirror();
    TOriginMirror(const TOriginMirror&) = delete;
    TOriginMirror& operator=(const TOriginMirror&) = delete;

    // Starts polling (the first poll at once) and logs where from.
    void Start();
    void Stop();

    const TMirrorOptions& Options() const noexcept { return options_; }
    // The origin answered the last list poll.
    bool OriginReachable() const noexcept { return !outage_; }
    // This relay's identifier of the origin's game, 0 when not mirrored.
    int32_t LocalIdOf(int32_t originId) const;
    size_t Mirrored() const noexcept { return games_.size(); }

    // Counts since start: list polls answered, segments checked and used,
    // segments refused, packets stored.
    uint64_t ListPolls() const noexcept { return list_polls_; }
    uint64_t SegmentsUsed() const noexcept { return segments_used_; }
    uint64_t SegmentsRefused() const noexcept { return segments_refused_; }
    uint64_t PacketsStored() const noexcept { return packets_stored_; }
    // Requests in flight, and the bytes their bodies hold (and the most they
    // ever held together).
    size_t RequestsInFlight() const noexcept { return fetches_.size(); }
    size_t BodyBytes() const noexcept { return held_; }
    size_t PeakBodyBytes() const noexcept { return peak_held_; }
    // Lines about single games and segments left out of the log.
    uint64_t LinesLeftOut() const noexcept { return log_.LeftOut(); }
    // Failed requests (list pages and segments) by reason.
    uint64_t FetchErrors(TEdgeFetchError reason) const noexcept { return fetch_errors_[static_cast<size_t>(reason)]; }
    // Since the last request that succeeded (a whole list read, a segment
    // stored or found current), on the loop's clock; before the first,
    // since Start.
    TEventLoop::Clock::duration LastGoodFetchAge() const { return loop_.Now() - last_good_; }
    // Over the mirrored games: the packets the origin's list shows as
    // visible that this relay has not stored yet.
    uint64_t BehindOrigin() const;

private:
    struct TGame;
    struct TListedGame;
    struct TFetch;
    using TimePoint = TEventLoop::Clock::time_point;

    void Poll();
    void RequestListPage(int64_t after);
    void ListPageArrived(THttpFetch& fetch);
    void PollFailed(const std::string& why, TEdgeFetchError reason);
    // The reason of a request that brought no usable answer.
    static TEdgeFetchError ErrorOf(const THttpFetch& fetch);
    void CountError(TEdgeFetchError reason) noexcept { ++fetch_errors_[static_cast<size_t>(reason)]; }
    // Whether the list just read shows games whose opening times keep
    // changing; notes the times it shows.
    bool ListFlaps();
    void ApplyList();
    void SchedulePoll();
    void Pump();
    // Puts the game in turn for its next request (now or when due).
    void Schedule(TGame& game);
    // When the game's next request is due (max: none), and for which segment.
    TimePoint NextDue(const TGame& game, int32_t& segment) const;
    bool NoteDeleted(TGame& game);
    void FetchSegment(TGame& game, int32_t n);
    TChunkAnswer SegmentChunk(TFetch& fetch, std::string_view bytes);
    void SegmentArrived(TCurlMulti::TRequestId request, THttpFetch& fetch);
    // What an ended request brings: packets stored, or the segment asked
    // for again later.
    void Process(TGame& game, int32_t n, TFetch& fetch, const THttpFetch& answer);
    void SegmentRefused(TGame& game, int32_t n, const std::string& why);
    void SegmentFailed(TGame& game, int32_t n, const std::string& why);
    // Ends a fetch without an answer; its bytes leave the bodies in flight.
    void EndFetch(TCurlMulti::TRequestId request);
    void ResumePaused();
    void MakeRoom();
    void MarkFinal(TGame& game, int32_t n);
    void UpdateLiveness(TGame& game);
    void DropGame(TGame& game, bool remove);
    std::chrono::milliseconds Backoff(int failures) const;
    std::string SegmentUrl(const TGame& game, int32_t n) const;
    // The largest segment taken: no more than all bodies in flight may hold.
    size_t SegmentBound() const;
    // The headers every request carries, plus extra.
    std::vector<std::string> RequestHeaders(std::vector<std::string> extra = {}) const;

    TGameHost& host_;
    TEventLoop& loop_;
    TMirrorOptions options_;
    TCurlMulti curl_;
    TMirrorLog log_;
    std::string authorization_;  // "Authorization: Basic ..." or empty
    bool running_ = false;
    TEventLoop::TimerId poll_timer_ = 0;
    TEventLoop::TimerId pump_timer_ = 0;
    TCurlMulti::TRequestId list_request_ = 0;
    // The list being read, page by page.
    std::vector<TListedGame> listed_;
    size_t list_pages_ = 0;
    bool outage_ = false;
    int poll_failures_ = 0;
    // Mirrored games by the origin's identifier.
    std::map<int32_t, std::unique_ptr<TGame>> games_;
    // The opening times the last list read showed, by the origin's
    // identifier, and how many lists running showed changed ones.
    std::map<int32_t, int64_t> last_opened_;
    int flapping_lists_ = 0;
    // Listed with another opening time than here, not yet confirmed: kept
    // as they are.
    std::set<int32_t> unconfirmed_;
    // Games whose next request is due now, in turn; games with one due
    // later, by when.
    std::deque<int32_t> ready_;
    std::set<std::pair<TimePoint, int32_t>> due_;
    // Requests in flight, oldest first.
    std::map<TCurlMulti::TRequestId, std::unique_ptr<TFetch>> fetches_;
    size_t held_ = 0;
    size_t peak_held_ = 0;
    TEventLoop::TimerId room_timer_ = 0;
    TEventLoop::TimerId inflate_timer_ = 0;
    TTokenBucket inflation_;
    uint64_t list_polls_ = 0;
    uint64_t segments_used_ = 0;
    uint64_t segments_refused_ = 0;
    uint64_t packets_stored_ = 0;
    bool budget_logged_ = false;
    std::array<uint64_t, kEdgeFetchErrorCount> fetch_errors_{};
    TimePoint last_good_{};
};

}  // namespace vistrel
