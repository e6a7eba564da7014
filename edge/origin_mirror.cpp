#include "edge/origin_mirror.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "base/exception.h"
#include "base/latin1.h"
#include "core/game_list.h"
#include "edge/segment_reader.h"

namespace vistrel {

namespace {

using nlohmann::json;

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t chunk = 0;
        for (size_t k = 0; k < 3; ++k) chunk = (chunk << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(chunk >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// How often the mirrored games are looked over for segments to ask for.
constexpr std::chrono::milliseconds kPumpInterval{100};
// How far past the first segment not yet final a game's requests may reach.
constexpr int32_t kSegmentWindow = 256;
// The list pages read in one poll at most (1,000 games a page).
constexpr size_t kMaxListPages = 64;
// A failing segment is logged at this many failures in a row, once.
constexpr int kFailuresLogged = 3;
// What the payload checks of mirrored packets may inflate: a quarter of a
// core or so at most, and never more than 16 MiB in one step, so that an
// origin's bodies cannot take the loop from the relay's own viewers.
constexpr TBucketRate kEdgeInflateRate{uint64_t{256} << 20, uint64_t{16} << 20};

bool SameDescription(const TGameDescription& a, const TGameDescription& b) {
    return a.GameType == b.GameType && a.Name == b.Name && a.Mod == b.Mod && a.SenderName == b.SenderName &&
           a.SenderAddr == b.SenderAddr;
}

bool IntegerIn(const json& value, int64_t low, int64_t high, int64_t& out) {
    if (!value.is_number_integer()) return false;
    const int64_t v = value.is_number_unsigned() ? static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX))
                                                 : value.get<int64_t>();
    if (v < low || v > high) return false;
    out = v;
    return true;
}

std::string Text(const json& object, const char* name, size_t max = 255) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return {};
    std::string text = Utf8ToLatin1(it->get<std::string>());
    if (text.size() > max) text.resize(max);
    return text;
}

}  // namespace

bool IsForwardUrl(std::string_view text) {
    std::string_view rest;
    if (text.rfind("http://", 0) == 0) rest = text.substr(7);
    else if (text.rfind("https://", 0) == 0) rest = text.substr(8);
    else return false;
    if (rest.empty() || rest.front() == '/' || text.size() > 2000) return false;
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f || c == '?' || c == '#')
            return false;
    return true;
}

// A game as the origin's list gives it.
struct TOriginMirror::TListedGame {
    int32_t Id = 0;
    int64_t OpenedMs = 0;
    TGameDescription Description;
    bool Connected = false;
    int32_t LastSegment = -1;
    int64_t Visible = 0;
};

// What the mirror keeps per mirrored game.
struct TOriginMirror::TGame {
    int32_t OriginId = 0;
    int64_t OpenedMs = 0;
    int32_t LocalId = 0;
    TGameDescription Description;
    // The origin's camera films it.
    bool UpstreamLive = true;
    int32_t OriginLast = -1;
    // The packets the origin's list shows as visible.
    int64_t OriginVisible = 0;
    // Segments below FinalPrefix, and those in FinalBeyond, were fetched in
    // their final form.
    int32_t FinalPrefix = 0;
    std::set<int32_t> FinalBeyond;
    std::map<int32_t, TCurlMulti::TRequestId> InFlight;
    std::map<int32_t, TEventLoop::Clock::time_point> NotBefore;
    std::map<int32_t, int> Failures;
    // The entity tag of the last copy of a segment that may still change.
    std::map<int32_t, std::string> Tags;
    // The last reason a segment was refused for, logged once.
    std::map<int32_t, std::string> Refusals;
    // Deleted here by the operator: no longer mirrored.
    bool Dropped = false;
    // In ready_, or in due_ at DueAt.
    bool Ready = false;
    TimePoint DueAt = TimePoint::max();
};

// A segment request in flight, its body read as it arrives.
struct TOriginMirror::TFetch {
    TFetch(int32_t originId, int64_t openedMs, int32_t n, size_t maxBytes)
        : OriginId(originId), OpenedMs(openedMs), N(n), Stream(n, maxBytes) {}
    int32_t OriginId;
    int64_t OpenedMs;
    int32_t N;
    TSegmentStream Stream;
    TCurlMulti::TRequestId Request = 0;
    bool Paused = false;
    // The piece it paused on, waiting for room.
    size_t Wanted = 0;
};

