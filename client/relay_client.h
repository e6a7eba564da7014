// TRelayClient: one client connection to the relay's sender or viewer port.
// It never blocks: what the kernel does not take at once waits in an outbox
// that Pump() flushes, and Pump() reads whatever has arrived, so a test can
// upload megabytes while it steps the relay's loop on the same thread.
// WaitUntil() is the bounded wait for a relay that runs elsewhere (another
// thread or process). Received bytes stay in order until taken: the
// greeting line with Take(), then whole packets with TakePacket().
//
// What a relay sends is a stranger's: the bytes not yet taken are bounded
// (kMaxUnread, one packet of the largest size and one read), and a pump reads
// at most that much, so a flood neither grows the buffer nor keeps a caller
// from looking at its stop flag. Taking a packet moves an offset; the taken
// bytes are dropped once per read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/packet_framing.h"
#include "core/protocol.h"

namespace vistrel::client {

// "Welcome to TcpSrv" CR LF, written before any packet.
inline constexpr size_t kGreetingSize = kBanner.size() + kLineEnd.size();
// One read off the socket.
inline constexpr size_t kReadSize = 65536;
// Received bytes not yet taken, at most: a whole packet of the largest size
// always fits, so a sound stream never stalls at the bound.
inline constexpr size_t kMaxUnread = static_cast<size_t>(kMaxDemoPacketLength) + kReadSize;

class TRelayClient {
public:
    // Connects to address:port. receiveBuffer > 0 sets a small receive
    // buffer, for a viewer that is to fall behind.
    explicit TRelayClient(uint16_t port, int receiveBuffer = 0, const std::string& address = "127.0.0.1");
    ~TRelayClient() { Close(); }
    TRelayClient(const TRelayClient&) = delete;
    TRelayClient& operator=(const TRelayClient&) = delete;

    bool Connected() const { return connected_; }
    // errno of a failed connect; 0 after a successful one.
    int ConnectError() const { return connect_error_; }
    // The descriptor, for waiting on it; -1 once closed or never connected.
    int Handle() const { return fd_; }

    // Queues data and writes what the kernel takes now. False once a write
    // has failed for another reason than a full socket.
    bool Send(std::string_view data);
    bool OutboxEmpty() const { return outbox_.empty(); }

    // Flushes the outbox, then reads what there is, unless reading is
    // paused: at most kMaxUnread bytes, and none beyond kMaxUnread unread.
    void Pump();
    // A viewer that stops reading.
    void PauseReading(bool paused) { paused_ = paused; }
    // From now on what arrives is counted and dropped: for a client that
    // only has to keep its connection read.
    void DiscardInput(bool discard) { discard_ = discard; }

    // Pumps until pred holds, waiting for the connection in between; false
    // after limit, or once the connection has ended without pred holding.
    bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);

    // The relay closed the connection, or reading failed.
    bool Ended() const { return ended_; }
    std::string_view Unread() const { return std::string_view(in_).substr(in_pos_); }
    // kMaxUnread bytes wait to be taken: nothing more is read until some are.
    bool Full() const { return in_.size() - in_pos_ >= kMaxUnread; }
    // Every byte received so far, taken, dropped or not.
    size_t Received() const { return received_; }

    // Takes up to n bytes from the front (the greeting).
    std::string Take(size_t n);
    // A whole packet at the front (see ServerPacketSize).
    bool HasPacket() const;
    // That packet; empty when there is none.
    std::string TakePacket();

    void Close();

private:
    void Flush();

    int fd_ = -1;
    int connect_error_ = 0;
    bool connected_ = false;
    bool ended_ = false;
    bool failed_ = false;
    bool paused_ = false;
    bool discard_ = false;
    std::string outbox_;
    // Received bytes; those before in_pos_ are taken already.
    std::string in_;
    size_t in_pos_ = 0;
    size_t received_ = 0;
};

// Waits (bounded) for the relay's greeting and takes it. False, with why in
// error, when the connection ends first, the relay says it is full, or what
// arrives is not the greeting.
bool AwaitGreeting(TRelayClient& client, std::chrono::milliseconds limit, std::string& error);

}  // namespace vistrel::client
