#include "web/web_api.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/latin1.h"
#include "core/game_list.h"
#include "core/protocol.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "web/log_stream.h"
#include "web/path_number.h"
#include "web/metrics_text.h"
#include "web/operator_page.h"

namespace vistrel {

namespace {

using nlohmann::json;

constexpr const char* kJsonType = "application/json; charset=utf-8";

THttpResponse JsonResponse(int status, std::string body) {
    THttpResponse response;
    response.Status = status;
    response.ContentType = kJsonType;
    response.Body = std::move(body);
    response.Body += '\n';
    return response;
}

THttpResponse ErrorResponse(int status, const std::string& message) {
    return JsonResponse(status, json{{"error", message}}.dump());
}

std::vector<std::string_view> Segments(std::string_view path) {
    std::vector<std::string_view> segments;
    while (!path.empty()) {
        if (path.front() == '/') {
            path.remove_prefix(1);
            continue;
        }
        const size_t end = path.find('/');
        segments.push_back(path.substr(0, end));
        if (end == std::string_view::npos) break;
        path.remove_prefix(end);
    }
    return segments;
}

std::string Utf8(std::string_view text) { return Latin1ToUtf8(text); }

std::string IsoTime(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A game's stored packets (gaps not counted) and their bytes alone (the
// registry also counts each entry's own cost).
int32_t StoredPackets(const TActiveGameList& game) { return game.Count() - game.Gaps(); }
uint64_t PacketBytes(const TActiveGameList& game) {
    return game.StoredBytes() - static_cast<uint64_t>(game.Count()) * kStoredEntryOverhead;
}

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

TUsage Usage(const TMainForm& form) {
    TUsage usage;
    if (const TGameList* games = form.Games()) {
        usage.Games = games->Count();
        usage.StoredMemory = games->StoredBytes();
        for (int32_t i = 0; i < games->Count(); ++i) {
            usage.StoredPackets += StoredPackets(games->At(i));
            usage.StoredBytes += PacketBytes(games->At(i));
        }
    }
    const TWSocketServer& senders = form.DemoSenders();
    for (int32_t i = 0; i < senders.ClientCount(); ++i) {
        const auto* sender = static_cast<const TDemoSender*>(senders.Client(i));
        usage.Input[0] += sender->ReceiveBuffer.size();
        usage.Output[0] += sender->BufferedBytes();
    }
    const TWSocketServer& viewers = form.DemoViewers();
    for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
        const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
        usage.Input[1] += viewer->ReceiveBuffer.size();
        usage.Output[1] += viewer->BufferedBytes();
    }
    return usage;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// A Host header naming this machine by address or as localhost. A server on
// loopback answers no other name, so a web site whose name a stranger points
// at 127.0.0.1 cannot read it from a browser.
bool IsLocalHostHeader(std::string_view host) {
    if (host.rfind("[::1]", 0) == 0) return true;
    const size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
    if (SameTextIgnoringCase(host, "localhost")) return true;
    THttpListen listen;
    return ParseHttpListen(std::string(host) + ":0", listen);
}

// The page's own requests say so; it asks for the password itself, so its
// 401 answers carry no challenge that would make the browser ask too.
bool FromOperatorPage(const THttpRequest& request) {
    const std::string* marker = request.Header("X-Requested-With");
    return marker && *marker == "vistrel-page";
}

const char* const kPortNames[kConnectionKindCount] = {"sender", "viewer"};
const char* const kCloseReasonNames[kCloseReasonCount] = {"normal", "slow_reader", "bound_exceeded", "kicked",
                                                          "refused"};
const char* const kDemoCheckNames[kDemoCheckCount] = {"verified",    "checksum_mismatch", "not_decompressed",
                                                      "too_large",   "undecodable",       "refused",
                                                      "over_budget", "over_disk_limit",   "not_written"};
// The packet types each port takes.
const int32_t kSenderTypes[] = {PacketType::GAMEINFO, PacketType::ACKNAK, PacketType::SENDTEXT,
                                PacketType::DEMOPACKET, PacketType::DEMORESTART};
const int32_t kViewerTypes[] = {PacketType::ACKNAK, PacketType::WAITFORGAME, PacketType::SENDTEXT,
                                PacketType::LEAVEGAME, PacketType::USERINFO};

// A game's name as a file name's part: letters, digits, '.', '-' and '_'
// kept, every other byte '_', at most 64 of them, never starting with '.'.
std::string FileNamePart(std::string_view name) {
    std::string out;
    for (char c : name.substr(0, 64)) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                          c == '-' || c == '_';
        out += keep ? c : '_';
    }
    if (!out.empty() && out.front() == '.') out.front() = '_';
    return out;
}

}  // namespace

TWebApi::TWebApi(TMainForm& form, TWebOptions options)
    : form_(form),
      options_(std::move(options)),
      server_(form.Loop(), [this](const THttpRequest& request) { return Handle(request); }, options_.Limits),
      origin_(form),
      reads_need_password_(!options_.PublicRead && !IsLoopbackAddress(options_.Listen.Addr)),
      started_wall_(std::chrono::system_clock::now()),
      started_(form.Loop().Now()) {
    // A new log line wakes the log streams waiting for one.
    log_subscription_ = form_.Console().Log().Listeners().Subscribe([this](const TListChange& change) {
        if (change.Kind == TListChange::TKind::LineAppended && server_.Streams() > 0) server_.WakeStreams();
    });
}

TWebApi::~TWebApi() {
    Stop();
    form_.Console().Log().Listeners().Unsubscribe(log_subscription_);
}

void TWebApi::Start() {
    server_.Start(options_.Listen);
    ArmStreamCheck();
}

void TWebApi::Stop() {
    if (stream_check_ != 0) form_.Loop().CancelTimer(stream_check_);
    stream_check_ = 0;
    server_.Stop();
}

void TWebApi::ArmStreamCheck() {
    stream_check_ = form_.Loop().AddTimer(std::chrono::duration_cast<std::chrono::milliseconds>(kStreamCheck), [this] {
        stream_check_ = 0;
        if (server_.Streams() > 0) server_.WakeStreams();
        if (server_.Running()) ArmStreamCheck();
    });
}

std::unique_ptr<THttpResponse> TWebApi::Authenticate(const THttpRequest& request) {
    const TAuthResult result = auth_.Check(request.Header("Authorization"), request.PeerAddr,
                                           form_.Setup().RemoteAdminPasswordEdit, form_.Loop().Now());
    THttpResponse refusal;
    switch (result) {
        case TAuthResult::Allowed:
            return nullptr;
        case TAuthResult::NoPassword:
            refusal = ErrorResponse(403, "remote administration is off: no remote admin password is set");
            break;
        case TAuthResult::Missing:
        case TAuthResult::Wrong:
            refusal = ErrorResponse(401, result == TAuthResult::Missing ? "the remote admin password is needed"
                                                                        : "wrong remote admin password");
            if (!FromOperatorPage(request))
                refusal.Headers.emplace_back("WWW-Authenticate", "Basic realm=\"Vistrel Server\", charset=\"UTF-8\"");
            break;
        case TAuthResult::Waiting:
            refusal = ErrorResponse(429, "too many failed attempts: wait a second");
            refusal.Headers.emplace_back("Retry-After", "1");
            break;
    }
    return std::make_unique<THttpResponse>(std::move(refusal));
}

THttpResponse TWebApi::Handle(const THttpRequest& request) {
    const std::vector<std::string_view> path = Segments(request.Path);
    const bool get = request.Method == "GET" || request.Method == "HEAD";
    const auto methodNotAllowed = [](const char* allow) {
        THttpResponse response = ErrorResponse(405, "method not allowed");
        response.Headers.emplace_back("Allow", allow);
        return response;
    };

    if (IsLoopbackAddress(options_.Listen.Addr))
        if (const std::string* host = request.Header("Host"); host && !IsLocalHostHeader(*host))
            return ErrorResponse(403, "this relay answers only to its address or localhost");

    if (path.empty() || (path.size() == 1 && path[0] == "index.html")) {
        if (!get) return methodNotAllowed("GET, HEAD");
        THttpResponse page;
        page.ContentType = "text/html; charset=utf-8";
        page.Body = std::string(OperatorPageHtml());
        // Everything the page needs is in it; it talks to nothing but this server.
        page.Headers.emplace_back("Content-Security-Policy",
                                  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                                  "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
                                  "frame-ancestors 'none'");
        page.Headers.emplace_back("Referrer-Policy", "no-referrer");
        return page;
    }

    const bool api = path.size() >= 2 && path[0] == "api" && path[1] == "v1";
    const bool metrics = path.size() == 1 && path[0] == "metrics";
    const std::string_view read = metrics ? "metrics"
                                  : api && path.size() == 3 ? path[2]
                                  : api && path.size() == 4 && path[2] == "log" && path[3] == "stream"
                                      ? "log/stream"
                                      : "";
    if (read == "metrics" || read == "status" || read == "games" || read == "viewers" || read == "log" ||
        read == "log/stream") {
        if (!get) return methodNotAllowed("GET, HEAD");
        if (reads_need_password_)
            if (auto refusal = Authenticate(request)) return std::move(*refusal);
        int64_t after = 0;
        if (const std::string* text = request.QueryValue("after"); text && !ParsePathNumber(*text, INT64_MAX, after))
            return ErrorResponse(400, "after must be a whole number from 0");
        if (read == "metrics") {
            THttpResponse response;
            response.ContentType = kMetricsContentType;
            response.Body = MetricsText();
            return response;
        }
        if (read == "status") return JsonResponse(200, StatusJson());
        if (read == "games") return JsonResponse(200, GamesJson(after));
        if (read == "viewers") return JsonResponse(200, ViewersJson(after));
        if (read == "log") return JsonResponse(200, LogJson(after));
        // The stream starts after `after`, or after the event a reconnecting
        // browser saw last, or at the end of the log.
        int64_t from = form_.Console().Log().Count();
        if (request.QueryValue("after")) {
            from = after;
        } else if (const std::string* last = request.Header("Last-Event-ID")) {
            int64_t seen = 0;
            if (ParsePathNumber(*last, INT64_MAX, seen)) from = seen;
        }
        THttpResponse response;
        response.ContentType = "text/event-stream; charset=utf-8";
        response.Stream = std::make_unique<TLogStream>(form_.Console().Log(), from, form_.Loop());
        return response;
    }

    if (api && path.size() == 5 && path[2] == "games" && path[4] == "recording") {
        if (!get) return methodNotAllowed("GET, HEAD");
        if (reads_need_password_)
            if (auto refusal = Authenticate(request)) return std::move(*refusal);
        int64_t id = 0;
        if (!ParsePathNumber(path[3], INT32_MAX, id)) return ErrorResponse(404, "no such game");
        return Recording(static_cast<int32_t>(id));
    }

    // One game and its segments, for caches and edge relays (origin_routes.h).
    if (get && TOriginRoutes::Matches(path)) {
        if (reads_need_password_)
            if (auto refusal = Authenticate(request)) return std::move(*refusal);
        return origin_.Handle(request, path);
    }

    // The commands: /api/v1/games/{id}/halt, /api/v1/games/{id}, /api/v1/viewers/{id}/kick.
    std::string what;
    const char* allow = "";
    if (api && path.size() == 5 && path[2] == "games" && path[4] == "halt") {
        what = "halt";
        allow = "POST";
    } else if (api && path.size() == 4 && path[2] == "games") {
        what = "delete";
        allow = "DELETE";
    } else if (TOriginRoutes::Matches(path)) {
        return methodNotAllowed("GET, HEAD");
    } else if (api && path.size() == 5 && path[2] == "viewers" && path[4] == "kick") {
        what = "kick";
        allow = "POST";
    }
    if (what.empty()) return ErrorResponse(404, "no such resource");
    int64_t id = 0;
    if (!ParsePathNumber(path[3], what == "kick" ? INT64_MAX : INT32_MAX, id)) return ErrorResponse(404, "no such resource");
    if (request.Method != allow) return methodNotAllowed(what == "delete" ? "GET, HEAD, DELETE" : allow);
    // A browser sends Origin with every POST and DELETE: one from another
    // site's page is refused, whatever credentials the browser adds to it.
    if (const std::string* origin = request.Header("Origin")) {
        const std::string* host = request.Header("Host");
        if (!host || !(SameTextIgnoringCase(*origin, "http://" + *host) || SameTextIgnoringCase(*origin, "https://" + *host)))
            return ErrorResponse(403, "a command from another site's page is refused");
    }
    if (auto refusal = Authenticate(request)) return std::move(*refusal);
    return Command(request, what, id);
}

THttpResponse TWebApi::Command(const THttpRequest& request, const std::string& what, int64_t id) {
    const TConsoleLists& console = form_.Console();
    std::vector<int32_t> rows;
    std::string done;
    std::string logText;
    if (what == "kick") {
        const TWSocketServer& viewers = form_.DemoViewers();
        for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
            const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
            if (static_cast<int64_t>(viewer->Seq) != id || viewer->State() != wsConnected) continue;
            const int32_t row = console.Users().IndexOfLink(viewer);
            if (row >= 0) rows.push_back(row);
        }
        if (rows.empty()) return ErrorResponse(404, "no such viewer");
        done = "kicked";
        logText = "Kick User on viewer " + std::to_string(id);
    } else {
        const int32_t row = console.IndexOfGameRow(static_cast<int32_t>(id));
        if (row < 0) return ErrorResponse(404, "no such game");
        if (what == "halt") {
            const TWSocketClient* sender = console.Games().Link(row);
            if (!sender || sender->State() != wsConnected) return ErrorResponse(409, "the game's sender is not connected");
            done = "halted";
            logText = "Halt Transfer on game " + std::to_string(id);
        } else {
            done = "deleted";
            logText = "Delete Game on game " + std::to_string(id);
        }
        rows.push_back(row);
    }
    form_.ServerLog(false, "Remote admin " + request.PeerAddr + ": " + logText);
    try {
        if (what == "kick") form_.KickUser1Click(rows);
        else if (what == "halt") form_.HaltTransfer1Click(rows);
        else form_.DeleteGame1Click(rows);
    } catch (const std::exception& e) {
        // As for the window's commands: the operator is told.
        form_.FrontEnd().ReportError(e);
        return ErrorResponse(500, Utf8(e.what()));
    }
    return JsonResponse(200, json{{"id", id}, {done, true}}.dump());
}

