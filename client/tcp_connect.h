// Opening a TCP connection for a client in a test, benchmark or tool: a
// blocking connect (on loopback it completes from the listener's backlog,
// before the server accepts it, so a test can connect before it steps the
// server's loop), then the descriptor is made non-blocking.
#pragma once

#include <cstdint>
#include <string>

namespace vistrel::client {

struct TConnectOptions {
    // A numeric IPv4 or IPv6 address.
    std::string Address = "127.0.0.1";
    // SO_RCVBUF set before connecting; 0 keeps the kernel's default.
    int ReceiveBuffer = 0;
    // TCP_NODELAY: small writes go out at once.
    bool NoDelay = false;
};

// The connected, non-blocking descriptor, or -1 with errno telling why (an
// address that is not IPv4 or IPv6 text gives EINVAL).
int ConnectTcp(uint16_t port, const TConnectOptions& options = {});

// Hands the front of outbox to the non-blocking descriptor until it is empty
// or the kernel takes no more, erasing what was sent. False when the
// connection failed (anything but a full send buffer).
bool SendFromOutbox(int fd, std::string& outbox);

}  // namespace vistrel::client
