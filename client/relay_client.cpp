#include "client/relay_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "client/server_packets.h"
#include "client/tcp_connect.h"

namespace vistrel::client {

namespace {

// The relay leaves the small-write delay on: a small packet written while an
// earlier one is unacknowledged waits for our acknowledgement. Acknowledging
// at once (instead of the delayed acknowledgement) lets every packet of one
// handler arrive within the same few loop steps. The kernel forgets the
// setting, so it is renewed after every read.
void QuickAck(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

}  // namespace

TRelayClient::TRelayClient(uint16_t port, int receiveBuffer, const std::string& address) {
    TConnectOptions options;
    options.Address = address;
    options.ReceiveBuffer = receiveBuffer;
    // Pieces a test writes go out at once, not held for an acknowledgement.
    options.NoDelay = true;
    fd_ = ConnectTcp(port, options);
    connected_ = fd_ >= 0;
    connect_error_ = connected_ ? 0 : errno;
    if (connected_) QuickAck(fd_);
}

bool TRelayClient::Send(std::string_view data) {
    outbox_ += data;
    Flush();
    return !failed_;
}

void TRelayClient::Flush() {
    if (fd_ >= 0 && !failed_ && !SendFromOutbox(fd_, outbox_)) failed_ = true;
}

void TRelayClient::Pump() {
    Flush();
    if (fd_ < 0 || paused_) return;
    if (in_pos_ > 0) {
        in_.erase(0, in_pos_);
        in_pos_ = 0;
    }
    char buf[kReadSize];
    // Per pump, also while input is dropped: a flood cannot keep the caller here.
    size_t budget = kMaxUnread;
    while (budget > 0) {
        const size_t room = discard_ ? budget : std::min(budget, kMaxUnread - in_.size());
        if (room == 0) return;
        const ssize_t n = recv(fd_, buf, std::min(room, sizeof buf), 0);
        if (n > 0) {
            if (!discard_) in_.append(buf, static_cast<size_t>(n));
            received_ += static_cast<size_t>(n);
            budget -= static_cast<size_t>(n);
            QuickAck(fd_);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
        return;
    }
}

bool TRelayClient::WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        Pump();
        if (pred()) return true;
        if (ended_ || fd_ < 0) return false;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        short events = outbox_.empty() ? 0 : POLLOUT;
        if (!paused_ && !Full()) events |= POLLIN;
        if (events == 0) {
            // Nothing to wait for on the connection: only the time passes.
            poll(nullptr, 0, static_cast<int>(left));
            continue;
        }
        pollfd p{fd_, events, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

std::string TRelayClient::Take(size_t n) {
    std::string out = in_.substr(in_pos_, n);
    in_pos_ += out.size();
    if (in_pos_ == in_.size()) {
        in_.clear();
        in_pos_ = 0;
    }
    return out;
}

bool TRelayClient::HasPacket() const { return ServerPacketSize(Unread()) > 0; }

std::string TRelayClient::TakePacket() { return Take(ServerPacketSize(Unread())); }

void TRelayClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool AwaitGreeting(TRelayClient& client, std::chrono::milliseconds limit, std::string& error) {
    const std::string busy = std::string(kBannerTooBusy) + std::string(kLineEnd);
    const std::string greeting = std::string(kBanner) + std::string(kLineEnd);
    // Whole once it is the greeting, the refusal, or neither can follow.
    const auto decided = [&] {
        const std::string_view in = client.Unread();
        const size_t n = std::min(in.size(), busy.size());
        const bool maybeBusy = busy.compare(0, n, in, 0, n) == 0;
        return in.size() >= busy.size() || (in.size() >= kGreetingSize && !maybeBusy);
    };
    client.WaitUntil(decided, limit);
    const std::string_view in = client.Unread();
    if (in.compare(0, busy.size(), busy) == 0) {
        error = "the relay has as many clients as it takes";
        return false;
    }
    if (in.size() >= kGreetingSize && in.compare(0, kGreetingSize, greeting) == 0) {
        client.Take(kGreetingSize);
        return true;
    }
    if (in.size() < kGreetingSize && greeting.compare(0, in.size(), in) == 0)
        error = client.Ended() ? "the relay closed the connection before its greeting" : "no greeting from the relay";
    else
        error = "what answers there is not a relay (no greeting)";
    return false;
}

}  // namespace vistrel::client
