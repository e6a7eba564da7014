#include "client/tcp_connect.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket_address.h"

namespace vistrel::client {

int ConnectTcp(uint16_t port, const TConnectOptions& options) {
    TSocketAddress sa;
    if (!ParseIpAddress(options.Address, port, sa)) {
        errno = EINVAL;
        return -1;
    }
    const int fd = socket(sa.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    if (options.NoDelay) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (options.ReceiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.ReceiveBuffer, sizeof options.ReceiveBuffer);
    if (connect(fd, sa.Raw(), sa.Size) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool SendFromOutbox(int fd, std::string& outbox) {
    while (!outbox.empty()) {
        const ssize_t n = send(fd, outbox.data(), outbox.size(), MSG_NOSIGNAL);
        if (n > 0) {
            outbox.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    return true;
}

}  // namespace vistrel::client
