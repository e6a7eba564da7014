// TOriginMirror: edge mode. The relay mirrors the games of another relay, the
// origin, reached over HTTP (usually through a cache), and serves them to its
// own viewers with the usual distribution. Chat and joins stay local.
//
// Every second the origin's game list is read (all of its pages). Each game
// listed is mirrored as a game without a sender connection (its own
// identifier here, the origin's description, DescribeGame when that
// changes); a game no longer listed is removed here. The game's segments are
// fetched in order as the origin's list shows them, at most
// MaxRequestsPerGame at a time per game: a segment the origin calls final
// (immutable) is fetched once, any other is fetched again every
// ChangingRefetch (with If-None-Match), so a packet the camera sends again at
// a stored location reaches this relay until its segment is complete. Every
// segment is checked whole (edge/segment_reader.h) before any of its packets
// is stored; a refused one is logged and fetched again later. Only packets
// that differ from what is stored are stored.
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

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/recording_format.h"
#include "edge/curl_multi.h"
#include "net/event_loop.h"
#include "relay/game_host.h"

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
    // The largest segment accepted (64 packets of 16 MiB at most; games
    // are far smaller).
    size_t MaxSegmentBytes = size_t{64} << 20;
    // The largest page of the game list accepted.
    size_t MaxListBytes = size_t{8} << 20;
    // Games mirrored at most.
    size_t MaxGames = 10000;
};

// Whether text is an http:// or https:// URL this relay can forward from.
bool IsForwardUrl(std::string_view text);

// The first line of a password file (without its line end), so that no
// password need stand on a command line; raises Exception when the file
// cannot be read, is larger than 4 KiB or its first line is empty.
std::string ReadPasswordFile(const std::string& path);

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

private:
    struct TGame;
    struct TListedGame;

    void Poll();
    void RequestListPage(int64_t after);
    void ListPageArrived(THttpFetch& fetch);
    void PollFailed(const std::string& why);
    void ApplyList();
    void SchedulePoll();
    void Pump();
    void PumpGame(TGame& game);
    void FetchSegment(TGame& game, int32_t n);
    void SegmentArrived(int32_t originId, int64_t openedMs, int32_t n, THttpFetch& fetch);
    void SegmentFailed(TGame& game, int32_t n, const std::string& why, bool log);
    void MarkFinal(TGame& game, int32_t n);
    void UpdateLiveness(TGame& game);
    void DropGame(TGame& game, bool remove);
    std::chrono::milliseconds Backoff(int failures) const;
    std::string SegmentUrl(const TGame& game, int32_t n) const;
    void Log(const std::string& text);
    // The headers every request carries, plus extra.
    std::vector<std::string> RequestHeaders(std::vector<std::string> extra = {}) const;

    TGameHost& host_;
    TEventLoop& loop_;
    TMirrorOptions options_;
    TCurlMulti curl_;
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
    uint64_t list_polls_ = 0;
    uint64_t segments_used_ = 0;
    uint64_t segments_refused_ = 0;
    uint64_t packets_stored_ = 0;
    bool budget_logged_ = false;
};

}  // namespace vistrel
