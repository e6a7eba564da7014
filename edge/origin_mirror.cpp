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
    // Segments below FinalPrefix, and those in FinalBeyond, were fetched in
    // their final form.
    int32_t FinalPrefix = 0;
    std::set<int32_t> FinalBeyond;
    std::map<int32_t, TCurlMulti::TRequestId> InFlight;
    std::map<int32_t, TEventLoop::Clock::time_point> NotBefore;
    std::map<int32_t, int> Failures;
    // The entity tag of the last copy of a segment that may still change.
    std::map<int32_t, std::string> Tags;
    // Deleted here by the operator: no longer mirrored.
    bool Dropped = false;
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
    : host_(host), loop_(loop), options_(std::move(options)), curl_(loop) {
    while (!options_.OriginUrl.empty() && options_.OriginUrl.back() == '/') options_.OriginUrl.pop_back();
    // The origin ignores the user name.
    if (!options_.Password.empty()) authorization_ = "Authorization: Basic " + Base64("edge:" + options_.Password);
}

std::vector<std::string> TOriginMirror::RequestHeaders(std::vector<std::string> extra) const {
    if (!authorization_.empty()) extra.push_back(authorization_);
    return extra;
}

TOriginMirror::~TOriginMirror() { Stop(); }

void TOriginMirror::Log(const std::string& text) { host_.ServerLog("Forward Server: " + text); }