THttpResponse TWebApi::Recording(int32_t id) {
    const TRecorder* recorder = form_.Recording().Recorder();
    const TGameList* games = form_.Games();
    const int32_t index = games ? games->IndexOfId(id) : -1;
    if (!recorder) return ErrorResponse(404, "recording is off");
    if (index < 0) return ErrorResponse(404, "no such game");
    uint64_t size = 0;
    const int fd = recorder->OpenForReading(id, size);
    if (fd < 0) return ErrorResponse(404, "the game has no recording");
    THttpResponse response;
    response.ContentType = "application/octet-stream";
    response.FileFd = fd;
    response.FileSize = size;
    std::string name = "game-" + std::to_string(id);
    const std::string part = FileNamePart(games->At(index).Name());
    if (!part.empty()) name += "-" + part;
    response.Headers.emplace_back("Content-Disposition", "attachment; filename=\"" + name + ".vrec\"");
    return response;
}

std::string TWebApi::StatusJson() const {
    const TUsage usage = Usage(form_);
    const TMemoryBudget& budget = form_.MemoryBudget();
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(form_.Loop().Now() - started_).count();
    json status = {
        {"version", options_.Version},
        {"start_time", IsoTime(started_wall_)},
        {"uptime_seconds", uptime},
        {"games", usage.Games},
        {"senders", form_.DemoSenders().ClientCount()},
        {"viewers", form_.DemoViewers().ClientCount()},
        {"stored_packets", usage.StoredPackets},
        {"stored_bytes", usage.StoredBytes},
        {"memory_budget",
         {{"stored_limit_bytes", budget.Stored},
          {"stored_bytes", usage.StoredMemory},
          {"connection_buffers_limit_bytes", budget.ConnectionBuffers},
          {"connection_buffers_bytes", usage.Buffers()}}},
        {"connection_buffers",
         {{"sender_input_bytes", usage.Input[0]},
          {"sender_output_bytes", usage.Output[0]},
          {"viewer_input_bytes", usage.Input[1]},
          {"viewer_output_bytes", usage.Output[1]}}},
    };
    return status.dump();
}