std::string ReadPasswordFile(const std::string& path) {
    constexpr size_t kMaxPasswordFile = 4096;
    const auto fail = [&path](const std::string& why) {
        return Exception("EForwardServer", "Cannot use the password file " + path + ": " + why);
    };
    // Non-blocking, so that a pipe or a device named by mistake cannot hold the start-up.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw fail(std::strerror(errno));
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        throw fail("it is not a regular file");
    }
    std::string text(kMaxPasswordFile + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            throw fail(std::strerror(error));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got > kMaxPasswordFile) throw fail("it is larger than 4096 bytes");
    text.resize(got);
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) throw fail("its first line is empty");
    return text;
}

TOriginMirror::TOriginMirror(TGameHost& host, TEventLoop& loop, TMirrorOptions options)
    : host_(host), loop_(loop), options_(std::move(options)), curl_(loop), log_(host, loop) {
    while (!options_.OriginUrl.empty() && options_.OriginUrl.back() == '/') options_.OriginUrl.pop_back();
    // The origin ignores the user name.
    if (!options_.Password.empty()) authorization_ = "Authorization: Basic " + Base64("edge:" + options_.Password);
}

std::vector<std::string> TOriginMirror::RequestHeaders(std::vector<std::string> extra) const {
    if (!authorization_.empty()) extra.push_back(authorization_);
    return extra;
}

TOriginMirror::~TOriginMirror() { Stop(); }

void TOriginMirror::Start() {
    if (running_) return;
    running_ = true;
    last_good_ = loop_.Now();
    log_.Line("mirroring the games of " + options_.OriginUrl);
    Poll();
    Pump();
}

void TOriginMirror::Stop() {
    if (!running_) return;
    running_ = false;
    TEventLoop& loop = loop_;
    if (poll_timer_ != 0) loop.CancelTimer(poll_timer_);
    if (pump_timer_ != 0) loop.CancelTimer(pump_timer_);
    poll_timer_ = pump_timer_ = 0;
    if (room_timer_ != 0) loop.CancelTimer(room_timer_);
    if (inflate_timer_ != 0) loop.CancelTimer(inflate_timer_);
    room_timer_ = inflate_timer_ = 0;
    if (list_request_ != 0) curl_.Cancel(list_request_);
    list_request_ = 0;
    for (auto& [id, game] : games_) DropGame(*game, false);
    ready_.clear();
    due_.clear();
}

uint64_t TOriginMirror::BehindOrigin() const {
    uint64_t behind = 0;
    for (const auto& [id, game] : games_) {
        if (game->Dropped) continue;
        const TActiveGameList* local = host_.FindGameById(game->LocalId);
        const int64_t stored = local ? local->StoredCount() : 0;
        if (game->OriginVisible > stored) behind += static_cast<uint64_t>(game->OriginVisible - stored);
    }
    return behind;
}

int32_t TOriginMirror::LocalIdOf(int32_t originId) const {
    const auto it = games_.find(originId);
    return it == games_.end() || it->second->Dropped ? 0 : it->second->LocalId;
}

std::chrono::milliseconds TOriginMirror::Backoff(int failures) const {
    std::chrono::milliseconds delay = options_.RetryFirst;
    for (int i = 1; i < failures && delay < options_.RetryMax; ++i) delay *= 2;
    return std::min(delay, options_.RetryMax);
}

// ------------------------------------------------------------ the game list

void TOriginMirror::Poll() {
    if (!running_ || list_request_ != 0) return;
    log_.TellLeftOutWhenDue();
    listed_.clear();
    list_pages_ = 0;
    RequestListPage(0);
}

void TOriginMirror::RequestListPage(int64_t after) {
    std::string url = options_.OriginUrl + "/api/v1/games";
    if (after > 0) url += "?after=" + std::to_string(after);
    ++list_pages_;
    list_request_ = curl_.Get(
        url, options_.RequestTimeout, options_.MaxListBytes, [this](THttpFetch& fetch) { ListPageArrived(fetch); },
        RequestHeaders());
}

