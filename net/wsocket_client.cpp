#include "net/wsocket_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/wsocket_server.h"

namespace vistrel {

TWSocketClient::TWSocketClient(TEventLoop& loop) : TCustomWSocket(loop) {}

TWSocketClient::~TWSocketClient() = default;

void TWSocketClient::Adopt(int fd, const TSocketAddress& peer) {
    AttachSocket(fd, "WSAAsyncSelect");
    // Closing must reset the connection at once and drop unsent output.
    linger lin{1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lin, sizeof lin) != 0) RaiseErrno(errno, "setsockopt(SO_LINGER)");
    SetState(wsConnected);
    if (peer.Family() != AF_INET && peer.Family() != AF_INET6) RaiseSocketError(kWsaEInval, "GetPeerName");
    peer_addr_ = AddressText(peer.Raw());
    peer_port_ = peer.Port();
}

void TWSocketClient::SendBanner(const std::string& banner) {
    if (banner.empty()) return;
    Send(banner + "\r\n");
}

bool TWSocketClient::TriggerDataAvailable(uint16_t error) {
    if (!OnDataAvailable) return TCustomWSocket::TriggerDataAvailable(error);
    OnDataAvailable(*this, error);
    return true;
}

void TWSocketClient::TriggerSessionClosed() {
    if (server_) server_->PostClientClosed(this);
}

void TWSocketClient::TriggerSendOverflow(const std::string& reason) {
    if (OnSendOverflow) OnSendOverflow(*this, reason);
}

void TWSocketClient::TriggerAboveSoftLimit() {
    if (server_) server_->WatchSlowReaders();
}

const TSendLimits& TWSocketClient::SendLimits() const {
    return server_ ? server_->ClientSendLimits : TCustomWSocket::SendLimits();
}

}  // namespace vistrel
