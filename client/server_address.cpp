#include "client/server_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "base/whole_number.h"
#include "net/socket_address.h"

namespace vistrel::client {

bool ParseServerAddress(std::string_view text, uint16_t defaultPort, TServerAddress& out) {
    const size_t colon = text.rfind(':');
    std::string_view host = text;
    uint16_t port = defaultPort;
    // An IPv6 address without brackets is all host: its colons are its own.
    const bool manyColons = text.find(':') != colon;
    if (colon != std::string_view::npos && !manyColons && (text.front() != '[' || text[colon - 1] == ']')) {
        host = text.substr(0, colon);
        if (!ParseWholeNumber(text.substr(colon + 1), port, 1, 65535)) return false;
    }
    if (manyColons && text.front() == '[') {
        const size_t close = text.rfind(']');
        if (close == std::string_view::npos) return false;
        host = text.substr(0, close + 1);
        if (close + 1 < text.size() &&
            (text[close + 1] != ':' || !ParseWholeNumber(text.substr(close + 2), port, 1, 65535)))
            return false;
    }
    host = WithoutBrackets(host);
    if (host.empty()) return false;
    out.Host = std::string(host);
    out.Port = port;
    return true;
}

std::string ResolveIpv4(const std::string& host, std::string& error) {
    error.clear();
    if (IsIpAddress(host)) return host;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        error = rc != 0 ? gai_strerror(rc) : "no IPv4 address";
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return text;
}

}  // namespace vistrel::client
