// A plain TCP client for the connection-layer tests: connects to 127.0.0.1,
// then reads without blocking so the test can step the server's loop.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "client/tcp_connect.h"

namespace vistrel::testing {

// The client side of the protocol (client/) is at hand unqualified.
using namespace vistrel::client;

class TPeer {
public:
    explicit TPeer(uint16_t port, int rcvbuf = 0) {
        TConnectOptions options;
        options.ReceiveBuffer = rcvbuf;
        fd_ = ConnectTcp(port, options);
        connected_ = fd_ >= 0;
    }
    ~TPeer() { Close(); }
    TPeer(const TPeer&) = delete;
    TPeer& operator=(const TPeer&) = delete;

    bool Connected() const { return connected_; }
    uint16_t LocalPort() const {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        return ntohs(sa.sin_port);
    }

    // Writes what the kernel takes now; returns the count.
    size_t Send(std::string_view data) {
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        return done;
    }
    // Reads what is there; notes the end of the stream.
    const std::string& Pump() {
        char buf[65536];
        for (;;) {
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                got_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) ended_ = true;
            return got_;
        }
    }
    bool Ended() {
        Pump();
        return ended_;
    }
    const std::string& Got() const { return got_; }
    // The kernel's state of this end (TCP_CLOSE_WAIT after the server's FIN
    // alone, TCP_CLOSE once a reset came).
    int TcpState() const {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
        return info.tcpi_state;
    }
    // Closes with a reset instead of a FIN.
    void Reset() {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
    std::string got_;
};

}  // namespace vistrel::testing
