#include "web/web_api.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/ascii_case.h"
#include "base/latin1.h"
#include "base/whole_number.h"
#include "core/game_list.h"
#include "relay/demo_viewer.h"
#include "web/chat_stream.h"
#include "web/json_bodies.h"
#include "web/log_stream.h"
#include "web/metrics_page.h"
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

// ?after=N of the reads; nullopt when it is given and is not a whole number.
std::optional<int64_t> AfterOf(const THttpRequest& request) {
    int64_t after = 0;
    if (const std::string* text = request.QueryValue("after"); text && !ParseWholeNumber(*text, after, 0, INT64_MAX))
        return std::nullopt;
    return after;
}

THttpResponse BadAfter() { return ErrorResponse(400, "after must be a whole number from 0"); }

// A Host header naming this machine by address or as localhost. A server on
// loopback answers no other name, so a web site whose name a stranger points
// at 127.0.0.1 cannot read it from a browser.
bool IsLocalHostHeader(std::string_view host) {
    if (host.rfind("[::1]", 0) == 0) return true;
    const size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) host = host.substr(0, colon);
    if (EqualsIgnoringCase(host, "localhost")) return true;
    THttpListen listen;
    return ParseHttpListen(std::string(host) + ":0", listen);
}

// The page's own requests say so; it asks for the password itself, so its
// 401 answers carry no challenge that would make the browser ask too.
bool FromOperatorPage(const THttpRequest& request) {
    const std::string* marker = request.Header("X-Requested-With");
    return marker && *marker == "vistrel-page";
}

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

std::vector<std::string> SafetyWarnings(const TMainForm& form) {
    std::vector<std::string> warnings;
    const std::vector<std::string> addrs = form.Listen().Addrs();
    const bool beyondLoopback = !std::all_of(addrs.begin(), addrs.end(), IsLoopbackAddress);
    if (form.Setup().FilmDemoPasswordEdit.empty() && beyondLoopback) {
        const uint16_t port = form.DemoSenders().LocalPort();
        // The log text is Latin-1; the port setting is digits.
        warnings.push_back("Warning: no filming password is set: anyone who can reach port " +
                           (port != 0 ? std::to_string(port) : form.Listen().SenderPort) + " can film");
    }
    return warnings;
}

TWebApi::TWebApi(TMainForm& form, TWebOptions options)
    : form_(form),
      options_(std::move(options)),
      auth_(options_.AuthLimits, [&form](const std::string& line) { form.ServerLog(false, line); }),
      server_(form.Loop(), [this](const THttpRequest& request) { return Handle(request); }, options_.Limits),
      origin_(form),
      reads_need_password_(!options_.PublicRead && (options_.ClosedRead || !IsLoopbackAddress(options_.Listen.Addr))),
      started_wall_(std::chrono::system_clock::now()),
      started_(form.Loop().Now()) {
    // What the answers hold counts in the relay's connection buffers.
    form_.ConnectionBuffers().SetOtherHolders(&server_);
    server_.SetOnHeldGrew([this] { form_.ConnectionBuffers().EnforceBudget(); });
    // A new log line wakes the log streams waiting for one.
    log_subscription_ = form_.Console().Log().Listeners().Subscribe([this](const TListChange& change) {
        if (change.Kind == TListChange::TKind::LineAppended && server_.Streams() > 0) server_.WakeStreams();
    });
    chat_subscription_ = form_.Chat().Listeners().Subscribe([this](const TListChange&) {
        if (*chat_streams_ > 0) server_.WakeStreams();
    });
}

TWebApi::~TWebApi() {
    Stop();
    form_.ConnectionBuffers().SetOtherHolders(nullptr);
    form_.Console().Log().Listeners().Unsubscribe(log_subscription_);
    form_.Chat().Listeners().Unsubscribe(chat_subscription_);
}

void TWebApi::Start() {
    server_.Start(options_.Listen, options_.Tls);
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
        auth_.ReportPending(form_.Loop().Now());
        if (server_.Running()) ArmStreamCheck();
    });
}

