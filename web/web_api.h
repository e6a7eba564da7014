// TWebApi: the relay's HTTP side. Serves, on the relay's own loop (through
// THttpServer), version 1 of the JSON API over the frame's read-only views,
// the operator commands through the same frame operations the window uses,
// the server log as Server-Sent Events and the metrics page:
//
//   GET    /api/v1/status            counts, memory, uptime, warnings
//   GET    /api/v1/games             the games list (at most kMaxListEntries, ?after=ID)
//   GET    /api/v1/viewers           viewer connections (at most kMaxListEntries, ?after=ID)
//   GET    /api/v1/log?after=N       log lines after sequence number N (at most kMaxLogLines)
//   GET    /api/v1/log/stream        the same, live, as Server-Sent Events
//   GET    /api/v1/chat?after=N      chat lines after sequence number N (at most kMaxChatLines)
//   GET    /api/v1/chat/stream       the same, live, as Server-Sent Events (at most kMaxChatStreams)
//   POST   /api/v1/games/{id}/halt   Halt Transfer
//   GET    /api/v1/games/{id}        one game, its segments (TOriginRoutes)
//   GET    /api/v1/games/{id}/segments/{n}  its stored packets 64n..64n+63
//   DELETE /api/v1/games/{id}        Delete Game
//   POST   /api/v1/viewers/{id}/kick Kick User
//   POST   /api/v1/viewers/{id}/mute, .../unmute  its chat passed on to nobody, or again
//   GET    /api/v1/games/{id}/recording  the game's recording file
//   GET    /api/v1/settings          the spin fields of the setup page
//   PUT    /api/v1/settings          sets some of them (JSON, at most kMaxSettingsBody)
//   GET    /metrics                  Prometheus text format
//
// Each endpoint is one row of the route table (web_api.cpp, route_table.h).
// Commands need the remote admin password (TAdminAuth); reads need it or the
// watch password when the server listens on an address other than loopback,
// unless PublicRead. Commands go to the frame by identifier (HaltGame, DeleteGame,
// KickViewer). Made by the front ends after the frame's start-up and
// destroyed before the frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "relay/main_form.h"
#include "web/admin_auth.h"
#include "web/http_server.h"
#include "web/metrics_page.h"
#include "web/origin_routes.h"
#include "web/route_table.h"

namespace vistrel {

struct TWebOptions {
    THttpListen Listen;
    // The certificate and key for HTTPS; none: plain HTTP.
    THttpTls Tls;
    // Reads need no password on any address.
    bool PublicRead = false;
    // The program's version, shown by /api/v1/status.
    std::string Version;
    THttpLimits Limits;
    TAuthLimits AuthLimits;
    // Reads need a password on loopback too (a machine whose other users
    // must not read); PublicRead wins.
    bool ClosedRead = false;
};

// What the operator must be told about the relay's exposure, as log lines:
// no filming password while the senders' port listens beyond loopback.
// Shown by /api/v1/status ("warnings") and logged by vistreld at start-up.
std::vector<std::string> SafetyWarnings(const TMainForm& form);

class TWebApi {
public:
    static constexpr int32_t kMaxLogLines = 1000;
    static constexpr int32_t kMaxListEntries = 1000;
    static constexpr int32_t kMaxChatLines = 1000;
    // Chat streams open at once; one more is answered 503.
    static constexpr int kMaxChatStreams = 16;
    // A settings body names four numbers: anything larger is no such body.
    static constexpr size_t kMaxSettingsBody = 4096;
    // How often parked log streams are woken to send a keep-alive.
    static constexpr std::chrono::seconds kStreamCheck{15};

    TWebApi(TMainForm& form, TWebOptions options);
    ~TWebApi();
    TWebApi(const TWebApi&) = delete;
    TWebApi& operator=(const TWebApi&) = delete;

    // Listens; raises EHttpServerError.
    void Start();
    void Stop();
    uint16_t LocalPort() const { return server_.LocalPort(); }
    THttpServer& Server() noexcept { return server_; }
    const TAdminAuth& Auth() const noexcept { return auth_; }
    // Whether reads need the password.
    bool ReadsNeedPassword() const noexcept { return reads_need_password_; }
    const TOriginRoutes& Origin() const noexcept { return origin_; }
    // Families the metrics page adds after the relay's (edge mode's health);
    // cleared with {} before what it reads goes.
    void SetMoreMetrics(TMoreMetrics more) { more_metrics_ = std::move(more); }

    // The answer to one request (the server's handler).
    THttpResponse Handle(const THttpRequest& request);

private:
    // A request that matched a row, with the numbers its path gave.
    struct TCall {
        const THttpRequest& Request;
        TPathNumbers Numbers;

        int32_t GameId() const noexcept { return static_cast<int32_t>(Numbers.Values[0]); }
    };
    using THandler = THttpResponse (TWebApi::*)(const TCall& call);
    // The route table: one row per endpoint.
    static std::span<const TRoute<THandler>> Routes();

    // The answer to a request, given the row it matched (if any).
    THttpResponse Answer(const THttpRequest& request, const TRouteMatch<THandler>& match);
    // Null when the request may go on; else the refusal to send.
    // command: only the remote admin password will do.
    std::unique_ptr<THttpResponse> Authenticate(const THttpRequest& request, bool command);
    std::unique_ptr<THttpResponse> CheckAccess(TAccess access, const THttpRequest& request);

    THttpResponse OperatorPage(const TCall& call);
    THttpResponse Metrics(const TCall& call);
    THttpResponse Status(const TCall& call);
    THttpResponse GameList(const TCall& call);
    THttpResponse ViewerList(const TCall& call);
    THttpResponse Log(const TCall& call);
    THttpResponse LogStream(const TCall& call);
    THttpResponse Chat(const TCall& call);
    THttpResponse ChatStream(const TCall& call);
    THttpResponse GameDocument(const TCall& call);
    THttpResponse GameSegment(const TCall& call);
    // The game's recording as a download, or 404.
    THttpResponse Recording(const TCall& call);
    THttpResponse Halt(const TCall& call);
    THttpResponse Delete(const TCall& call);
    // A viewer of this identifier is connected (a command on it can run).
    bool HasConnectedViewer(int64_t id) const;
    THttpResponse Kick(const TCall& call);
    THttpResponse Mute(const TCall& call);
    THttpResponse Unmute(const TCall& call);
    THttpResponse SetMuted(const TCall& call, bool muted);
    THttpResponse Settings(const TCall& call);
    // Checks every key and value of the body before it sets any: an unknown
    // key, a value that is no whole number or one out of its field's range
    // answers 400 and changes nothing.
    THttpResponse SetSettings(const TCall& call);
    // Logs the command (logText) as the remote admin's, then runs it: its
    // answer, or 500 when it raised (reported as the window's commands are).
    THttpResponse RunCommand(const THttpRequest& request, const std::string& logText,
                             const std::function<THttpResponse()>& command);
    void ArmStreamCheck();

    TMainForm& form_;
    TWebOptions options_;
    TAdminAuth auth_;
    THttpServer server_;
    TOriginRoutes origin_;
    TMoreMetrics more_metrics_;
    bool reads_need_password_;
    int log_subscription_ = 0;
    int chat_subscription_ = 0;
    // Chat streams open now (TChatStream counts itself).
    std::shared_ptr<int> chat_streams_ = std::make_shared<int>(0);
    TEventLoop::TimerId stream_check_ = 0;
    std::chrono::system_clock::time_point started_wall_;
    TEventLoop::Clock::time_point started_;
};

}  // namespace vistrel
