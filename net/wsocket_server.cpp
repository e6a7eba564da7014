#include "net/wsocket_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace vistrel {

namespace {

// How long accepting pauses when descriptors run out and none can be freed.
constexpr std::chrono::milliseconds kAcceptPause{100};

bool StartsWithDigit(const std::string& s) {
    return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0]));
}

}  // namespace

TWSocketServer::TWSocketServer(TEventLoop& loop) : TCustomWSocket(loop) { SetHandlerErrors(&handler_errors_); }

TWSocketServer::~TWSocketServer() {
    destroying_ = true;
    alive_.reset();  // notices still queued for this server are dropped
    if (resume_timer_ != 0) Loop().CancelTimer(resume_timer_);
    if (slow_reader_timer_ != 0) Loop().CancelTimer(slow_reader_timer_);
    while (!clients_.empty()) {
        std::unique_ptr<TWSocketClient> client = std::move(clients_.back());
        clients_.pop_back();
        client->destroying_ = true;  // no disconnect event at the end
        client.reset();
    }
    // Every connection took its share of the output sum with it.
    assert(client_output_bytes_ == 0);
    CloseMoreListeners();
    if (spare_fd_ >= 0) close(spare_fd_);
    // The counter goes with this object; the base's close counts nowhere.
    SetHandlerErrors(nullptr);
}

// ---------------------------------------------------------------- settings

void TWSocketServer::SetProto(const std::string& value) {
    if (value == proto_) return;
    if (State() != wsClosed) throw ESocketException("Cannot change Proto if not closed");
    proto_ = value;
    proto_resolved_ = false;
}

void TWSocketServer::SetAddr(const std::string& value) {
    if (value == addr_) return;
    if (State() != wsClosed) throw ESocketException("Cannot change Addr if not closed");
    addr_ = value;
    addr_resolved_ = false;
}

void TWSocketServer::SetPort(const std::string& value) {
    if (value == port_) return;
    if (State() != wsClosed) throw ESocketException("Cannot change Port if not closed");
    port_ = value;
    port_resolved_ = false;
}

TWSocketClient* TWSocketServer::Client(int index) const {
    if (index < 0 || index >= ClientCount()) return nullptr;
    return clients_[static_cast<size_t>(index)].get();
}

uint16_t TWSocketServer::LocalPort() const {
    if (Handle() < 0) return 0;
    TSocketAddress bound;
    bound.Size = sizeof bound.Storage;
    if (getsockname(Handle(), bound.Raw(), &bound.Size) != 0) return 0;
    return bound.Port();
}

std::vector<std::string> TWSocketServer::ListeningAddrs() const {
    std::vector<std::string> addrs;
    if (Handle() < 0) return addrs;
    addrs.push_back(addr_resolved_to_.Family() != 0 ? AddressText(addr_resolved_to_.Raw()) : addr_);
    for (const TMoreListener& more : more_listeners_) addrs.push_back(more.Addr);
    return addrs;
}

// ---------------------------------------------------------------- listening

void TWSocketServer::ResolveBinding(TSocketAddress& sa) {
    if (!proto_resolved_) {
        if (StartsWithDigit(proto_)) {
            proto_number_ = std::atoi(proto_.c_str());
        } else {
            protoent entry{};
            protoent* found = nullptr;
            char buf[1024];
            if (getprotobyname_r(proto_.c_str(), &entry, buf, sizeof buf, &found) == 0 && found) {
                proto_number_ = found->p_proto;
            } else if (proto_ == "tcp") {
                proto_number_ = IPPROTO_TCP;  // a system without a protocol database
            } else {
                throw ESocketException("listen: Cannot convert protocol '" + proto_ + "'");
            }
        }
        proto_resolved_ = true;
    }
    if (!port_resolved_) {
        if (StartsWithDigit(port_) || (!port_.empty() && port_[0] == ' ')) {
            size_t i = port_.find_first_not_of(' ');
            long value = 0;
            for (; i < port_.size() && std::isdigit(static_cast<unsigned char>(port_[i])); ++i) {
                value = value * 10 + (port_[i] - '0');
                if (value > 65535) throw ESocketException("listen: Port number out of range '" + port_ + "'");
            }
            port_number_ = htons(static_cast<uint16_t>(value));
        } else {
            servent entry{};
            servent* found = nullptr;
            char buf[1024];
            const char* proto = StartsWithDigit(proto_) ? nullptr : proto_.c_str();
            if (getservbyname_r(port_.c_str(), proto, &entry, buf, sizeof buf, &found) != 0 || !found)
                throw ESocketException("listen: Cannot convert port '" + port_ + "'");
            port_number_ = static_cast<uint16_t>(found->s_port);
        }
        port_resolved_ = true;
    }
    if (!addr_resolved_) {
        in_addr a{};
        if (ParseIpAddress(addr_, 0, addr_resolved_to_)) {
        } else if (inet_aton(addr_.c_str(), &a) != 0) {
            // The short forms inet_aton takes ("127.1") as they always were.
            addr_resolved_to_ = TSocketAddress{};
            auto* v4 = reinterpret_cast<sockaddr_in*>(&addr_resolved_to_.Storage);
            v4->sin_family = AF_INET;
            v4->sin_addr = a;
            addr_resolved_to_.Size = sizeof(sockaddr_in);
        } else {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            addrinfo* res = nullptr;
            int rc = getaddrinfo(addr_.c_str(), nullptr, &hints, &res);
            if (rc != 0 || !res)
                throw ESocketException("listen: Cannot convert host address '" + addr_ + "'");
            addr_resolved_to_ = TSocketAddress{};
            std::memcpy(&addr_resolved_to_.Storage, res->ai_addr, sizeof(sockaddr_in));
            addr_resolved_to_.Size = sizeof(sockaddr_in);
            freeaddrinfo(res);
        }
        addr_resolved_ = true;
    }
    sa = addr_resolved_to_;
    sa.SetPort(ntohs(port_number_));
}

