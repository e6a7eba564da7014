// A socket listening on 127.0.0.1 at a port the kernel picks, closed with the
// object: a port that is taken, an upstream that never answers, a relay
// played by the test, a bare baseline server.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vistrel::testing {

class TLoopbackListener {
public:
    // socketFlags: SOCK_NONBLOCK for a listener on an event loop.
    explicit TLoopbackListener(int backlog = 16, int socketFlags = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | socketFlags, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd_, backlog) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0)
            return;
        port_ = ntohs(addr.sin_port);
    }
    ~TLoopbackListener() {
        if (fd_ >= 0) close(fd_);
    }
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    bool Listening() const { return port_ != 0; }
    int Handle() const { return fd_; }
    uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace vistrel::testing