void TOriginMirror::ListPageArrived(THttpFetch& fetch) {
    list_request_ = 0;
    if (!running_) return;
    if (fetch.Status != 200) {
        PollFailed(fetch.Status == 0 ? fetch.Error : "HTTP status " + std::to_string(fetch.Status), ErrorOf(fetch));
        return;
    }
    const json page = json::parse(fetch.Body, nullptr, false);
    if (page.is_discarded() || !page.is_object() || !page.contains("games") || !page["games"].is_array()) {
        PollFailed("its game list is not understood", TEdgeFetchError::BadBody);
        return;
    }
    int64_t lastId = 0;
    for (const json& entry : page["games"]) {
        TListedGame listed;
        int64_t number = 0;
        if (!entry.is_object() || !entry.contains("id") || !IntegerIn(entry["id"], 1, INT32_MAX, number)) {
            PollFailed("its game list is not understood", TEdgeFetchError::BadBody);
            return;
        }
        listed.Id = static_cast<int32_t>(number);
        if (entry.contains("opened_ms") && IntegerIn(entry["opened_ms"], INT64_MIN, INT64_MAX, number))
            listed.OpenedMs = number;
        if (entry.contains("game_type") && IntegerIn(entry["game_type"], INT32_MIN, INT32_MAX, number))
            listed.Description.GameType = static_cast<int32_t>(number);
        if (!entry.contains("last_segment") ||
            !IntegerIn(entry["last_segment"], -1, INT32_MAX / kEdgeSegmentLocations, number)) {
            PollFailed("its game list gives no segments (is it a relay of this version?)", TEdgeFetchError::BadBody);
            return;
        }
        listed.LastSegment = static_cast<int32_t>(number);
        if (entry.contains("visible_packets") && IntegerIn(entry["visible_packets"], 0, INT32_MAX, number))
            listed.Visible = number;
        listed.Description.Name = Text(entry, "name");
        listed.Description.Mod = Text(entry, "mod");
        if (const auto sender = entry.find("sender"); sender != entry.end() && sender->is_object()) {
            listed.Description.SenderName = Text(*sender, "name");
            listed.Description.SenderAddr = Text(*sender, "address");
            const auto connected = sender->find("connected");
            listed.Connected = connected != sender->end() && connected->is_boolean() && connected->get<bool>();
        }
        if (listed.Id <= lastId) {
            PollFailed("its game list is out of order", TEdgeFetchError::BadBody);
            return;
        }
        lastId = listed.Id;
        if (listed_.size() < options_.MaxGames) listed_.push_back(std::move(listed));
    }
    const auto more = page.find("more");
    if (more != page.end() && more->is_boolean() && more->get<bool>() && lastId > 0 && list_pages_ < kMaxListPages &&
        listed_.size() < options_.MaxGames) {
        RequestListPage(lastId);
        return;
    }
    if (ListFlaps()) {
        PollFailed("the opening times of its games change at every reading", TEdgeFetchError::Other);
        return;
    }
    ++list_polls_;
    last_good_ = loop_.Now();
    if (outage_) log_.Line("the origin " + options_.OriginUrl + " answers again");
    outage_ = false;
    poll_failures_ = 0;
    ApplyList();
    SchedulePoll();
}

TEdgeFetchError TOriginMirror::ErrorOf(const THttpFetch& fetch) {
    if (fetch.TooLarge) return TEdgeFetchError::TooLarge;
    if (fetch.Status != 0) return TEdgeFetchError::HttpStatus;
    switch (fetch.Failure) {
        case TFetchFailure::Connect: return TEdgeFetchError::Connect;
        case TFetchFailure::Timeout: return TEdgeFetchError::Timeout;
        case TFetchFailure::None:
        case TFetchFailure::Other: break;
    }
    return TEdgeFetchError::Other;
}

void TOriginMirror::PollFailed(const std::string& why, TEdgeFetchError reason) {
    CountError(reason);
    if (!outage_)
        log_.Line("the origin " + options_.OriginUrl + " cannot be read (" + why +
                  "); the games stored here are served");
    outage_ = true;
    ++poll_failures_;
    listed_.clear();
    unconfirmed_.clear();
    SchedulePoll();
}

