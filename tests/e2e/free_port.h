// A loopback port for a relay started as a process, which must be told its
// ports before it starts.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace vistrel::testing {

// A port nobody listens on right now, taken below the kernel's ephemeral
// range (tests running alongside listen on port 0). Another test may still
// take it first; callers that start a relay on it try again with a new one
// when the relay cannot bind. 0 when none was found.
inline int FreePort() {
    int low = 32768;
    if (FILE* range = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (fscanf(range, "%d", &low) != 1) low = 32768;
        fclose(range);
    }
    const int first = 10000, span = std::max(1000, low - first);
    static std::mt19937 pick(static_cast<unsigned>(getpid()) * 2654435761u ^
                             static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = first + static_cast<int>(pick() % static_cast<unsigned>(span));
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (free) return port;
    }
    return 0;
}

// Whether ::1 is up here (the IPv6 tests skip where it is not).
inline bool HasIpv6Loopback() {
    std::ifstream in("/proc/net/if_inet6");
    return std::string(std::istreambuf_iterator<char>(in), {}).find(std::string(31, '0') + "1 ") != std::string::npos;
}

}  // namespace vistrel::testing