std::unique_ptr<THttpResponse> TWebApi::Authenticate(const THttpRequest& request, bool command) {
    const TSetupFields& setup = form_.Setup();
    const TAuthResult result = auth_.Check(request.Header("Authorization"), request.PeerAddr,
                                           TCredentials{setup.RemoteAdminPasswordEdit, setup.WatchDemoPasswordEdit},
                                           command, form_.Loop().Now());
    THttpResponse refusal;
    switch (result) {
        case TAuthResult::Allowed:
            return nullptr;
        case TAuthResult::NoPassword:
            refusal = ErrorResponse(403, command ? "remote administration is off: no remote admin password is set"
                                                 : "reading is off: no remote admin or watch password is set");
            break;
        case TAuthResult::ReadOnly:
            refusal = ErrorResponse(403, "the watch password allows reading only: commands need the remote admin "
                                         "password");
            break;
        case TAuthResult::Missing:
        case TAuthResult::Wrong:
            if (result == TAuthResult::Wrong)
                refusal = ErrorResponse(401, command ? "wrong remote admin password" : "wrong password");
            else
                refusal = ErrorResponse(401, command ? "the remote admin password is needed"
                                                     : "the watch or remote admin password is needed");
            if (!FromOperatorPage(request))
                refusal.Headers.emplace_back("WWW-Authenticate", "Basic realm=\"Vistrel Server\", charset=\"UTF-8\"");
            break;
        case TAuthResult::Waiting:
            refusal = ErrorResponse(429, "too many failed attempts: wait a second");
            refusal.Headers.emplace_back("Retry-After", "1");
            break;
        case TAuthResult::Busy:
            refusal = ErrorResponse(429, "too many failed attempts from everywhere: try again in a second");
            refusal.Headers.emplace_back("Retry-After", "1");
            break;
    }
    return std::make_unique<THttpResponse>(std::move(refusal));
}

std::span<const TRoute<TWebApi::THandler>> TWebApi::Routes() {
    using enum TAccess;
    static const TRoute<THandler> kRoutes[] = {
        {kRead, "/", Anyone, &TWebApi::OperatorPage},
        {kRead, "/index.html", Anyone, &TWebApi::OperatorPage},
        {kRead, "/metrics", Readers, &TWebApi::Metrics},
        {kRead, "/api/v1/status", Readers, &TWebApi::Status},
        {kRead, "/api/v1/games", Readers, &TWebApi::GameList},
        {kRead, "/api/v1/viewers", Readers, &TWebApi::ViewerList},
        {kRead, "/api/v1/log", Readers, &TWebApi::Log},
        {kRead, "/api/v1/log/stream", Readers, &TWebApi::LogStream},
        {kRead, "/api/v1/chat", Readers, &TWebApi::Chat},
        {kRead, "/api/v1/chat/stream", Readers, &TWebApi::ChatStream},
        {kRead, "/api/v1/games/{id}", Readers, &TWebApi::GameDocument},
        {kDelete, "/api/v1/games/{id}", Admin, &TWebApi::Delete},
        {kRead, "/api/v1/games/{id}/segments/{n}", Readers, &TWebApi::GameSegment},
        {kRead, "/api/v1/games/{id}/recording", Readers, &TWebApi::Recording},
        {kPost, "/api/v1/games/{id}/halt", Admin, &TWebApi::Halt},
        {kPost, "/api/v1/viewers/{id}/kick", Admin, &TWebApi::Kick, INT64_MAX},
        {kPost, "/api/v1/viewers/{id}/mute", Admin, &TWebApi::Mute, INT64_MAX},
        {kPost, "/api/v1/viewers/{id}/unmute", Admin, &TWebApi::Unmute, INT64_MAX},
        {kRead, "/api/v1/settings", Readers, &TWebApi::Settings},
        {kPut, "/api/v1/settings", Admin, &TWebApi::SetSettings},
    };
    return kRoutes;
}

THttpResponse TWebApi::Handle(const THttpRequest& request) {
    const std::vector<std::string_view> path = SplitPath(request.Path);
    const TRouteMatch<THandler> match = FindRoute(Routes(), request.Method, path);
    THttpResponse response = Answer(request, match);
    // Counted under the row's pattern, whoever refused it on the way.
    if (match.Route) response.Route = match.Route->Pattern;
    return response;
}

THttpResponse TWebApi::Answer(const THttpRequest& request, const TRouteMatch<THandler>& match) {
    if (IsLoopbackAddress(options_.Listen.Addr))
        if (const std::string* host = request.Header("Host"); host && !IsLocalHostHeader(*host))
            return ErrorResponse(403, "this relay answers only to its address or localhost");

    if (!match.Route) {
        if (match.Allowed == 0) return ErrorResponse(404, "no such resource");
        THttpResponse response = ErrorResponse(405, "method not allowed");
        response.Headers.emplace_back("Allow", AllowText(match.Allowed));
        return response;
    }
    if (auto refusal = CheckAccess(match.Route->Access, request)) return std::move(*refusal);
    return (this->*match.Route->Handler)(TCall{request, match.Numbers});
}

