// Shared pieces of the relay's end-to-end tests: a non-blocking loopback
// client that speaks the packet protocol, builders for the packets senders
// and viewers send, and a fixture running a TMainForm on ephemeral ports in
// this process. The test steps the loop itself (no threads, no sleeps) and
// fires the distribution timer by hand.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/game_list.h"
#include "relay/main_form.h"
#include "testing/main_form_probe.h"
#include "core/protocol.h"
#include "net/event_loop.h"

namespace vistrel::testing {

// ------------------------------------------------------------------ packets

inline std::string Header(int32_t type, size_t size) {
    std::string p(size, '\0');
    WriteInt32(p, PacketOffset::Type, type);
    WriteInt32(p, PacketOffset::Length, static_cast<int32_t>(size));
    return p;
}

inline std::string GameInfo(std::string_view user, std::string_view password, std::string_view name = "Final",
                            std::string_view mod = "ctf", int32_t gameType = 1) {
    std::string p = Header(PacketType::GAMEINFO, PacketSize::GAMEINFO);
    WriteInt32(p, PacketOffset::GameType, gameType);
    WriteTextSlot(p, Slot::GameInfoMod, mod);
    WriteTextSlot(p, Slot::GameInfoUserName, user);
    WriteTextSlot(p, Slot::GameInfoPassword, password);
    WriteTextSlot(p, Slot::GameInfoGameName, name);
    return p;
}

inline std::string Deflate(std::string_view data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    if (compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
                 static_cast<uLong>(data.size())) != Z_OK)
        throw std::runtime_error("compress");
    out.resize(size);
    return out;
}

inline uint32_t Crc(std::string_view data) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// A DEMOPACKET with a raw payload and check field as given.
inline std::string RawDemo(int32_t location, std::string_view payload, uint32_t check) {
    std::string p = Header(PacketType::DEMOPACKET, PacketSize::DemoHeader + payload.size());
    WriteInt32(p, PacketOffset::Check, static_cast<int32_t>(check));
    WriteInt32(p, PacketOffset::Location, location);
    p.replace(PacketSize::DemoHeader, payload.size(), payload);
    return p;
}

// A DEMOPACKET that passes the check: `content` compressed, its CRC-32.
inline std::string Demo(int32_t location, std::string_view content) {
    return RawDemo(location, Deflate(content), Crc(content));
}

// A DEMOPACKET whose payload inflates but whose check is wrong.
inline std::string BadCheckDemo(int32_t location, std::string_view content) {
    return RawDemo(location, Deflate(content), Crc(content) ^ 1u);
}

inline std::string Restart(int32_t location, std::string_view body) {
    std::string p = Header(PacketType::DEMORESTART, PacketSize::DemoHeader + body.size());
    WriteInt32(p, PacketOffset::Location, location);
    p.replace(PacketSize::DemoHeader, body.size(), body);
    return p;
}

inline std::string SendText(std::string_view line, std::string_view name = "") {
    std::string p = Header(PacketType::SENDTEXT, PacketSize::SENDTEXT);
    WriteTextSlot(p, Slot::SendTextName, name);
    WriteTextSlot(p, Slot::SendTextLine, line);
    return p;
}

inline std::string WaitForGame(int32_t id) {
    std::string p = Header(PacketType::WAITFORGAME, PacketSize::WAITFORGAME);
    WriteInt32(p, PacketOffset::GameId, id);
    return p;
}

inline std::string LeaveGame() { return Header(PacketType::LEAVEGAME, PacketSize::LEAVEGAME); }

inline std::string UserInfo(std::string_view name, size_t size = PacketSize::USERINFO) {
    std::string p = Header(PacketType::USERINFO, size);
    WriteTextSlot(p, Slot::UserInfoName, name);
    return p;
}

inline std::string AckNak(int32_t value) {
    std::string p = Header(PacketType::ACKNAK, PacketSize::ACKNAK);
    WriteInt32(p, PacketOffset::AckValue, value);
    return p;
}

// Readers of what the server sent.
inline int32_t TypeOf(std::string_view p) { return ReadInt32(p, PacketOffset::Type); }
inline int32_t AckValueOf(std::string_view p) { return ReadInt32(p, PacketOffset::AckValue); }
inline int32_t GameIdOf(std::string_view p) { return ReadInt32(p, PacketOffset::GameId); }
inline int32_t ViewersOf(std::string_view p) { return ReadInt32(p, PacketOffset::DetailedViewers); }
inline std::string TextOf(std::string_view p) { return ReadTextSlot(p, Slot::SendTextLine); }
inline std::string NameOf(std::string_view p) { return ReadTextSlot(p, Slot::SendTextName); }
inline std::string NoticeNameOf(std::string_view p) { return ReadTextSlot(p, Slot::UserNotice); }

