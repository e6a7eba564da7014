#include "web/admin_auth.h"

#include <cstdint>

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


void TAdminAuth::Forget(TEventLoop::Clock::time_point now) {
    std::erase_if(failures_, [now](const auto& entry) { return now - entry.second >= kFailureWait; });
}

TAuthResult TAdminAuth::Check(const std::string* authorization, std::string_view peerAddr, std::string_view password,
                              TEventLoop::Clock::time_point now) {
    if (password.empty()) return TAuthResult::NoPassword;
    const std::string peer(peerAddr);
    if (auto it = failures_.find(peer); it != failures_.end()) {
        if (now - it->second < kFailureWait) return TAuthResult::Waiting;
        failures_.erase(it);
    }
    std::string given;
    if (!authorization || !BasicPassword(*authorization, given)) return TAuthResult::Missing;
    // A browser sends UTF-8; the password is stored as 8-bit text. Both
    // forms are compared, each in constant time.
    const bool raw = ConstantTimeEquals(given, password);
    const bool utf8 = ConstantTimeEquals(given, Latin1ToUtf8(password));
    if (raw || utf8) return TAuthResult::Allowed;
    if (failures_.size() >= kMaxRemembered) Forget(now);
    if (failures_.size() < kMaxRemembered) failures_[peer] = now;
    return TAuthResult::Wrong;
}

}  // namespace vistrel