void TOriginMirror::SchedulePoll() {
    if (!running_) return;
    std::chrono::milliseconds delay = options_.PollInterval;
    if (poll_failures_ > 0) delay = std::max(delay, std::min(Backoff(poll_failures_), options_.RetryMax));
    if (poll_timer_ != 0) loop_.CancelTimer(poll_timer_);
    poll_timer_ = loop_.AddTimer(delay, [this] {
        poll_timer_ = 0;
        Poll();
    });
}

bool TOriginMirror::ListFlaps() {
    // A game listed under an identifier mirrored here with another opening
    // time is another game (the origin restarted) only once a second list
    // shows the same time: an origin whose times change at every reading
    // would otherwise make every game here a new one at every poll.
    unconfirmed_.clear();
    for (const TListedGame& listed : listed_) {
        const auto it = games_.find(listed.Id);
        if (it == games_.end() || it->second->OpenedMs == listed.OpenedMs) continue;
        const auto last = last_opened_.find(listed.Id);
        if (last == last_opened_.end() || last->second != listed.OpenedMs) unconfirmed_.insert(listed.Id);
    }
    last_opened_.clear();
    for (const TListedGame& listed : listed_) last_opened_.emplace(listed.Id, listed.OpenedMs);
    flapping_lists_ = unconfirmed_.empty() ? 0 : flapping_lists_ + 1;
    return flapping_lists_ >= 2;
}

void TOriginMirror::ApplyList() {
    if (!host_.Games()) return;
    std::map<int32_t, const TListedGame*> byId;
    for (const TListedGame& listed : listed_) byId[listed.Id] = &listed;
    // Games gone from the origin, or another game under the same identifier
    // (the origin restarted): removed here.
    for (auto it = games_.begin(); it != games_.end();) {
        TGame& game = *it->second;
        const auto found = byId.find(game.OriginId);
        if (found != byId.end() &&
            (found->second->OpenedMs == game.OpenedMs || unconfirmed_.count(game.OriginId) != 0)) {
            ++it;
            continue;
        }
        if (!game.Dropped)
            log_.Paced("the origin's game " + std::to_string(game.OriginId) + " is gone; game " +
                       std::to_string(game.LocalId) + " is removed");
        DropGame(game, true);
        it = games_.erase(it);
    }
    for (const TListedGame& listed : listed_) {
        auto it = games_.find(listed.Id);
        if (it == games_.end()) {
            TActiveGameList* local = host_.OpenDetachedGame(0, listed.Description);
            if (!local) continue;
            auto game = std::make_unique<TGame>();
            game->OriginId = listed.Id;
            game->OpenedMs = listed.OpenedMs;
            game->LocalId = local->Identifier();
            game->Description = listed.Description;
            game->UpstreamLive = listed.Connected;
            game->OriginLast = listed.LastSegment;
            log_.Paced("the origin's game " + std::to_string(listed.Id) + " is mirrored as game " +
                       std::to_string(game->LocalId));
            it = games_.emplace(listed.Id, std::move(game)).first;
        }
        TGame& game = *it->second;
        if (game.Dropped || game.OpenedMs != listed.OpenedMs) continue;
        TActiveGameList* local = host_.FindGameById(game.LocalId);
        if (!local) {
            NoteDeleted(game);
            continue;
        }
        if (!SameDescription(game.Description, listed.Description)) {
            game.Description = listed.Description;
            host_.DescribeGame(*local, listed.Description);
        }
        const bool moved = game.OriginLast != listed.LastSegment || game.UpstreamLive != listed.Connected;
        game.UpstreamLive = listed.Connected;
        game.OriginLast = listed.LastSegment;
        game.OriginVisible = listed.Visible;
        UpdateLiveness(game);
        if (moved || (!game.Ready && game.DueAt == TimePoint::max())) Schedule(game);
    }
    listed_.clear();
    Pump();
}

void TOriginMirror::DropGame(TGame& game, bool remove) {
    for (const auto& [n, request] : game.InFlight) EndFetch(request);
    game.InFlight.clear();
    if (game.DueAt != TimePoint::max()) due_.erase({game.DueAt, game.OriginId});
    game.DueAt = TimePoint::max();
    if (remove && !game.Dropped && game.LocalId != 0) host_.DeleteGame(game.LocalId);
}