int TWSocketServer::OpenListeningSocket(const TSocketAddress& address) {
    int fd = socket(address.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, proto_number_);
    if (fd < 0) RaiseErrno(errno, "socket");
    // A restart must not be refused because of the previous run's
    // connections in TIME_WAIT; a port another process listens on still is.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.Family() == AF_INET6) {
        // Said either way, whatever the system's default (bindv6only).
        int v6Only = DualStack ? 0 : 1;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) != 0) {
            int err = errno;
            close(fd);
            RaiseErrno(err, "setsockopt(IPV6_V6ONLY)");
        }
    }
    if (bind(fd, address.Raw(), address.Size) != 0) {
        int err = errno;
        close(fd);
        RaiseErrno(err, "Bind");
    }
    if (listen(fd, std::clamp(Backlog, 1, 65535)) != 0) {
        int err = errno;
        close(fd);
        RaiseErrno(err, "Listen");
    }
    return fd;
}

void TWSocketServer::Listen() {
    if (port_.empty()) RaiseSocketError(kWsaEInval, "listen: port not assigned");
    if (proto_.empty()) RaiseSocketError(kWsaEInval, "listen: protocol not assigned");
    if (addr_.empty()) RaiseSocketError(kWsaEInval, "listen: address not assigned");
    if (State() != wsClosed || Handle() >= 0) RaiseSocketError(kWsaEInval, "listen: socket already open");

    TSocketAddress sa;
    ResolveBinding(sa);
    DiscardSendQueue();

    const int fd = OpenListeningSocket(sa);
    SetState(wsListening);
    try {
        AttachSocket(fd, "WSAASyncSelect");
    } catch (...) {
        CloseSocket({.SendQueued = false, .End = TCloseEnd::AsSet, .Report = false});
        throw;
    }
    if (spare_fd_ < 0) spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    exhaustion_reported_ = false;
}

void TWSocketServer::ListenAlso(const std::string& addr) {
    if (Handle() < 0 || State() != wsListening) RaiseSocketError(kWsaEInval, "listen: not listening");
    TSocketAddress sa;
    if (!ParseIpAddress(addr, LocalPort(), sa))
        throw ESocketException("listen: Cannot convert host address '" + addr + "'");
    const int fd = OpenListeningSocket(sa);
    if (const int err = Loop().Watch(fd, ReadingPaused() ? 0 : TEventLoop::kReadable,
                                     [this, fd](uint32_t) { Guarded([&] { AcceptFrom(fd); }); });
        err != 0) {
        close(fd);
        RaiseErrno(err, "WSAASyncSelect");
    }
    more_listeners_.push_back({fd, AddressText(sa.Raw())});
}

void TWSocketServer::CloseMoreListeners() {
    for (const TMoreListener& more : more_listeners_) {
        Loop().Unwatch(more.Fd);
        close(more.Fd);
    }
    more_listeners_.clear();
}

uint32_t TWSocketServer::WantedInterest() const {
    return ReadingPaused() ? 0 : TEventLoop::kReadable;
}

// ---------------------------------------------------------------- accepting

void TWSocketServer::Dispatch(uint32_t /*events*/) { AcceptFrom(Handle()); }

void TWSocketServer::AcceptFrom(int listenFd) {
    // Bounded, so a flood of connections cannot starve the established ones.
    for (int i = 0; i < kAcceptsPerEvent; ++i) {
        if (Handle() < 0 || State() != wsListening) return;
        TSocketAddress peer;
        peer.Size = sizeof peer.Storage;
        int fd = accept4(listenFd, peer.Raw(), &peer.Size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            switch (err) {
                case EAGAIN:
                    return;
                case EINTR:
                case ECONNABORTED:  // gone before we took it: nothing to report
                case EPROTO:
                    continue;
                case EMFILE:
                case ENFILE:
                case ENOBUFS:
                case ENOMEM: HandleAcceptFailure(listenFd, err); return;
                default:
                    Guarded([&] { RaiseErrno(err, "Accept"); });
                    return;
            }
        }
        exhaustion_reported_ = false;
        Guarded([&] { AcceptOne(fd, peer); });
    }
}

