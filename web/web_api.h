// TWebApi: the relay's HTTP side. Serves, on the relay's own loop (through
// THttpServer), version 1 of the JSON API over the frame's read-only views,
// the operator commands through the same frame operations the window uses,
// the server log as Server-Sent Events and the metrics page:
//
//   GET    /api/v1/status            counts, memory, uptime
//   GET    /api/v1/games             the games list (at most kMaxListEntries, ?after=ID)
//   GET    /api/v1/viewers           viewer connections (at most kMaxListEntries, ?after=ID)
//   GET    /api/v1/log?after=N       log lines after sequence number N (at most kMaxLogLines)
//   GET    /api/v1/log/stream        the same, live, as Server-Sent Events
//   POST   /api/v1/games/{id}/halt   Halt Transfer
//   GET    /api/v1/games/{id}        one game, its segments (TOriginRoutes)
//   GET    /api/v1/games/{id}/segments/{n}  its stored packets 64n..64n+63
//   DELETE /api/v1/games/{id}        Delete Game
//   POST   /api/v1/viewers/{id}/kick Kick User
//   GET    /api/v1/games/{id}/recording  the game's recording file
//   GET    /metrics                  Prometheus text format
//
// Commands need the remote admin password (TAdminAuth); reads need it too
// when the server listens on an address other than loopback, unless
// PublicRead. Made by the front ends after the frame's start-up and
// destroyed before the frame.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "relay/main_form.h"
#include "web/admin_auth.h"
#include "web/http_server.h"
#include "web/origin_routes.h"

namespace vistrel {

struct TWebOptions {
    THttpListen Listen;
    // Reads need no password on any address.
    bool PublicRead = false;
    // The program's version, shown by /api/v1/status.
    std::string Version;
    THttpLimits Limits;
};

class TWebApi {
public:
    static constexpr int32_t kMaxLogLines = 1000;
    static constexpr int32_t kMaxListEntries = 1000;
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

    // The answer to one request (the server's handler).
    THttpResponse Handle(const THttpRequest& request);

    // The bodies of the read endpoints.
    std::string StatusJson() const;
    std::string GamesJson(int64_t after) const;
    std::string ViewersJson(int64_t after) const;
    std::string LogJson(int64_t after) const;
    std::string MetricsText() const;

private:
    // Null when the request may go on; else the refusal to send.
    std::unique_ptr<THttpResponse> Authenticate(const THttpRequest& request);
    THttpResponse Command(const THttpRequest& request, const std::string& what, int64_t id);
    // The game's recording as a download, or 404.
    THttpResponse Recording(int32_t id);
    void ArmStreamCheck();

    TMainForm& form_;
    TWebOptions options_;
    TAdminAuth auth_;
    THttpServer server_;
    TOriginRoutes origin_;
    bool reads_need_password_;
    int log_subscription_ = 0;
    TEventLoop::TimerId stream_check_ = 0;
    std::chrono::system_clock::time_point started_wall_;
    TEventLoop::Clock::time_point started_;
};

}  // namespace vistrel