std::string TWebApi::GamesJson(int64_t after) const {
    const TRowList& rows = form_.Console().Games();
    const TGameList* games = form_.Games();
    json list = json::array();
    bool more = false;
    for (int32_t i = 0; i < rows.Count(); ++i) {
        int64_t id = 0;
        if (!ParsePathNumber(rows.Column(i, 0), INT32_MAX, id) || id <= after) continue;
        if (static_cast<int32_t>(list.size()) == kMaxListEntries) {
            more = true;
            break;
        }
        const int32_t index = games ? games->IndexOfId(static_cast<int32_t>(id)) : -1;
        const TActiveGameList* game = index >= 0 ? &games->At(index) : nullptr;
        const auto* sender = game ? static_cast<const TDemoSender*>(game->Sender()) : nullptr;
        const std::string address = game ? game->SenderAddr() : std::string();
        // The list's Sender column shows the address until the sender names
        // itself; the name stays after it has gone.
        std::string senderName = sender ? sender->UserName : std::string(rows.Column(i, 6));
        if (!sender && senderName == address) senderName.clear();
        list.push_back({
            {"id", id},
            {"name", Utf8(rows.Column(i, 1))},
            {"game", Utf8(rows.Column(i, 2))},
            {"mod", Utf8(rows.Column(i, 3))},
            {"stored_packets", game ? StoredPackets(*game) : 0},
            {"compressed_bytes", game ? PacketBytes(*game) : 0},
            {"viewers", game ? game->Viewers() : 0},
            {"sender",
             {{"name", Utf8(senderName)},
              {"address", address},
              {"connected", (sender != nullptr && sender->State() == wsConnected) || (game && game->LiveUpstream())}}},
            {"game_type", game ? game->GameType() : 0},
            {"opened_ms", game ? game->OpenedMs() : 0},
            {"last_segment", game ? LastSegment(*game) : -1},
        });
    }
    return json{{"games", std::move(list)}, {"more", more}}.dump();
}