void TOriginMirror::UpdateLiveness(TGame& game) {
    TActiveGameList* local = host_.FindGameById(game.LocalId);
    if (!local) return;
    // Until every segment is here in its final form, a gap here may be a
    // piece not yet fetched rather than one the camera never sent.
    const bool allFinal = game.FinalPrefix > game.OriginLast;
    local->SetLiveUpstream(game.UpstreamLive || !allFinal);
}

bool TOriginMirror::NoteDeleted(TGame& game) {
    if (game.Dropped) return true;
    if (host_.FindGameById(game.LocalId)) return false;
    log_.Paced("game " + std::to_string(game.LocalId) + " was deleted here; the origin's game " +
               std::to_string(game.OriginId) + " is no longer mirrored");
    DropGame(game, false);
    game.Dropped = true;
    return true;
}

// ------------------------------------------------------------- the segments

void TOriginMirror::Pump() {
    if (!running_) return;
    if (pump_timer_ == 0)
        pump_timer_ = loop_.AddTimer(kPumpInterval, [this] {
            pump_timer_ = 0;
            Pump();
        });
    // No registry: the relay is shutting down.
    if (!host_.Games()) return;
    if (host_.StoredGamesFillBudget()) {
        if (!budget_logged_) log_.Line("the stored games fill the memory budget; nothing more is fetched");
        budget_logged_ = true;
        return;
    }
    budget_logged_ = false;
    const TimePoint now = loop_.Now();
    while (!due_.empty() && due_.begin()->first <= now) {
        const int32_t id = due_.begin()->second;
        due_.erase(due_.begin());
        const auto it = games_.find(id);
        if (it == games_.end()) continue;
        it->second->DueAt = TimePoint::max();
        Schedule(*it->second);
    }
    const bool bounded = options_.MaxBodyBytes != 0;
    while (!ready_.empty() && static_cast<int>(fetches_.size()) < options_.MaxRequests &&
           (!bounded || held_ < options_.MaxBodyBytes)) {
        const int32_t id = ready_.front();
        ready_.pop_front();
        const auto it = games_.find(id);
        if (it == games_.end() || !it->second->Ready) continue;
        TGame& game = *it->second;
        game.Ready = false;
        if (NoteDeleted(game)) continue;
        int32_t n = 0;
        if (NextDue(game, n) <= now) FetchSegment(game, n);
        Schedule(game);  // to the back of the turn while it has more due
    }
}

TOriginMirror::TimePoint TOriginMirror::NextDue(const TGame& game, int32_t& segment) const {
    TimePoint next = TimePoint::max();
    if (static_cast<int>(game.InFlight.size()) >= options_.MaxRequestsPerGame) return next;
    const int32_t end = std::min(game.OriginLast, game.FinalPrefix + kSegmentWindow - 1);
    for (int32_t n = game.FinalPrefix; n <= end; ++n) {
        if (game.FinalBeyond.count(n) != 0 || game.InFlight.count(n) != 0) continue;
        const auto due = game.NotBefore.find(n);
        const TimePoint at = due == game.NotBefore.end() ? TimePoint::min() : due->second;
        if (at < next) {
            next = at;
            segment = n;
            if (at == TimePoint::min()) break;
        }
    }
    return next;
}

void TOriginMirror::Schedule(TGame& game) {
    if (game.DueAt != TimePoint::max()) due_.erase({game.DueAt, game.OriginId});
    game.DueAt = TimePoint::max();
    if (game.Dropped || game.Ready || !running_) return;
    int32_t n = 0;
    const TimePoint next = NextDue(game, n);
    if (next == TimePoint::max()) return;
    if (next <= loop_.Now()) {
        game.Ready = true;
        ready_.push_back(game.OriginId);
    } else {
        game.DueAt = next;
        due_.emplace(next, game.OriginId);
    }
}

size_t TOriginMirror::SegmentBound() const {
    return options_.MaxBodyBytes == 0 ? options_.MaxSegmentBytes
                                      : std::min(options_.MaxSegmentBytes, options_.MaxBodyBytes);
}

std::string TOriginMirror::SegmentUrl(const TGame& game, int32_t n) const {
    return options_.OriginUrl + "/api/v1/games/" + std::to_string(game.OriginId) + "/segments/" + std::to_string(n) +
           "?opened=" + std::to_string(game.OpenedMs);
}

