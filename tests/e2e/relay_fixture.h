// The fixture of the relay's end-to-end tests: a TMainForm on ephemeral
// ports in this process, and loopback clients (client/relay_client.h)
// speaking the packet protocol to it. The test steps the loop itself (no
// threads, no sleeps) and fires the distribution timer by hand.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/game_list.h"
#include "relay/main_form.h"
#include "relay/relay_limits.h"
#include "testing/main_form_probe.h"
#include "core/protocol.h"
#include "net/event_loop.h"
#include "client/client_packets.h"
#include "testing/recording_front_end.h"
#include "client/relay_client.h"
#include "client/server_packets.h"

namespace vistrel::testing {

// The client side of the protocol (client/) is at hand unqualified.
using namespace vistrel::client;

// ------------------------------------------------------------------ fixture

class RelayTest : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kLimit{5000};

    void SetUp() override {
        form_ = std::make_unique<TMainForm>(loop_, front_, nullptr, listen_);
        // As the front ends do: the budget is set before start-up.
        form_->SetMemoryBudget(memory_budget_);
        form_->SetRecording(recording_);
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
        clients_.push_back(std::make_unique<TRelayClient>(port, rcvbuf, client_address_));
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

    // No limit, unless a fixture derived from this one sets it in its
    // constructor.
    TMemoryBudget memory_budget_;
    // Where the relay listens and where its clients connect, set before SetUp.
    TListenSettings listen_{"127.0.0.1", "0", "0"};
    std::string client_address_ = "127.0.0.1";
    // Nothing recorded, unless a derived fixture names a (temporary) folder.
    TRecorderOptions recording_;
    TEventLoop loop_;
    TRecordingFrontEnd front_;
    std::unique_ptr<TMainForm> form_;
    std::vector<std::unique_ptr<TRelayClient>> clients_;
    std::string greeting_;
};

}  // namespace vistrel::testing