std::unique_ptr<THttpResponse> TWebApi::CheckAccess(TAccess access, const THttpRequest& request) {
    switch (access) {
        case TAccess::Anyone:
            return nullptr;
        case TAccess::Readers:
            return reads_need_password_ ? Authenticate(request, false) : nullptr;
        case TAccess::Admin:
            // A browser sends Origin with every POST, PUT and DELETE: one from
            // another site's page is refused, whatever credentials the browser
            // adds to it.
            if (const std::string* origin = request.Header("Origin")) {
                const std::string* host = request.Header("Host");
                if (!host ||
                    !(EqualsIgnoringCase(*origin, "http://" + *host) || EqualsIgnoringCase(*origin, "https://" + *host)))
                    return std::make_unique<THttpResponse>(
                        ErrorResponse(403, "a command from another site's page is refused"));
            }
            return Authenticate(request, true);
    }
    return nullptr;
}

THttpResponse TWebApi::OperatorPage(const TCall&) {
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

// Every read of the relay's state takes ?after=, so a malformed one is
// refused alike on each, whether it pages or not.

THttpResponse TWebApi::Metrics(const TCall& call) {
    if (!AfterOf(call.Request)) return BadAfter();
    THttpResponse response;
    response.ContentType = kMetricsContentType;
    response.Body = MetricsPage(form_, server_, origin_, started_wall_, options_.Version, more_metrics_);
    return response;
}

THttpResponse TWebApi::Status(const TCall& call) {
    if (!AfterOf(call.Request)) return BadAfter();
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(form_.Loop().Now() - started_);
    json status = json::parse(StatusJson(form_, options_.Version, started_wall_, uptime));
    status["warnings"] = SafetyWarnings(form_);
    return JsonResponse(200, status.dump());
}

THttpResponse TWebApi::GameList(const TCall& call) {
    const std::optional<int64_t> after = AfterOf(call.Request);
    if (!after) return BadAfter();
    return JsonResponse(200, GamesJson(form_, *after, kMaxListEntries));
}

THttpResponse TWebApi::ViewerList(const TCall& call) {
    const std::optional<int64_t> after = AfterOf(call.Request);
    if (!after) return BadAfter();
    return JsonResponse(200, ViewersJson(form_, *after, kMaxListEntries));
}

THttpResponse TWebApi::Log(const TCall& call) {
    const std::optional<int64_t> after = AfterOf(call.Request);
    if (!after) return BadAfter();
    return JsonResponse(200, LogJson(form_.Console().Log(), *after, kMaxLogLines));
}

namespace {

// Where an event stream starts: after ?after= when given, else after the
// event a reconnecting browser saw last (Last-Event-ID), else at the end.
int64_t StreamStart(const THttpRequest& request, int64_t after, int64_t end) {
    if (request.QueryValue("after")) return after;
    int64_t seen = 0;
    if (const std::string* last = request.Header("Last-Event-ID"); last && ParseWholeNumber(*last, seen, 0, INT64_MAX))
        return seen;
    return end;
}

}  // namespace

THttpResponse TWebApi::LogStream(const TCall& call) {
    const std::optional<int64_t> after = AfterOf(call.Request);
    if (!after) return BadAfter();
    const int64_t from = StreamStart(call.Request, *after, form_.Console().Log().Count());
    THttpResponse response;
    response.ContentType = "text/event-stream; charset=utf-8";
    response.Stream = std::make_unique<TLogStream>(form_.Console().Log(), from, form_.Loop());
    return response;
}

THttpResponse TWebApi::Chat(const TCall& call) {
    const std::optional<int64_t> after = AfterOf(call.Request);
    if (!after) return BadAfter();
    return JsonResponse(200, ChatJson(form_.Chat(), *after, kMaxChatLines));
}

THttpResponse TWebApi::ChatStream(const TCall& call) {
    const std::optional<int64_t> after = AfterOf(call.Request);
    if (!after) return BadAfter();
    // Each stream is woken by every line: their number is what a chat flood costs.
    if (*chat_streams_ >= kMaxChatStreams) {
        THttpResponse busy = ErrorResponse(503, "too many chat streams are open: try again later");
        busy.Headers.emplace_back("Retry-After", "10");
        return busy;
    }
    // As for the log: after `after`, or the last event seen, or the end.
    const int64_t from = StreamStart(call.Request, *after, form_.Chat().Count());
    THttpResponse response;
    response.ContentType = "text/event-stream; charset=utf-8";
    response.Stream = std::make_unique<TChatStream>(form_.Chat(), from, form_.Loop(), chat_streams_);
    return response;
}

// One game and its segments, for caches and edge relays (origin_routes.h).
THttpResponse TWebApi::GameDocument(const TCall& call) { return origin_.Game(call.Request, call.GameId()); }

THttpResponse TWebApi::GameSegment(const TCall& call) {
    return origin_.Segment(call.Request, call.GameId(), static_cast<int32_t>(call.Numbers.Values[1]));
}

namespace {

THttpResponse NoSuchGame() { return ErrorResponse(404, "no such game"); }
THttpResponse NoSuchViewer() { return ErrorResponse(404, "no such viewer"); }
THttpResponse SenderNotConnected() { return ErrorResponse(409, "the game's sender is not connected"); }

THttpResponse Done(int64_t id, const char* done) { return JsonResponse(200, json{{"id", id}, {done, true}}.dump()); }

}  // namespace

// Each command checks first what the frame would refuse, so that its answer
// says why and nothing is logged for a command that cannot run.

THttpResponse TWebApi::Halt(const TCall& call) {
    const int32_t id = call.GameId();
    const TGameList* games = form_.Games();
    const int32_t index = games ? games->IndexOfId(id) : -1;
    if (index < 0) return NoSuchGame();
    const TWSocketClient* sender = games->At(index).Sender();
    if (!sender || sender->State() != wsConnected) return SenderNotConnected();
    return RunCommand(call.Request, "Halt Transfer on game " + std::to_string(id),
                      [&] { return form_.HaltGame(id) ? Done(id, "halted") : SenderNotConnected(); });
}

THttpResponse TWebApi::Delete(const TCall& call) {
    const int32_t id = call.GameId();
    const TGameList* games = form_.Games();
    if (!games || games->IndexOfId(id) < 0) return NoSuchGame();
    return RunCommand(call.Request, "Delete Game on game " + std::to_string(id),
                      [&] { return form_.DeleteGame(id) ? Done(id, "deleted") : NoSuchGame(); });
}

bool TWebApi::HasConnectedViewer(int64_t id) const {
    const TWSocketServer& viewers = form_.DemoViewers();
    for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
        const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
        if (static_cast<int64_t>(viewer->Seq) == id && viewer->State() == wsConnected) return true;
    }
    return false;
}

