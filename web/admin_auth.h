// TAdminAuth: who may use the HTTP API. Credentials come with HTTP Basic
// authentication (the user name is ignored). Commands need the remote admin
// password; reads, where they need a password at all, take the remote admin
// password or the watch password (the read credential). An empty password is
// no credential: with neither set, every request that needs one is refused.
//
// Guessing is slowed and bounded. After a failed attempt, that address waits
// kFailureWait before its next attempt is considered (answered "too many
// requests" meanwhile), by the loop's clock. The addresses are remembered in
// a table of at most MaxRemembered, the least recently failed forgotten
// first, but never one still waiting: when every one of them is, an address
// not in the table is refused unheard (Busy), so a crowd of addresses gets no
// more guesses than the table allows. Across all addresses, at most
// MaxFailuresPerSecond failed attempts are heard in a second; beyond that
// every attempt waits for the next second (Busy).
//
// A failed attempt is logged with the address, at most one line per address
// per kReportEvery, that line counting the failures since the previous one.
// Passwords are compared in constant time and never kept or logged here.
// Owned by TWebApi.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/event_loop.h"

namespace vistrel {

enum class TAuthResult {
    Allowed,
    NoPassword,  // no password that could allow the request is set: 403
    ReadOnly,    // the watch password given for a command: 403
    Missing,     // no Basic credentials: 401
    Wrong,       // the wrong password: 401, and the address waits
    Waiting,     // the address failed less than kFailureWait ago: 429
    Busy,        // too many failures everywhere: 429, the password unheard
};

// The passwords as stored (8-bit text); empty: none.
struct TCredentials {
    std::string_view Admin;
    std::string_view Read;
};

struct TAuthLimits {
    size_t MaxRemembered = 4096;
    int MaxFailuresPerSecond = 100;
};

class TAdminAuth {
public:
    static constexpr std::chrono::milliseconds kFailureWait{1000};
    static constexpr std::chrono::seconds kReportEvery{60};
    // Receives each log line (the server log).
    using TLogSink = std::function<void(const std::string& line)>;

    explicit TAdminAuth(TAuthLimits limits = {}, TLogSink log = {});

    // authorization: the Authorization header, or null. command: the request
    // is an operator command (only the remote admin password will do).
    TAuthResult Check(const std::string* authorization, std::string_view peerAddr, const TCredentials& credentials,
                      bool command, TEventLoop::Clock::time_point now);
    // Logs the failures not yet reported of every address whose last line is
    // kReportEvery old (from a periodic timer), so none goes unreported.
    void ReportPending(TEventLoop::Clock::time_point now);

    // Addresses remembered now (tests).
    size_t Remembered() const noexcept { return peers_.size(); }
    const TAuthLimits& Limits() const noexcept { return limits_; }

private:
    struct TPeer {
        std::string Addr;
        TEventLoop::Clock::time_point LastFailure;
        // Failures since the last line about this address, the first of them at FirstPending.
        int64_t Pending = 0;
        TEventLoop::Clock::time_point FirstPending;
        TEventLoop::Clock::time_point LastReport;
    };
    using TPeers = std::list<TPeer>;  // the most recently failed first

    // The failure of a known or new address; false when no room can be made.
    bool RecordFailure(TPeers::iterator known, std::string_view addr, TEventLoop::Clock::time_point now);
    void Report(TPeer& peer, TEventLoop::Clock::time_point now);
    bool Waiting(const TPeer& peer, TEventLoop::Clock::time_point now) const noexcept {
        return now - peer.LastFailure < kFailureWait;
    }

    TAuthLimits limits_;
    TLogSink log_;
    TPeers peers_;
    std::unordered_map<std::string_view, TPeers::iterator> index_;
    TEventLoop::Clock::time_point second_start_{};
    int second_failures_ = 0;
};

// Equal in a time that depends only on the length of given, never on where
// the texts differ or on the expected text.
bool ConstantTimeEquals(std::string_view given, std::string_view expected) noexcept;
// The password of a "Basic" Authorization header value, base64 decoded; false
// when the header is not one.
bool BasicPassword(std::string_view header, std::string& password);

}  // namespace vistrel
