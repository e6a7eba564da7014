#include "net/socket_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace vistrel {

uint16_t TSocketAddress::Port() const {
    if (Family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&Storage)->sin_port);
    if (Family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&Storage)->sin6_port);
    return 0;
}

void TSocketAddress::SetPort(uint16_t port) {
    if (Family() == AF_INET) reinterpret_cast<sockaddr_in*>(&Storage)->sin_port = htons(port);
    if (Family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&Storage)->sin6_port = htons(port);
}

std::string_view WithoutBrackets(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
    return text;
}

bool ParseIpAddress(std::string_view text, uint16_t port, TSocketAddress& out) {
    // Longer than any address text: refused before it is copied.
    if (text.size() > INET6_ADDRSTRLEN + 2) return false;
    const bool bracketed = WithoutBrackets(text).size() != text.size();
    const std::string host(WithoutBrackets(text));
    TSocketAddress parsed;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&parsed.Storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&parsed.Storage);
    if (!bracketed && inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        parsed.Size = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        parsed.Size = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    parsed.SetPort(port);
    out = parsed;
    return true;
}

bool IsIpAddress(std::string_view text) {
    TSocketAddress parsed;
    return ParseIpAddress(text, 0, parsed);
}

bool IsLoopbackIp(std::string_view text) {
    TSocketAddress parsed;
    if (!ParseIpAddress(text, 0, parsed)) return false;
    if (parsed.Family() == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(&parsed.Storage)->sin_addr.s_addr) >> 24) == 127;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&parsed.Storage)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
}

bool IsIpv6Any(std::string_view text) {
    TSocketAddress parsed;
    if (!ParseIpAddress(text, 0, parsed) || parsed.Family() != AF_INET6) return false;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&parsed.Storage)->sin6_addr;
    return IN6_IS_ADDR_UNSPECIFIED(&a);
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a)) {
            in_addr v4{};
            std::memcpy(&v4, &a.s6_addr[12], sizeof v4);
            inet_ntop(AF_INET, &v4, text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &a, text, sizeof text);
        }
    }
    return text;
}

std::string HostPort(std::string_view addr, std::string_view port) {
    const bool v6 = !addr.empty() && addr.find(':') != std::string_view::npos && addr.front() != '[';
    std::string text;
    if (v6) text += '[';
    text += addr;
    if (v6) text += ']';
    text += ':';
    text += port;
    return text;
}

std::string HostPort(std::string_view addr, uint16_t port) { return HostPort(addr, std::to_string(port)); }

}  // namespace vistrel