THttpResponse TWebApi::Kick(const TCall& call) {
    const int64_t id = call.Numbers.Values[0];
    if (!HasConnectedViewer(id)) return NoSuchViewer();
    return RunCommand(call.Request, "Kick User on viewer " + std::to_string(id),
                      [&] { return form_.KickViewer(static_cast<uint64_t>(id)) ? Done(id, "kicked") : NoSuchViewer(); });
}

THttpResponse TWebApi::Mute(const TCall& call) { return SetMuted(call, true); }
THttpResponse TWebApi::Unmute(const TCall& call) { return SetMuted(call, false); }

THttpResponse TWebApi::SetMuted(const TCall& call, bool muted) {
    const int64_t id = call.Numbers.Values[0];
    if (!HasConnectedViewer(id)) return NoSuchViewer();
    return RunCommand(call.Request, std::string(muted ? "Mute" : "Unmute") + " User on viewer " + std::to_string(id),
                      [&] {
                          if (!form_.MuteViewer(static_cast<uint64_t>(id), muted)) return NoSuchViewer();
                          return JsonResponse(200, json{{"id", id}, {"muted", muted}}.dump());
                      });
}

namespace {

// The setup page's spin fields as the API names them.
struct TSettingKey {
    std::string_view Key;
    std::string_view FieldName;  // as the settings file and the log name it
    TSpinField TSetupFields::*Field;
};
constexpr TSettingKey kSettingKeys[] = {
    {"broadcast_delay_seconds", "BroadcastDelaySpin", &TSetupFields::BroadcastDelaySpin},
    {"catch_up_packets", "CatchUpSpin", &TSetupFields::CatchUpSpin},
    {"crowd_limit", "CrowdSpin", &TSetupFields::CrowdSpin},
    {"max_clients", "MaxClientsSpin", &TSetupFields::MaxClientsSpin},
};

const TSettingKey* FindSettingKey(std::string_view key) {
    for (const TSettingKey& setting : kSettingKeys)
        if (setting.Key == key) return &setting;
    return nullptr;
}

// What the relay acts on: a value typed out of range counts as brought into it.
THttpResponse SettingsAnswer(const TSetupFields& fields) {
    json body = json::object();
    for (const TSettingKey& setting : kSettingKeys) body[std::string(setting.Key)] = (fields.*setting.Field).Clamped();
    return JsonResponse(200, body.dump());
}

}  // namespace