void TWSocketServer::RemoveClient(TWSocketClient* client) {
    auto it = std::find_if(clients_.begin(), clients_.end(),
                           [client](const std::unique_ptr<TWSocketClient>& c) { return c.get() == client; });
    if (it == clients_.end()) return;
    std::unique_ptr<TWSocketClient> doomed = std::move(*it);
    clients_.erase(it);
    doomed->destroying_ = true;
}

void TWSocketServer::AcceptOne(int fd, const TSocketAddress& peer) {
    TWSocketClient* client = nullptr;
    try {
        std::unique_ptr<TWSocketClient> made =
            ClientFactory ? ClientFactory() : std::make_unique<TWSocketClient>(Loop());
        if (!made) throw ESocketException("Accept: the client factory made no connection object");
        client = made.get();
        clients_.push_back(std::move(made));
        if (OnClientCreate) OnClientCreate(*this, *client);
        client->server_ = this;
        client->SetOutputAccount(&client_output_bytes_);
        client->SetHandlerErrors(&handler_errors_);
        client->SetLastWords(&last_words_);
        // A connection that fails while being taken over is dropped without
        // a disconnect: its connect event never ran.
        client->disconnect_reported_ = true;
        client->Adopt(fd, peer);
        fd = -1;
        client->disconnect_reported_ = false;
    } catch (...) {
        if (fd >= 0 && (!client || client->Handle() != fd)) close(fd);
        if (client) RemoveClient(client);
        throw;
    }

    if (OnClientConnect) OnClientConnect(*this, *client, 0);
    // Closed by the handler: no banner, no limit check.
    if (clients_.empty() || clients_.back().get() != client || client->State() != wsConnected) return;
    if (MaxClients > 0 && ClientCount() > MaxClients) {
        client->SendBanner(BannerToBusy);
        client->CloseAfterLastWords();
        return;
    }
    client->SendBanner(Banner);
}

bool TWSocketServer::HandleAcceptFailure(int listenFd, int err) {
    // Out of descriptors: the pending connection would make every later
    // wake-up fail the same way. Free the spare descriptor, take the
    // connection and drop it at once, then take the spare back.
    bool shed = false;
    if (spare_fd_ >= 0) {
        close(spare_fd_);
        spare_fd_ = -1;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            shed = true;
        }
        spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    if (spare_fd_ < 0) PauseAccepting();
    ReportAcceptExhaustion(err);
    return shed;
}

void TWSocketServer::PauseAccepting() {
    if (resume_timer_ != 0) return;
    PauseReading(true);
    for (const TMoreListener& more : more_listeners_) (void)Loop().Modify(more.Fd, 0);
    resume_timer_ = Loop().AddTimer(kAcceptPause, [this] {
        resume_timer_ = 0;
        if (spare_fd_ < 0) spare_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
        PauseReading(false);
        for (const TMoreListener& more : more_listeners_) (void)Loop().Modify(more.Fd, TEventLoop::kReadable);
    });
}

void TWSocketServer::ReportAcceptExhaustion(int err) {
    // Once per shortage, not once per wake-up; the server keeps listening
    // whatever the handler says.
    if (exhaustion_reported_) return;
    exhaustion_reported_ = true;
    ESocketException e(SocketErrorMessage(SocketErrorFromErrno(err), "Accept"), SocketErrorFromErrno(err));
    if (!OnBgException) {
        NoteHandlerError("Accept", Handle(), &e);
        return;
    }
    bool canClose = false;
    Noted("OnBgException", [&] { OnBgException(*this, e, canClose); });
}

// ---------------------------------------------------------------- slow readers

void TWSocketServer::WatchSlowReaders() {
    if (slow_reader_timer_ != 0) return;
    slow_reader_timer_ = Loop().AddTimer(kSlowReaderCheck, [this] {
        slow_reader_timer_ = 0;
        CheckSlowReaders();
    });
}

void TWSocketServer::CheckSlowReaders() {
    const auto now = Loop().Now();
    bool still = false;
    // By index: a close only posts its notice, the list stays as it is.
    for (size_t i = 0; i < clients_.size(); ++i) {
        TWSocketClient* client = clients_[i].get();
        if (client->State() != wsConnected || client->OverSoftLimitSince() == TEventLoop::Clock::time_point::max())
            continue;
        client->Guarded([&] { client->CheckSendLimits(now); });
        if (client->State() == wsConnected && client->OverSoftLimitSince() != TEventLoop::Clock::time_point::max())
            still = true;
    }
    if (still) WatchSlowReaders();
}

// ---------------------------------------------------------------- closed notices

void TWSocketServer::PostClientClosed(TWSocketClient* client) {
    std::weak_ptr<char> alive = alive_;
    Loop().Post([this, alive, client] {
        if (alive.expired()) return;
        DeliverClientClosed(client);
    });
}

void TWSocketServer::DeliverClientClosed(TWSocketClient* client) {
    auto listed = [&] {
        return std::any_of(clients_.begin(), clients_.end(),
                           [client](const std::unique_ptr<TWSocketClient>& c) { return c.get() == client; });
    };
    if (!listed()) return;
    Guarded([&] {
        if (OnClientDisconnect) OnClientDisconnect(*this, *client, 0);
    });
    // Destroyed whether or not the handler failed.
    RemoveClient(client);
}

}  // namespace vistrel
