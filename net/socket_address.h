// Socket addresses as the relay shows and reads them: IPv4 and IPv6 in one
// type, the text an operator types (a dotted IPv4 address, an IPv6 address
// with or without brackets) and the text the log, the lists and the API show.
// An IPv4 peer reaching a dual-stack IPv6 socket arrives as ::ffff:a.b.c.d;
// it is shown as a.b.c.d, as it would be on an IPv4 socket, so that one
// peer has one name whichever socket it came through.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel {

struct TSocketAddress {
    sockaddr_storage Storage{};
    socklen_t Size = 0;

    int Family() const { return Storage.ss_family; }
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&Storage); }
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&Storage); }
    uint16_t Port() const;
    void SetPort(uint16_t port);
};

// A numeric IPv4 or IPv6 address ("[::1]" too) at port; false for anything
// else (names included: they would be looked up, which may block).
bool ParseIpAddress(std::string_view text, uint16_t port, TSocketAddress& out);
bool IsIpAddress(std::string_view text);
// 127.x.x.x, ::1 and ::ffff:127.x.x.x.
bool IsLoopbackIp(std::string_view text);
// Whether text is the IPv6 address of every interface (::).
bool IsIpv6Any(std::string_view text);

// The host part of address as shown: dotted IPv4 (an IPv4-mapped IPv6
// address too), else IPv6 text; "" for another family.
std::string AddressText(const sockaddr* address);
// An address without its brackets, as the system's parser takes it.
std::string_view WithoutBrackets(std::string_view text);
// "a.b.c.d:PORT" or "[v6]:PORT", for ADDR:PORT in the log.
std::string HostPort(std::string_view addr, uint16_t port);
std::string HostPort(std::string_view addr, std::string_view port);

}  // namespace vistrel