// A short description for failure messages: "ACKNAK(0)", "SENDTEXT(A: hi)".
inline std::string Describe(std::string_view p) {
    std::string out(PacketLabel(TypeOf(p)));
    switch (TypeOf(p)) {
        case PacketType::ACKNAK: return out + "(" + std::to_string(AckValueOf(p)) + ")";
        case PacketType::SENDTEXT: return out + "(" + NameOf(p) + ": " + TextOf(p) + ")";
        case PacketType::USERENTERED:
        case PacketType::USERLEFT: return out + "(" + NoticeNameOf(p) + ")";
        case PacketType::GAMEINFODETAILED:
            return out + "(" + std::to_string(GameIdOf(p)) + ", " + std::to_string(ViewersOf(p)) + " viewers)";
        case PacketType::GAMEREMOVED: return "GAMEREMOVED(" + std::to_string(GameIdOf(p)) + ")";
        case PacketType::DEMOPACKET:
        case PacketType::DEMORESTART:
            return out + "(" + std::to_string(ReadInt32(p, PacketOffset::Location)) + ")";
        default: return out;
    }
}

// ------------------------------------------------------------------ client

// A loopback client. Writes that the kernel does not take at once wait in an
// outbox that Pump() flushes, so a test can upload megabytes while the
// server runs on the same thread.
class TRelayClient {
public:
    explicit TRelayClient(uint16_t port, int rcvbuf = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Pieces the test writes go out at once, not held for an acknowledgement.
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A loopback connect completes from the backlog, before the accept.
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        QuickAck();
    }
    ~TRelayClient() { Close(); }
    TRelayClient(const TRelayClient&) = delete;
    TRelayClient& operator=(const TRelayClient&) = delete;

    bool Connected() const { return connected_; }

    void Send(std::string_view data) {
        outbox_ += data;
        Flush();
    }
    bool OutboxEmpty() const { return outbox_.empty(); }

    // Flushes the outbox and reads what is there, unless reading is paused.
    void Pump() {
        Flush();
        if (fd_ < 0 || paused_) return;
        char buf[65536];
        for (;;) {
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                in_.append(buf, static_cast<size_t>(n));
                QuickAck();
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) ended_ = true;
            return;
        }
    }
    // A viewer that stops reading.
    void PauseReading(bool paused) { paused_ = paused; }

    bool Ended() const { return ended_; }
    const std::string& Unread() const { return in_; }
    size_t Received() const { return in_.size() + taken_; }

    // Takes n raw bytes from the front (the greeting).
    std::string Take(size_t n) {
        std::string out = in_.substr(0, n);
        in_.erase(0, out.size());
        taken_ += out.size();
        return out;
    }
    // A whole packet at the front, framed by its length field.
    bool HasPacket() const {
        if (in_.size() < PacketSize::Header) return false;
        int32_t length = ReadInt32(in_, PacketOffset::Length);
        return length >= static_cast<int32_t>(PacketSize::Header) && in_.size() >= static_cast<size_t>(length);
    }
    std::string TakePacket() { return Take(static_cast<size_t>(ReadInt32(in_, PacketOffset::Length))); }

    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    // The server leaves the small-write delay on: a small packet written
    // while an earlier one is unacknowledged waits for our acknowledgement.
    // Acknowledging at once (instead of the delayed acknowledgement) lets
    // every packet of a handler arrive within the same few loop steps.
    void QuickAck() {
        int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }

    void Flush() {
        while (fd_ >= 0 && !outbox_.empty()) {
            ssize_t n = send(fd_, outbox_.data(), outbox_.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            outbox_.erase(0, static_cast<size_t>(n));
        }
    }

    int fd_ = -1;
    bool connected_ = false;
    bool ended_ = false;
    bool paused_ = false;
    std::string outbox_;
    std::string in_;
    size_t taken_ = 0;
};

// ------------------------------------------------------------------ fixture

class TRecordingFrontEnd : public TFrontEnd {
public:
    void ReportError(const std::exception& e) override { errors.push_back(DescribeException(e)); }
    std::vector<std::string> errors;
};

