// TAdminAuth: who may use the HTTP API. Operator commands need HTTP Basic
// authentication whose password is the remote admin password (the user name
// is ignored); with no remote admin password set, every command is refused.
// After a failed authentication, that address waits kFailureWait before its
// next attempt is considered (answered "too many requests" meanwhile), by the
// loop's clock. The password is compared in constant time and never kept or
// logged here. Owned by TWebApi.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/event_loop.h"

namespace vistrel {

enum class TAuthResult {
    Allowed,
    NoPassword,  // no remote admin password is set: 403
    Missing,     // no Basic credentials: 401
    Wrong,       // the wrong password: 401, and the address waits
    Waiting,     // the address failed less than kFailureWait ago: 429
};

class TAdminAuth {
public:
    static constexpr std::chrono::milliseconds kFailureWait{1000};
    // Addresses remembered at most; the oldest are forgotten first once
    // their wait is over.
    static constexpr size_t kMaxRemembered = 4096;

    // authorization: the Authorization header, or null. password: the remote
    // admin password as stored (8-bit text).
    TAuthResult Check(const std::string* authorization, std::string_view peerAddr, std::string_view password,
                      TEventLoop::Clock::time_point now);

    // Addresses waiting now (tests).
    size_t Remembered() const noexcept { return failures_.size(); }

private:
    void Forget(TEventLoop::Clock::time_point now);

    std::unordered_map<std::string, TEventLoop::Clock::time_point> failures_;
};

// Equal in a time that depends only on the length of given, never on where
// the texts differ or on the expected text.
bool ConstantTimeEquals(std::string_view given, std::string_view expected) noexcept;
// The password of a "Basic" Authorization header value, base64 decoded; false
// when the header is not one.
bool BasicPassword(std::string_view header, std::string& password);

}  // namespace vistrel
