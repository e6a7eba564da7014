// TWSocketClient: one accepted TCP connection, made and owned by its
// TWSocketServer (the core derives TDemoSender and TDemoViewer from it). Adds
// the cached peer address, the banner, linger on with 0 s (closing resets the
// connection), the data-available event and the client-closed notice to its
// server, which raises OnClientDisconnect and then destroys the object.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <netinet/in.h>

#include "net/custom_wsocket.h"

namespace vistrel {

class TWSocketServer;

class TWSocketClient : public TCustomWSocket {
public:
    using TDataAvailable = std::function<void(TWSocketClient& sender, uint16_t error)>;
    using TSendOverflowEvent = std::function<void(TWSocketClient& sender, const std::string& reason)>;

    explicit TWSocketClient(TEventLoop& loop);
    ~TWSocketClient() override;

    // Dotted address and decimal port, read once at the accept.
    const std::string& PeerAddr() const { return peer_addr_; }
    const std::string& PeerPort() const { return peer_port_; }
    TWSocketServer* Server() const { return server_; }

    // Sends Banner + CR LF unless Banner is empty.
    void SendBanner();

    std::string Banner;
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
    void Adopt(int fd, const struct sockaddr_in& peer);

    TWSocketServer* server_ = nullptr;
    std::string peer_addr_;
    std::string peer_port_;
};

}  // namespace vistrel