std::string TWebApi::ViewersJson(int64_t after) const {
    const TWSocketServer& viewers = form_.DemoViewers();
    json list = json::array();
    bool more = false;
    for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
        const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
        if (static_cast<int64_t>(viewer->Seq) <= after) continue;
        if (static_cast<int32_t>(list.size()) == kMaxListEntries) {
            more = true;
            break;
        }
        const int port = viewer->PeerPortNumber();
        list.push_back({
            {"id", viewer->Seq},
            {"name", viewer->UserName.empty() ? json(nullptr) : json(Utf8(viewer->UserName))},
            {"address", viewer->PeerAddr()},
            {"port", port},
            {"game", viewer->GameId == 0 ? json(nullptr) : json(viewer->GameId)},
            {"position", viewer->Position},
            {"unsent_bytes", viewer->BufferedBytes()},
        });
    }
    return json{{"viewers", std::move(list)}, {"more", more}}.dump();
}

std::string TWebApi::LogJson(int64_t after) const {
    const TLogLines& log = form_.Console().Log();
    const int64_t count = log.Count();
    // Lines older than those kept are gone: the page goes on from the oldest kept.
    const int64_t first = std::max(std::min(after, count), log.First()) + 1;
    const int64_t last = std::min(count, first + kMaxLogLines - 1);
    json lines = json::array();
    for (int64_t seq = first; seq <= last; ++seq)
        lines.push_back({{"seq", seq}, {"text", Utf8(log.Line(seq - 1))}});
    return json{{"lines", std::move(lines)}, {"next", std::max<int64_t>(last, std::min(after, count))},
                {"last", count}, {"more", last < count}}
        .dump();
}

