// TWSocketClient: one accepted TCP connection, made and owned by its
// TWSocketServer (the relay derives TDemoSender and TDemoViewer from it). Adds
// the cached peer address, the banner, linger on with 0 s (closing resets the
// connection), the data-available event and the client-closed notice to its
// server, which raises OnClientDisconnect and then destroys the object.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/custom_wsocket.h"
#include "net/socket_address.h"

namespace vistrel {

class TWSocketServer;

class TWSocketClient : public TCustomWSocket {
public:
    using TDataAvailable = std::function<void(TWSocketClient& sender, uint16_t error)>;
    using TSendOverflowEvent = std::function<void(TWSocketClient& sender, const std::string& reason)>;

    explicit TWSocketClient(TEventLoop& loop);
    ~TWSocketClient() override;

    // The peer's address as AddressText shows it (dotted IPv4, an IPv4 peer
    // of a dual-stack socket too, else IPv6) and its decimal port, read once
    // at the accept.
    const std::string& PeerAddr() const { return peer_addr_; }
    std::string PeerPort() const { return std::to_string(peer_port_); }
    uint16_t PeerPortNumber() const { return peer_port_; }
    TWSocketServer* Server() const { return server_; }

    // Sends banner + CR LF unless banner is empty (the server's greeting:
    // a crowd of connections keeps no copy of it).
    void SendBanner(const std::string& banner);

    TDataAvailable OnDataAvailable;
    // Called just before a connection is closed for leaving too much output
    // unsent (reason names the limit), so the owner can log it.
    TSendOverflowEvent OnSendOverflow;

protected:
    bool TriggerDataAvailable(uint16_t error) override;
    void TriggerSessionClosed() override;
    void TriggerSendOverflow(const std::string& reason) override;
    void TriggerAboveSoftLimit() override;
    const TSendLimits& SendLimits() const override;

private:
    friend class TWSocketServer;
    // Adopts an accepted socket: registration, linger, state, and the peer
    // address as accept returned it (so it cannot fail on a peer that has
    // already gone).
    void Adopt(int fd, const TSocketAddress& peer);

    TWSocketServer* server_ = nullptr;
    std::string peer_addr_;
    uint16_t peer_port_ = 0;
};

}  // namespace vistrel