class RelayTest : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kLimit{5000};

    void SetUp() override {
        form_ = std::make_unique<TMainForm>(loop_, front_, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
        ASSERT_TRUE(form_->FormCreate());
        // Ticks come only from Tick(): a test never waits for the timer.
        TMainFormProbe::DistrubuteDemo(*form_).SetInterval(3600 * 1000);
    }
    void TearDown() override {
        clients_.clear();
        form_.reset();
    }

    TMainForm& Form() { return *form_; }

    // A connected client that has read its greeting.
    TRelayClient& Connect(uint16_t port, int rcvbuf = 0) {
        clients_.push_back(std::make_unique<TRelayClient>(port, rcvbuf));
        TRelayClient& c = *clients_.back();
        EXPECT_TRUE(c.Connected());
        EXPECT_TRUE(WaitFor([&] { return c.Unread().size() >= 19 || c.Ended(); }));
        greeting_ = c.Take(19);
        return c;
    }
    TRelayClient& ConnectSender() {
        TRelayClient& c = Connect(TMainFormProbe::DemoSenders(*form_).LocalPort());
        EXPECT_EQ(greeting_, "Welcome to TcpSrv\r\n");
        return c;
    }
    TRelayClient& ConnectViewer(int rcvbuf = 0) {
        TRelayClient& c = Connect(TMainFormProbe::DemoViewers(*form_).LocalPort(), rcvbuf);
        EXPECT_EQ(greeting_, "Welcome to TcpSrv\r\n");
        return c;
    }
    // A viewer that has named itself and read the game list.
    TRelayClient& NamedViewer(std::string_view name) {
        TRelayClient& c = ConnectViewer();
        c.Send(UserInfo(name));
        EXPECT_EQ(AckValueOf(Next(c)), 0);
        for (int32_t i = 0; i < TMainFormProbe::Games(*form_)->Count(); ++i) EXPECT_EQ(TypeOf(Next(c)), PacketType::GAMEINFODETAILED);
        return c;
    }
    // A sender logged in with the (empty) filming password; returns its game id.
    int32_t LoggedInSender(TRelayClient*& out, std::string_view user = "Cam", std::string_view password = "") {
        out = &ConnectSender();
        const int32_t id = TMainFormProbe::GameIdCounter(*form_);
        out->Send(GameInfo(user, password));
        EXPECT_EQ(AckValueOf(Next(*out)), 0);
        Settle();
        return id;
    }

    // Steps the loop (pumping every client) until pred holds or the limit passes.
    bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = kLimit) {
        return loop_.RunUntil(
            [&] {
                for (auto& c : clients_) c->Pump();
                return pred();
            },
            limit);
    }
    // Runs the loop until everything sent so far has been handled, both ways.
    // Loopback delivers at once, so a few steps without waiting suffice.
    void Settle() {
        for (int i = 0; i < 16; ++i) {
            for (auto& c : clients_) c->Pump();
            loop_.RunOnce(0);
        }
        for (auto& c : clients_) c->Pump();
    }
    // The next whole packet the client receives ("" after the limit).
    std::string Next(TRelayClient& c) {
        if (!WaitFor([&] { return c.HasPacket(); })) {
            ADD_FAILURE() << "no packet arrived (" << c.Unread().size() << " bytes unread)";
            return {};
        }
        return c.TakePacket();
    }
    // Everything the client has been sent so far, described packet by packet.
    std::vector<std::string> Drain(TRelayClient& c) {
        Settle();
        std::vector<std::string> out;
        while (c.HasPacket()) out.push_back(Describe(c.TakePacket()));
        return out;
    }
    void Tick() {
        TMainFormProbe::DistrubuteDemo(*form_).Fire();
        Settle();
    }
    bool Logged(std::string_view text) const {
        for (const std::string& line : form_->Console().Log().Lines())
            if (line.size() >= 20 && std::string_view(line).substr(20) == text) return true;
        return false;
    }
    bool LoggedContaining(std::string_view text) const {
        for (const std::string& line : form_->Console().Log().Lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    const TActiveGameList* Game(int32_t id) const { return TMainFormProbe::Games(*form_)->FindById(id); }

    TEventLoop loop_;
    TRecordingFrontEnd front_;
    std::unique_ptr<TMainForm> form_;
    std::vector<std::unique_ptr<TRelayClient>> clients_;
    std::string greeting_;
};

}  // namespace vistrel::testing
