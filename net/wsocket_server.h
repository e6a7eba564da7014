// TWSocketServer: a listening TCP socket (IPv4 or IPv6), and further ones on
// other addresses at the same port (ListenAlso), with one client list. It
// accepts pending connections (at most 64 per readiness event and socket), makes one connection
// object per connection through ClientFactory, raises the client events, and
// delivers each connection's client-closed notice: OnClientDisconnect, then
// the object is destroyed. It keeps the sum of its connections' unsent output
// and, while a connection's output is above the soft send limit, checks the
// limits every second, so a reader that stopped is closed on a quiet server.
// It counts the errors that it and its connections catch and go on after
// (HandlerErrors, OnHandlerError). Owned by the relay frame (TMainForm: DemoSenders,
// DemoViewers); owns its connection objects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/custom_wsocket.h"
#include "net/last_words.h"
#include "net/socket_address.h"
#include "net/wsocket_client.h"

namespace vistrel {

class TWSocketServer : public TCustomWSocket {
public:
    using TWSocketClientConnectEvent =
        std::function<void(TWSocketServer& sender, TWSocketClient& client, uint16_t error)>;
    using TWSocketClientCreateEvent = std::function<void(TWSocketServer& sender, TWSocketClient& client)>;
    using TClientFactory = std::function<std::unique_ptr<TWSocketClient>()>;

    // Connections the kernel may hold completed for accept (listen's backlog).
    static constexpr int kDefaultBacklog = 511;
    static constexpr int kAcceptsPerEvent = 64;
    // How often the send limits of connections above the soft limit are checked.
    static constexpr std::chrono::milliseconds kSlowReaderCheck{1000};

    explicit TWSocketServer(TEventLoop& loop);
    // Destroys the remaining connections, last to first, without disconnect events.
    ~TWSocketServer() override;

    // Changing any of these while not wsClosed raises "Cannot change X if not
    // closed"; setting the current value is always accepted.
    const std::string& Proto() const { return proto_; }
    void SetProto(const std::string& value);
    const std::string& Addr() const { return addr_; }
    void SetAddr(const std::string& value);
    const std::string& Port() const { return port_; }
    void SetPort(const std::string& value);

    // Opens the listening socket (SO_REUSEADDR, Backlog); raises
    // ESocketException naming the failed step ("Bind", "Listen", ...).
    void Listen();
    // Opens one more listening socket, on addr (numeric IPv4 or IPv6) at the
    // port Listen bound, so port "0" gives every address the same port.
    // Raises as Listen does; the sockets already open stay open.
    void ListenAlso(const std::string& addr);
    // The bound port (after Listen), so a server can listen on "0".
    uint16_t LocalPort() const;
    // The address of each listening socket as it is shown (Addr first).
    std::vector<std::string> ListeningAddrs() const;

    int32_t ClientCount() const { return static_cast<int32_t>(clients_.size()); }
    // The unsent output of all connections together, kept as they queue and send.
    size_t ClientOutputBytes() const { return client_output_bytes_; }
    TWSocketClient* Client(int index) const;
    // Errors the server and its connections caught and went on after without
    // a background-error handler hearing of them (a data handler's error
    // above all), counted since the start; each is described to
    // OnHandlerError as it happens.
    uint64_t HandlerErrors() const { return handler_errors_.Count(); }

    TClientFactory ClientFactory;
    int32_t MaxClients = 0;
    // listen's backlog, read by Listen (1 .. 65535; the kernel caps it at
    // net.core.somaxconn).
    int Backlog = kDefaultBacklog;
    // An IPv6 socket on :: takes IPv4 peers too (they show as dotted IPv4
    // addresses); otherwise every IPv6 socket is IPv6 alone, so 0.0.0.0 can
    // listen beside it. Read by Listen and ListenAlso.
    bool DualStack = false;
    std::string Banner = "Welcome to TcpSrv";
    std::string BannerToBusy = "Sorry, too many clients";
    // Output bounds given to every connection of this server.
    TSendLimits ClientSendLimits;

    TWSocketClientCreateEvent OnClientCreate;
    TWSocketClientConnectEvent OnClientConnect;
    TWSocketClientConnectEvent OnClientDisconnect;
    // Hears a one-line description of each error HandlerErrors counts (for
    // a debug log); may be empty. Not called while the server is destroyed.
    THandlerErrors::TSink OnHandlerError;

protected:
    void Dispatch(uint32_t events) override;
    uint32_t WantedInterest() const override;

private:
    friend class TWSocketClient;
    void PostClientClosed(TWSocketClient* client);
    // A connection's output went above the soft limit: the checks start.
    void WatchSlowReaders();
    void CheckSlowReaders();
    void DeliverClientClosed(TWSocketClient* client);
    // Takes over one connection accept4 returned: makes its object
    // (ClientFactory), adopts the descriptor, raises OnClientConnect, then
    // sends the banner, or the busy banner and a close beyond MaxClients.
    void AcceptOne(int fd, const TSocketAddress& peer);
    // Accepts what is pending on one listening socket.
    void AcceptFrom(int listenFd);
    // A bound, listening, non-blocking socket on address; raises.
    int OpenListeningSocket(const TSocketAddress& address);
    void CloseMoreListeners();
    void RemoveClient(TWSocketClient* client);
    // Descriptors ran out: shed one pending connection, or pause accepting.
    bool HandleAcceptFailure(int listenFd, int err);
    void PauseAccepting();
    void ResolveBinding(TSocketAddress& sa);
    void ReportAcceptExhaustion(int err);

    std::string proto_ = "tcp";
    std::string addr_ = "0.0.0.0";
    std::string port_;
    bool proto_resolved_ = false;
    bool port_resolved_ = false;
    bool addr_resolved_ = false;
    int proto_number_ = 0;
    uint16_t port_number_ = 0;  // network order
    TSocketAddress addr_resolved_to_;
    // The listening sockets beyond the first (ListenAlso), with their address.
    struct TMoreListener {
        int Fd = -1;
        std::string Addr;
    };
    std::vector<TMoreListener> more_listeners_;

    // Before the connections: it outlives them.
    TLastWords last_words_{Loop()};
    std::vector<std::unique_ptr<TWSocketClient>> clients_;
    // Liveness token: posted notices hold a weak reference, so a notice for a
    // server that is gone is dropped.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
    int spare_fd_ = -1;  // released when descriptors run out, to shed a connection
    bool exhaustion_reported_ = false;
    TEventLoop::TimerId resume_timer_ = 0;
    TEventLoop::TimerId slow_reader_timer_ = 0;
    size_t client_output_bytes_ = 0;
    THandlerErrors handler_errors_{OnHandlerError};
};

}  // namespace vistrel