THttpResponse TWebApi::Settings(const TCall& call) {
    if (!AfterOf(call.Request)) return BadAfter();
    return SettingsAnswer(form_.Setup());
}

THttpResponse TWebApi::SetSettings(const TCall& call) {
    const std::string& text = call.Request.Body;
    if (text.size() > kMaxSettingsBody) return ErrorResponse(413, "the settings body is larger than 4096 bytes");
    const json body = json::parse(text, nullptr, false);
    if (!body.is_object()) return ErrorResponse(400, "the body must be a JSON object of settings");

    struct TChange {
        const TSettingKey* Setting;
        int Value;
    };
    std::vector<TChange> changes;
    for (const auto& [key, value] : body.items()) {
        const TSettingKey* setting = FindSettingKey(key);
        // The parser took the key as valid UTF-8, so the answer can carry it.
        if (!setting) return ErrorResponse(400, "unknown setting: " + key);
        const TSpinField& field = form_.Setup().*setting->Field;
        const std::string range = std::string(setting->Key) + " must be a whole number from " +
                                  std::to_string(field.Min()) + " to " + std::to_string(field.Max());
        if (!value.is_number_integer()) return ErrorResponse(400, range);
        // An unsigned JSON integer beyond int64's range is out of every field's.
        if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(field.Max()))
            return ErrorResponse(400, range);
        const int64_t number = value.get<int64_t>();
        if (number < field.Min() || number > field.Max()) return ErrorResponse(400, range);
        changes.push_back({setting, static_cast<int>(number)});
    }
    for (const TChange& change : changes) {
        // Through the field, so that whatever acts on it (the relay, the
        // window) hears of the change as it does of the operator's.
        THttpResponse failed =
            RunCommand(call.Request,
                       "Setup " + std::string(change.Setting->FieldName) + " = " + std::to_string(change.Value), [&] {
                           (form_.SetupForEditing().*change.Setting->Field).SetValue(change.Value);
                           return THttpResponse{};
                       });
        if (failed.Status != 200) return failed;
    }
    return SettingsAnswer(form_.Setup());
}

THttpResponse TWebApi::RunCommand(const THttpRequest& request, const std::string& logText,
                                  const std::function<THttpResponse()>& command) {
    form_.ServerLog(false, "Remote admin " + request.PeerAddr + ": " + logText);
    try {
        return command();
    } catch (const std::exception& e) {
        // As for the window's commands: the operator is told.
        form_.FrontEnd().ReportError(e);
        return ErrorResponse(500, Latin1ToUtf8(e.what()));
    }
}

THttpResponse TWebApi::Recording(const TCall& call) {
    const int32_t id = call.GameId();
    const TRecorder* recorder = form_.Recording().Recorder();
    const TGameList* games = form_.Games();
    const int32_t index = games ? games->IndexOfId(id) : -1;
    if (!recorder) return ErrorResponse(404, "recording is off");
    if (index < 0) return ErrorResponse(404, "no such game");
    uint64_t size = 0;
    const int fd = recorder->OpenForReading(id, size);
    if (fd < 0) return ErrorResponse(404, "the game has no recording");
    // Records are appended as packets are acknowledged, so the packets the
    // broadcast delay still holds are the file's tail: it is cut before the
    // first record of one acknowledged less than the delay ago.
    const TActiveGameList& game = games->At(index);
    const TBroadcastDelay& delay = form_.BroadcastDelay();
    for (int32_t l = delay.VisibleEnd(game); l < game.Count(); ++l) {
        const TRecordRef record = recorder->RecordOf(id, l);
        if (record.Offset != 0 && delay.Recent(game, l)) size = std::min(size, record.Offset);
    }
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

}  // namespace vistrel
