#include "web/admin_auth.h"

#include <cstdint>
#include <utility>

#include "base/ascii_case.h"
#include "base/latin1.h"

namespace vistrel {

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

bool Base64Decode(std::string_view text, std::string& out) {
    out.clear();
    uint32_t bits = 0;
    int count = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] != '='; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) return false;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    for (; i < text.size(); ++i)
        if (text[i] != '=') return false;
    return true;
}

}  // namespace

bool ConstantTimeEquals(std::string_view given, std::string_view expected) noexcept {
    // Every byte of given is compared with a byte of expected (cycled), so
    // the work is the same wherever they differ.
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    if (expected.empty()) return given.empty();
    for (size_t i = 0; i < given.size(); ++i)
        diff |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    return diff == 0;
}

bool BasicPassword(std::string_view header, std::string& password) {
    while (!header.empty() && header.front() == ' ') header.remove_prefix(1);
    constexpr std::string_view kScheme = "basic";
    if (header.size() <= kScheme.size() || !StartsWithIgnoringCase(header, kScheme)) return false;
    if (header[kScheme.size()] != ' ') return false;
    header.remove_prefix(kScheme.size());
    while (!header.empty() && header.front() == ' ') header.remove_prefix(1);
    while (!header.empty() && header.back() == ' ') header.remove_suffix(1);
    std::string decoded;
    if (!Base64Decode(header, decoded)) return false;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos) return false;
    password = decoded.substr(colon + 1);
    return true;
}

namespace {

// A browser sends UTF-8; a password is stored as 8-bit text. Both forms are
// compared, each in constant time; an empty password matches nothing.
bool Matches(std::string_view given, std::string_view password) {
    if (password.empty()) return false;
    const bool raw = ConstantTimeEquals(given, password);
    const bool utf8 = ConstantTimeEquals(given, Latin1ToUtf8(password));
    return raw || utf8;
}

}  // namespace

TAdminAuth::TAdminAuth(TAuthLimits limits, TLogSink log) : limits_(limits), log_(std::move(log)) {}

TAuthResult TAdminAuth::Check(const std::string* authorization, std::string_view peerAddr,
                              const TCredentials& credentials, bool command, TEventLoop::Clock::time_point now) {
    const bool readCredential = !command && !credentials.Read.empty();
    if (credentials.Admin.empty() && !readCredential) return TAuthResult::NoPassword;
    const auto found = index_.find(peerAddr);
    const TPeers::iterator known = found == index_.end() ? peers_.end() : found->second;
    if (known != peers_.end() && Waiting(*known, now)) return TAuthResult::Waiting;
    std::string given;
    if (!authorization || !BasicPassword(*authorization, given)) return TAuthResult::Missing;

    if (now - second_start_ >= std::chrono::seconds(1)) {
        second_start_ = now;
        second_failures_ = 0;
    }
    if (second_failures_ >= limits_.MaxFailuresPerSecond) return TAuthResult::Busy;
    // A failure of this address could not be remembered: it is not heard.
    if (known == peers_.end() && peers_.size() >= limits_.MaxRemembered &&
        (peers_.empty() || Waiting(peers_.back(), now)))
        return TAuthResult::Busy;

    // Both compared whatever the first gives, so the time tells neither.
    const bool admin = Matches(given, credentials.Admin);
    const bool read = Matches(given, credentials.Read);
    if (admin) return TAuthResult::Allowed;
    if (read) return command ? TAuthResult::ReadOnly : TAuthResult::Allowed;
    ++second_failures_;
    RecordFailure(known, peerAddr, now);
    return TAuthResult::Wrong;
}

bool TAdminAuth::RecordFailure(TPeers::iterator known, std::string_view addr, TEventLoop::Clock::time_point now) {
    if (known == peers_.end()) {
        if (peers_.size() >= limits_.MaxRemembered) {
            if (peers_.empty() || Waiting(peers_.back(), now)) return false;
            // Its unreported failures are dropped: its first one was logged.
            index_.erase(peers_.back().Addr);
            peers_.pop_back();
        }
        peers_.push_front(TPeer{std::string(addr), now, 0, now, now});
        index_.emplace(peers_.front().Addr, peers_.begin());
        TPeer& peer = peers_.front();
        peer.Pending = 1;
        Report(peer, now);
        return true;
    }
    peers_.splice(peers_.begin(), peers_, known);
    TPeer& peer = *known;
    peer.LastFailure = now;
    if (peer.Pending++ == 0) peer.FirstPending = now;
    if (now - peer.LastReport >= kReportEvery) Report(peer, now);
    return true;
}

void TAdminAuth::ReportPending(TEventLoop::Clock::time_point now) {
    for (TPeer& peer : peers_)
        if (peer.Pending > 0 && now - peer.LastReport >= kReportEvery) Report(peer, now);
}

void TAdminAuth::Report(TPeer& peer, TEventLoop::Clock::time_point now) {
    std::string line = "HTTP login failed from " + peer.Addr;
    if (peer.Pending > 1) {
        const auto span = std::chrono::round<std::chrono::seconds>(now - peer.FirstPending);
        line += " (" + std::to_string(peer.Pending) + " times in the last " +
                (span <= kReportEvery ? std::string("minute") : std::to_string(span.count()) + " seconds") + ")";
    }
    peer.Pending = 0;
    peer.LastReport = now;
    if (log_) log_(line);
}

}  // namespace vistrel