std::string TWebApi::MetricsText() const {
    const TUsage usage = Usage(form_);
    const TRelayMetrics& m = form_.Metrics();
    const TMemoryBudget& budget = form_.MemoryBudget();
    TMetricsText out;
    out.Family("vistrel_start_time_seconds", "gauge", "When the relay started, in seconds since the Unix epoch.");
    out.Sample("vistrel_start_time_seconds",
               static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                       started_wall_.time_since_epoch()).count()));
    out.Family("vistrel_games", "gauge", "Games in the registry.");
    out.Sample("vistrel_games", static_cast<uint64_t>(usage.Games));
    out.Family("vistrel_senders", "gauge", "Sender connections.");
    out.Sample("vistrel_senders", static_cast<uint64_t>(form_.DemoSenders().ClientCount()));
    out.Family("vistrel_viewers", "gauge", "Viewer connections.");
    out.Sample("vistrel_viewers", static_cast<uint64_t>(form_.DemoViewers().ClientCount()));
    out.Family("vistrel_stored_packets", "gauge", "Demo packets stored, over every game.");
    out.Sample("vistrel_stored_packets", static_cast<uint64_t>(usage.StoredPackets));
    out.Family("vistrel_stored_bytes", "gauge", "Bytes of the stored demo packets, over every game.");
    out.Sample("vistrel_stored_bytes", usage.StoredBytes);
    out.Family("vistrel_memory_budget_bytes", "gauge", "The memory budget by part; 0 means no limit.");
    out.Sample("vistrel_memory_budget_bytes", {{"part", "stored"}}, static_cast<uint64_t>(budget.Stored));
    out.Sample("vistrel_memory_budget_bytes", {{"part", "connection_buffers"}},
               static_cast<uint64_t>(budget.ConnectionBuffers));
    out.Family("vistrel_memory_budget_used_bytes", "gauge", "What the relay holds of each part of the memory budget.");
    out.Sample("vistrel_memory_budget_used_bytes", {{"part", "stored"}}, usage.StoredMemory);
    out.Sample("vistrel_memory_budget_used_bytes", {{"part", "connection_buffers"}}, usage.Buffers());
    out.Family("vistrel_connection_buffer_bytes", "gauge",
               "Bytes in connection buffers: input received and not yet handled, output not yet sent.");
    for (size_t k = 0; k < kConnectionKindCount; ++k) {
        out.Sample("vistrel_connection_buffer_bytes", {{"port", kPortNames[k]}, {"direction", "input"}}, usage.Input[k]);
        out.Sample("vistrel_connection_buffer_bytes", {{"port", kPortNames[k]}, {"direction", "output"}},
                   usage.Output[k]);
    }

    out.Family("vistrel_packets_received_total", "counter", "Whole packets handled, by port and type.");
    for (size_t k = 0; k < kConnectionKindCount; ++k) {
        const auto& types = k == 0 ? kSenderTypes : kViewerTypes;
        for (int32_t type : types)
            out.Sample("vistrel_packets_received_total", {{"port", kPortNames[k]}, {"type", PacketLabel(type)}},
                       m.PacketsReceived[k][static_cast<size_t>(type)]);
    }
    out.Family("vistrel_demo_packet_checks_total", "counter", "Uploaded DEMOPACKETs by the outcome of their check.");
    for (size_t o = 0; o < kDemoCheckCount; ++o)
        out.Sample("vistrel_demo_packet_checks_total", {{"outcome", kDemoCheckNames[o]}}, m.DemoChecks[o]);
    out.Family("vistrel_packets_sent_total", "counter", "Packets handed to connections, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_packets_sent_total", {{"port", kPortNames[k]}}, m.PacketsSent[k]);
    out.Family("vistrel_sent_bytes_total", "counter", "Bytes of the packets handed to connections, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_sent_bytes_total", {{"port", kPortNames[k]}}, m.BytesSent[k]);
    out.Family("vistrel_connections_accepted_total", "counter", "Connections accepted, by port.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        out.Sample("vistrel_connections_accepted_total", {{"port", kPortNames[k]}}, m.ConnectionsAccepted[k]);
    out.Family("vistrel_connections_closed_total", "counter", "Connections closed, by port and reason.");
    for (size_t k = 0; k < kConnectionKindCount; ++k)
        for (size_t r = 0; r < kCloseReasonCount; ++r)
            out.Sample("vistrel_connections_closed_total", {{"port", kPortNames[k]}, {"reason", kCloseReasonNames[r]}},
                       m.ConnectionsClosed[k][r]);
    out.Family("vistrel_log_lines_total", "counter", "Lines written to the server log.");
    out.Sample("vistrel_log_lines_total", m.LogLines);

    out.Family("vistrel_distribution_tick_duration_seconds", "histogram",
               "How long each distribution tick's walk over the games and their viewers took.");
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kTickBucketBounds.size(); ++b) {
        cumulative += m.TickDuration.Buckets[b];
        const std::string le = FormatMetricValue(kTickBucketBounds[b]);
        out.Sample("vistrel_distribution_tick_duration_seconds_bucket", {{"le", le}}, cumulative);
    }
    out.Sample("vistrel_distribution_tick_duration_seconds_bucket", {{"le", "+Inf"}}, m.TickDuration.Count);
    out.Sample("vistrel_distribution_tick_duration_seconds_sum", m.TickDuration.SumSeconds);
    out.Sample("vistrel_distribution_tick_duration_seconds_count", m.TickDuration.Count);

    out.Family("vistrel_disk_written_bytes_total", "counter", "Bytes written to the recordings.");
    out.Sample("vistrel_disk_written_bytes_total", m.Disk.BytesWritten);
    out.Family("vistrel_disk_fsyncs_total", "counter", "Recordings forced to the disk (fsync), by outcome.");
    out.Sample("vistrel_disk_fsyncs_total", {{"outcome", "done"}}, m.Disk.Fsyncs);
    out.Sample("vistrel_disk_fsyncs_total", {{"outcome", "failed"}}, m.Disk.FsyncErrors);
    out.Family("vistrel_disk_write_errors_total", "counter",
               "Writes to the recordings that failed (nothing of them was kept; the packet was refused).");
    out.Sample("vistrel_disk_write_errors_total", m.Disk.WriteErrors);
    out.Family("vistrel_disk_recordings_bytes", "gauge", "Bytes the recordings hold in the data folder.");
    out.Sample("vistrel_disk_recordings_bytes", form_.Recording().Recorder() ? form_.Recording().Recorder()->TotalBytes() : uint64_t{0});
    out.Family("vistrel_disk_limit_bytes", "gauge", "The recordings' limit (--max-disk); 0 means no limit.");
    out.Sample("vistrel_disk_limit_bytes", static_cast<uint64_t>(form_.Recording().Options().MaxDisk));

    out.Family("vistrel_http_connections", "gauge", "Open HTTP connections.");
    out.Sample("vistrel_http_connections", static_cast<uint64_t>(server_.Connections()));
    out.Family("vistrel_http_requests_total", "counter", "HTTP requests answered.");
    out.Sample("vistrel_http_requests_total", server_.Requests());
    out.Family("vistrel_http_segment_requests_total", "counter",
               "Game segments served with their content, by whether they were final (immutable).");
    out.Sample("vistrel_http_segment_requests_total", {{"state", "final"}}, origin_.SegmentsServed(true));
    out.Sample("vistrel_http_segment_requests_total", {{"state", "changing"}}, origin_.SegmentsServed(false));
    out.Family("vistrel_http_segment_not_modified_total", "counter",
               "Game segment requests answered 304 (the asker's copy is current).");
    out.Sample("vistrel_http_segment_not_modified_total", origin_.SegmentsNotModified());
    out.Family("vistrel_http_segment_bytes_total", "counter", "Bytes of the game segments served.");
    out.Sample("vistrel_http_segment_bytes_total", origin_.SegmentBytes());
    out.Family("vistrel_http_refusals_total", "counter",
               "HTTP requests refused by the server's bounds (too many connections, too large).");
    out.Sample("vistrel_http_refusals_total", server_.Refusals());
    return out.Text();
}

}  // namespace vistrel
