// The fixture of the HTTP side's end-to-end tests: the relay fixture
// (tests/e2e/relay_fixture.h) with a TWebApi on an ephemeral loopback port,
// and plain-socket HTTP clients (testing/http_client.h) stepped together
// with the relay's loop.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "testing/http_client.h"
#include "tests/e2e/relay_fixture.h"
#include "web/web_api.h"

namespace vistrel::testing {

class WebTest : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        StartWeb({});
    }
    void TearDown() override {
        web_.reset();
        RelayTest::TearDown();
    }

    // (Re)starts the HTTP side with these bounds and options.
    void StartWeb(const THttpLimits& limits, bool publicRead = false, const std::string& addr = "127.0.0.1") {
        web_.reset();
        TWebOptions options;
        options.Listen = THttpListen{addr, 0};
        options.PublicRead = publicRead;
        options.ClosedRead = closed_read_;
        options.Version = "test";
        options.Limits = limits;
        web_ = std::make_unique<TWebApi>(Form(), options);
        web_->Start();
    }
    uint16_t Port() const { return web_->LocalPort(); }

    void SetPassword(const std::string& password) { Form().SetupForEditing().RemoteAdminPasswordEdit = password; }

    // One request on a connection of its own; the reply (Status 0 when none
    // came within the limit).
    THttpReply Request(std::string_view method, std::string_view target, THeaderList headers = {},
                       std::string_view body = {}) {
        THttpClient client(request_port_ != 0 ? request_port_ : Port(), http_address_);
        EXPECT_TRUE(client.Connected());
        headers.emplace_back("Connection", "close");
        client.Send(HttpRequestText(method, target, headers, body));
        EXPECT_TRUE(WaitFor([&] {
            client.Pump();
            return client.HasReply() || client.Ended();
        })) << method << " " << target;
        return client.TakeReply();
    }
    THttpReply Get(std::string_view target, THeaderList headers = {}) {
        return Request("GET", target, std::move(headers));
    }
    THeaderList Auth(std::string_view password, std::string_view user = "admin") {
        return {{"Authorization", BasicAuthorization(user, password)}};
    }
    nlohmann::json Json(const THttpReply& reply) {
        EXPECT_NE(reply.Header("Content-Type"), nullptr);
        if (reply.Header("Content-Type")) {
            EXPECT_EQ(reply.Header("Content-Type")->rfind("application/json", 0), 0u);
        }
        return nlohmann::json::parse(reply.Body, nullptr, false);
    }

    // Moves the loop's clock forward (the wait after a failed password is
    // measured by it).
    void AdvanceClock(std::chrono::milliseconds by) {
        *clock_offset_ += by;
        loop_.SetClock([offset = clock_offset_] { return std::chrono::steady_clock::now() + *offset; });
    }

    // A sender logged in as user, with a game named and `packets` demo
    // packets stored; returns the game's id.
    int32_t SenderWithDemo(TRelayClient*& sender, std::string_view user, int packets) {
        const int32_t id = LoggedInSender(sender, user);
        for (int i = 0; i < packets; ++i) {
            sender->Send(Demo(i, "demo content " + std::to_string(i)));
            EXPECT_EQ(AckValueOf(Next(*sender)), 0);
        }
        Settle();
        return id;
    }

    std::unique_ptr<TWebApi> web_;
    // StartWeb: reads need a password on loopback too.
    bool closed_read_ = false;
    std::string http_address_ = "127.0.0.1";
    // Where Request goes when not 0 (another relay's HTTP side).
    uint16_t request_port_ = 0;
    std::shared_ptr<std::chrono::milliseconds> clock_offset_ = std::make_shared<std::chrono::milliseconds>(0);
};

}  // namespace vistrel::testing
