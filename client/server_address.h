// Where a tool finds a relay: HOST[:PORT] as a user types it (an IPv6 address
// as [::1]:PORT, or bare without a port), and the host turned into the
// numeric address ConnectTcp takes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel::client {

struct TServerAddress {
    std::string Host;
    uint16_t Port = 0;
};

// "host", "host:port", "1.2.3.4:port", "[::1]:port", "[::1]", "::1" (Host
// without brackets). The port, when given, is 1..65535;
// without one, defaultPort. False for an empty host or a bad port.
bool ParseServerAddress(std::string_view text, uint16_t defaultPort, TServerAddress& out);

// The host's first IPv4 address in dotted form (a numeric IPv4 or IPv6
// address is taken as it is); empty, with the resolver's reason in error,
// when it has none.
std::string ResolveIpv4(const std::string& host, std::string& error);

}  // namespace vistrel::client