void TOriginMirror::FetchSegment(TGame& game, int32_t n) {
    std::vector<std::string> headers;
    if (const auto tag = game.Tags.find(n); tag != game.Tags.end()) headers.push_back("If-None-Match: " + tag->second);
    const size_t bound = SegmentBound();
    auto fetch = std::make_unique<TFetch>(game.OriginId, game.OpenedMs, n, bound);
    TFetch& ref = *fetch;
    ref.Request = curl_.Get(
        SegmentUrl(game, n), options_.RequestTimeout, bound,
        [this, &ref](THttpFetch& answer) { SegmentArrived(ref.Request, answer); }, RequestHeaders(std::move(headers)),
        [this, &ref](const THttpFetch&, std::string_view bytes) { return SegmentChunk(ref, bytes); });
    game.InFlight[n] = ref.Request;
    fetches_.emplace(ref.Request, std::move(fetch));
}

TChunkAnswer TOriginMirror::SegmentChunk(TFetch& fetch, std::string_view bytes) {
    if (options_.MaxBodyBytes != 0 && held_ + bytes.size() > options_.MaxBodyBytes) {
        const bool oldest = fetches_.begin()->first == fetch.Request;
        const bool alone = held_ == fetch.Stream.Held();
        // The oldest always goes on, by ending younger ones; alone, its own
        // bound decides.
        if (!oldest || !alone) {
            fetch.Paused = true;
            fetch.Wanted = bytes.size();
            if (oldest && room_timer_ == 0)
                room_timer_ = loop_.AddTimer(std::chrono::milliseconds(0), [this] {
                    room_timer_ = 0;
                    MakeRoom();
                });
            return TChunkAnswer::Pause;
        }
    }
    const TimePoint now = loop_.Now();
    if (inflation_.ReadyAt(kEdgeInflateRate, 1, now) > now) {
        fetch.Paused = true;
        if (inflate_timer_ == 0)
            inflate_timer_ = loop_.AddTimer(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                inflation_.ReadyAt(kEdgeInflateRate, 1, now) - now) +
                                                std::chrono::milliseconds(1),
                                            [this] {
                                                inflate_timer_ = 0;
                                                ResumePaused();
                                            });
        return TChunkAnswer::Pause;
    }
    const size_t before = fetch.Stream.Held();
    const uint64_t inflated = fetch.Stream.Inflated();
    const bool taken = fetch.Stream.Feed(bytes);
    held_ = held_ - before + fetch.Stream.Held();
    peak_held_ = std::max(peak_held_, held_);
    if (fetch.Stream.Inflated() > inflated) inflation_.Take(kEdgeInflateRate, fetch.Stream.Inflated() - inflated, now);
    return taken ? TChunkAnswer::Take : TChunkAnswer::Stop;
}

void TOriginMirror::ResumePaused() {
    for (auto& [request, fetch] : fetches_)
        if (fetch->Paused) {
            fetch->Paused = false;
            curl_.Resume(request);
        }
}

void TOriginMirror::MakeRoom() {
    if (fetches_.empty()) return;
    const TFetch& oldest = *fetches_.begin()->second;
    // The youngest give way first; their segments are asked for again as
    // soon as there is room, with no failure counted.
    while (held_ + oldest.Wanted > options_.MaxBodyBytes && fetches_.size() > 1) {
        auto youngest = std::prev(fetches_.end());
        while (youngest != fetches_.begin() && youngest->second->Stream.Held() == 0) --youngest;
        if (youngest == fetches_.begin()) break;
        const TFetch& victim = *youngest->second;
        const auto game = games_.find(victim.OriginId);
        const int32_t n = victim.N;
        EndFetch(youngest->first);
        if (game != games_.end()) {
            game->second->InFlight.erase(n);
            Schedule(*game->second);
        }
    }
    ResumePaused();
}

void TOriginMirror::EndFetch(TCurlMulti::TRequestId request) {
    const auto it = fetches_.find(request);
    if (it == fetches_.end()) return;
    curl_.Cancel(request);
    held_ -= it->second->Stream.Held();
    fetches_.erase(it);
}