void TOriginMirror::Start() {
    if (running_) return;
    running_ = true;
    Log("mirroring the games of " + options_.OriginUrl);
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
    if (list_request_ != 0) curl_.Cancel(list_request_);
    list_request_ = 0;
    for (auto& [id, game] : games_) DropGame(*game, false);
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
        PollFailed(fetch.Status == 0 ? fetch.Error : "HTTP status " + std::to_string(fetch.Status));
        return;
    }
    const json page = json::parse(fetch.Body, nullptr, false);
    if (page.is_discarded() || !page.is_object() || !page.contains("games") || !page["games"].is_array()) {
        PollFailed("its game list is not understood");
        return;
    }
    int64_t lastId = 0;
    for (const json& entry : page["games"]) {
        TListedGame listed;
        int64_t number = 0;
        if (!entry.is_object() || !entry.contains("id") || !IntegerIn(entry["id"], 1, INT32_MAX, number)) {
            PollFailed("its game list is not understood");
            return;
        }
        listed.Id = static_cast<int32_t>(number);
        if (entry.contains("opened_ms") && IntegerIn(entry["opened_ms"], INT64_MIN, INT64_MAX, number))
            listed.OpenedMs = number;
        if (entry.contains("game_type") && IntegerIn(entry["game_type"], INT32_MIN, INT32_MAX, number))
            listed.Description.GameType = static_cast<int32_t>(number);
        if (!entry.contains("last_segment") ||
            !IntegerIn(entry["last_segment"], -1, INT32_MAX / kEdgeSegmentLocations, number)) {
            PollFailed("its game list gives no segments (is it a relay of this version?)");
            return;
        }
        listed.LastSegment = static_cast<int32_t>(number);
        listed.Description.Name = Text(entry, "name");
        listed.Description.Mod = Text(entry, "mod");
        if (const auto sender = entry.find("sender"); sender != entry.end() && sender->is_object()) {
            listed.Description.SenderName = Text(*sender, "name");
            listed.Description.SenderAddr = Text(*sender, "address");
            const auto connected = sender->find("connected");
            listed.Connected = connected != sender->end() && connected->is_boolean() && connected->get<bool>();
        }
        if (listed.Id <= lastId) {
            PollFailed("its game list is out of order");
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
    ++list_polls_;
    if (outage_) Log("the origin " + options_.OriginUrl + " answers again");
    outage_ = false;
    poll_failures_ = 0;
    ApplyList();
    SchedulePoll();
}

void TOriginMirror::PollFailed(const std::string& why) {
    if (!outage_)
        Log("the origin " + options_.OriginUrl + " cannot be read (" + why + "); the games stored here are served");
    outage_ = true;
    ++poll_failures_;
    listed_.clear();
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

void TOriginMirror::ApplyList() {
    if (!host_.Games()) return;
    std::map<int32_t, const TListedGame*> byId;
    for (const TListedGame& listed : listed_) byId[listed.Id] = &listed;
    // Games gone from the origin, or another game under the same identifier
    // (the origin restarted): removed here.
    for (auto it = games_.begin(); it != games_.end();) {
        TGame& game = *it->second;
        const auto found = byId.find(game.OriginId);
        if (found != byId.end() && found->second->OpenedMs == game.OpenedMs) {
            ++it;
            continue;
        }
        if (!game.Dropped)
            Log("the origin's game " + std::to_string(game.OriginId) + " is gone; game " +
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
            Log("the origin's game " + std::to_string(listed.Id) + " is mirrored as game " +
                std::to_string(game->LocalId));
            it = games_.emplace(listed.Id, std::move(game)).first;
        }
        TGame& game = *it->second;
        if (game.Dropped) continue;
        TActiveGameList* local = host_.FindGameById(game.LocalId);
        if (!local) continue;  // deleted here: PumpGame notes it
        if (!SameDescription(game.Description, listed.Description)) {
            game.Description = listed.Description;
            host_.DescribeGame(*local, listed.Description);
        }
        game.UpstreamLive = listed.Connected;
        game.OriginLast = listed.LastSegment;
        UpdateLiveness(game);
    }
    listed_.clear();
    Pump();
}

void TOriginMirror::DropGame(TGame& game, bool remove) {
    for (const auto& [n, request] : game.InFlight) curl_.Cancel(request);
    game.InFlight.clear();
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

// ------------------------------------------------------------- the segments

void TOriginMirror::Pump() {
    if (!running_) return;
    for (auto& [id, game] : games_) PumpGame(*game);
    if (pump_timer_ == 0)
        pump_timer_ = loop_.AddTimer(kPumpInterval, [this] {
            pump_timer_ = 0;
            Pump();
        });
}

void TOriginMirror::PumpGame(TGame& game) {
    // No registry: the relay is shutting down.
    if (!running_ || game.Dropped || !host_.Games()) return;
    if (!host_.FindGameById(game.LocalId)) {
        Log("game " + std::to_string(game.LocalId) + " was deleted here; the origin's game " +
            std::to_string(game.OriginId) + " is no longer mirrored");
        DropGame(game, false);
        game.Dropped = true;
        return;
    }
    if (host_.StoredGamesFillBudget()) {
        if (!budget_logged_) Log("the stored games fill the memory budget; nothing more is fetched");
        budget_logged_ = true;
        return;
    }
    budget_logged_ = false;
    const auto now = loop_.Now();
    const int32_t end = std::min(game.OriginLast, game.FinalPrefix + kSegmentWindow - 1);
    for (int32_t n = game.FinalPrefix;
         n <= end && static_cast<int>(game.InFlight.size()) < options_.MaxRequestsPerGame; ++n) {
        if (game.FinalBeyond.count(n) != 0 || game.InFlight.count(n) != 0) continue;
        const auto due = game.NotBefore.find(n);
        if (due != game.NotBefore.end() && due->second > now) continue;
        FetchSegment(game, n);
    }
}

std::string TOriginMirror::SegmentUrl(const TGame& game, int32_t n) const {
    return options_.OriginUrl + "/api/v1/games/" + std::to_string(game.OriginId) + "/segments/" + std::to_string(n) +
           "?opened=" + std::to_string(game.OpenedMs);
}

void TOriginMirror::FetchSegment(TGame& game, int32_t n) {
    std::vector<std::string> headers;
    if (const auto tag = game.Tags.find(n); tag != game.Tags.end()) headers.push_back("If-None-Match: " + tag->second);
    const int32_t originId = game.OriginId;
    const int64_t openedMs = game.OpenedMs;
    game.InFlight[n] = curl_.Get(
        SegmentUrl(game, n), options_.RequestTimeout, options_.MaxSegmentBytes,
        [this, originId, openedMs, n](THttpFetch& fetch) { SegmentArrived(originId, openedMs, n, fetch); },
        RequestHeaders(std::move(headers)));
}

void TOriginMirror::SegmentFailed(TGame& game, int32_t n, const std::string& why, bool log) {
    const int failures = ++game.Failures[n];
    game.NotBefore[n] = loop_.Now() + Backoff(failures);
    if (log || (failures == kFailuresLogged && !outage_))
        Log("segment " + std::to_string(n) + " of the origin's game " + std::to_string(game.OriginId) +
            " cannot be read (" + why + "); asking again later");
}

void TOriginMirror::MarkFinal(TGame& game, int32_t n) {
    game.Tags.erase(n);
    game.NotBefore.erase(n);
    game.Failures.erase(n);
    if (n == game.FinalPrefix) {
        ++game.FinalPrefix;
        while (game.FinalBeyond.erase(game.FinalPrefix) != 0) ++game.FinalPrefix;
    } else if (n > game.FinalPrefix) {
        game.FinalBeyond.insert(n);
    }
}

void TOriginMirror::SegmentArrived(int32_t originId, int64_t openedMs, int32_t n, THttpFetch& fetch) {
    const auto it = games_.find(originId);
    if (it == games_.end() || it->second->OpenedMs != openedMs) return;
    TGame& game = *it->second;
    game.InFlight.erase(n);
    if (game.Dropped || !running_) return;
    const bool final = fetch.CacheControl.find("immutable") != std::string::npos;
    const std::string where = "segment " + std::to_string(n) + " of the origin's game " + std::to_string(originId);
    if (fetch.TooLarge) {
        ++segments_refused_;
        Log(where + " is refused: larger than " + std::to_string(options_.MaxSegmentBytes) +
            " bytes; asking again later");
        SegmentFailed(game, n, "too large", false);
        PumpGame(game);
        return;
    }
    if (fetch.Status == 304) {
        game.Failures.erase(n);
        if (final) MarkFinal(game, n);
        else game.NotBefore[n] = loop_.Now() + options_.ChangingRefetch;
        UpdateLiveness(game);
        PumpGame(game);
        return;
    }
    if (fetch.Status != 200) {
        SegmentFailed(game, n, fetch.Status == 0 ? fetch.Error : "HTTP status " + std::to_string(fetch.Status), false);
        PumpGame(game);
        return;
    }
    TActiveGameList* local = host_.FindGameById(game.LocalId);
    if (!local) {
        PumpGame(game);  // notes the deletion
        return;
    }
    const TSegmentRead read = ReadSegment(fetch.Body, n, options_.MaxSegmentBytes);
    if (!read.Sound) {
        ++segments_refused_;
        Log(where + " is refused: " + read.Reason + "; asking again later");
        SegmentFailed(game, n, read.Reason, false);
        PumpGame(game);
        return;
    }
    if (host_.StoredGamesFillBudget()) {
        game.NotBefore[n] = loop_.Now() + options_.RetryMax;
        return;
    }
    for (const TSegmentPacket& packet : read.Packets) {
        if (packet.Location < local->Count() && local->Data(packet.Location) == packet.Packet) continue;
        if (!host_.StoreDetachedPacket(*local, packet.Location, packet.Packet)) {
            ++segments_refused_;
            Log(where + ": location " + std::to_string(packet.Location) + " cannot be stored here; asking again later");
            SegmentFailed(game, n, "location refused", false);
            PumpGame(game);
            return;
        }
        ++packets_stored_;
    }
    ++segments_used_;
    game.Failures.erase(n);
    if (final) {
        MarkFinal(game, n);
    } else {
        if (!fetch.ETag.empty()) game.Tags[n] = fetch.ETag;
        game.NotBefore[n] = loop_.Now() + options_.ChangingRefetch;
    }
    UpdateLiveness(game);
    PumpGame(game);
}

}  // namespace vistrel