void TOriginMirror::SegmentFailed(TGame& game, int32_t n, const std::string& why) {
    const int failures = ++game.Failures[n];
    game.NotBefore[n] = loop_.Now() + Backoff(failures);
    if (failures == kFailuresLogged && !outage_)
        log_.Paced("segment " + std::to_string(n) + " of the origin's game " + std::to_string(game.OriginId) +
                   " cannot be read (" + why + "); asking again later");
}

void TOriginMirror::SegmentRefused(TGame& game, int32_t n, const std::string& why) {
    ++segments_refused_;
    std::string& logged = game.Refusals[n];
    if (logged != why)
        log_.Paced("segment " + std::to_string(n) + " of the origin's game " + std::to_string(game.OriginId) +
                   " is refused: " + why + "; asking again later");
    logged = why;
    const int failures = ++game.Failures[n];
    game.NotBefore[n] = loop_.Now() + Backoff(failures);
}

void TOriginMirror::MarkFinal(TGame& game, int32_t n) {
    game.Tags.erase(n);
    game.NotBefore.erase(n);
    game.Failures.erase(n);
    game.Refusals.erase(n);
    if (n == game.FinalPrefix) {
        ++game.FinalPrefix;
        while (game.FinalBeyond.erase(game.FinalPrefix) != 0) ++game.FinalPrefix;
    } else if (n > game.FinalPrefix) {
        game.FinalBeyond.insert(n);
    }
}

void TOriginMirror::SegmentArrived(TCurlMulti::TRequestId request, THttpFetch& answer) {
    auto node = fetches_.extract(request);
    if (node.empty()) return;
    std::unique_ptr<TFetch> fetch = std::move(node.mapped());
    held_ -= fetch->Stream.Held();
    ResumePaused();
    const auto it = games_.find(fetch->OriginId);
    if (it == games_.end() || it->second->OpenedMs != fetch->OpenedMs || !running_) return;
    TGame& game = *it->second;
    const int32_t n = fetch->N;
    game.InFlight.erase(n);
    if (game.Dropped) return;
    Process(game, n, *fetch, answer);
    Schedule(game);
    Pump();
}

void TOriginMirror::Process(TGame& game, int32_t n, TFetch& fetch, const THttpFetch& answer) {
    const bool final = answer.CacheControl.find("immutable") != std::string::npos;
    if (answer.Stopped || (answer.Status == 200 && !fetch.Stream.Finish())) {
        CountError(TEdgeFetchError::BadBody);
        SegmentRefused(game, n, fetch.Stream.Reason());
        return;
    }
    if (answer.TooLarge) {
        CountError(TEdgeFetchError::TooLarge);
        SegmentRefused(game, n, "larger than " + std::to_string(SegmentBound()) + " bytes");
        return;
    }
    if (answer.Status == 304) {
        last_good_ = loop_.Now();
        game.Failures.erase(n);
        if (final) MarkFinal(game, n);
        else game.NotBefore[n] = loop_.Now() + options_.ChangingRefetch;
        UpdateLiveness(game);
        return;
    }
    if (answer.Status != 200) {
        CountError(ErrorOf(answer));
        SegmentFailed(game, n, answer.Status == 0 ? answer.Error : "HTTP status " + std::to_string(answer.Status));
        return;
    }
    last_good_ = loop_.Now();
    TActiveGameList* local = host_.FindGameById(game.LocalId);
    if (!local) {
        NoteDeleted(game);
        return;
    }
    if (host_.StoredGamesFillBudget()) {
        game.NotBefore[n] = loop_.Now() + options_.RetryMax;
        return;
    }
    for (const TSegmentPacket& packet : fetch.Stream.Packets()) {
        if (packet.Location < local->Count() && local->Data(packet.Location) == packet.Packet) continue;
        if (!host_.StoreDetachedPacket(*local, packet.Location, packet.Packet)) {
            CountError(TEdgeFetchError::BadBody);
            SegmentRefused(game, n, "location " + std::to_string(packet.Location) + " cannot be stored here");
            return;
        }
        ++packets_stored_;
    }
    ++segments_used_;
    game.Failures.erase(n);
    game.Refusals.erase(n);
    if (final) {
        MarkFinal(game, n);
    } else {
        if (!answer.ETag.empty()) game.Tags[n] = answer.ETag;
        game.NotBefore[n] = loop_.Now() + options_.ChangingRefetch;
    }
    UpdateLiveness(game);
}

}  // namespace vistrel
