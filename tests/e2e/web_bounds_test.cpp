// The HTTP server's bounds: oversized request heads and bodies, too many
// connections, and clients that never finish, none of which may hold up the
// relay's loop.
#include <algorithm>
#include <chrono>
#include <string>

#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using namespace std::chrono_literals;
using WebBounds = WebTest;

TEST_F(WebBounds, AnOversizedHeaderIsRefused) {
    // Past our bound but within the library's memory: our 431.
    const THttpReply large = Get("/api/v1/status", {{"X-Filler", std::string(9000, 'a')}});
    EXPECT_EQ(large.Status, 431);
    // Just within the bound: served.
    EXPECT_EQ(Get("/api/v1/status", {{"X-Filler", std::string(7000, 'a')}}).Status, 200);
    // Far past it: the library refuses it itself, and closes.
    THttpClient huge(Port());
    huge.Send(HttpRequestText("GET", "/api/v1/status", {{"X-Filler", std::string(64 << 10, 'a')}}));
    ASSERT_TRUE(WaitFor([&] {
        huge.Pump();
        return huge.Ended();
    }));
    THttpReply reply;
    if (huge.PeekReply(reply)) {
        EXPECT_GE(reply.Status, 400);
        EXPECT_LT(reply.Status, 500);
    }
    EXPECT_EQ(Get("/api/v1/status").Status, 200);
}

TEST_F(WebBounds, AnOversizedBodyIsRefused) {
    SetPassword("pw");
    // Announced too large: 413 before a byte of it is read.
    THttpClient announced(Port());
    announced.Send("POST /api/v1/games/1/halt HTTP/1.1\r\nHost: x\r\nContent-Length: 70000\r\n\r\n");
    ASSERT_TRUE(WaitFor([&] {
        announced.Pump();
        return announced.HasReply();
    }));
    EXPECT_EQ(announced.TakeReply().Status, 413);

    // A chunked body past the bound: the connection is dropped.
    THttpClient chunked(Port());
    chunked.Send("POST /api/v1/games/1/halt HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::string chunk = "4000\r\n" + std::string(0x4000, 'b') + "\r\n";
    for (int i = 0; i < 6; ++i) chunked.Send(chunk);
    ASSERT_TRUE(WaitFor([&] {
        chunked.Pump();
        return chunked.Ended();
    }));
    THttpReply reply;
    if (chunked.PeekReply(reply)) {
        EXPECT_GE(reply.Status, 400);
    }
    // A body within the bound is read (and ignored).
    EXPECT_EQ(Request("POST", "/api/v1/games/1/halt", Auth("pw"), std::string(60000, 'c')).Status, 404);
    EXPECT_GE(web_->Server().Refusals(), 2u);
}

TEST_F(WebBounds, TooManyConnectionsAreAnswered503) {
    const unsigned limit = web_->Server().Limits().MaxConnections;
    ASSERT_EQ(limit, 64u);
    std::vector<std::unique_ptr<THttpClient>> held;
    for (unsigned i = 0; i < limit; ++i) held.push_back(std::make_unique<THttpClient>(Port()));
    ASSERT_TRUE(WaitFor([&] { return web_->Server().AdmittedConnections() == limit; }));

    const THttpReply refused = Get("/api/v1/status");
    EXPECT_EQ(refused.Status, 503);
    ASSERT_NE(refused.Header("Connection"), nullptr);
    EXPECT_EQ(*refused.Header("Connection"), "close");

    // The held connections are served.
    held[10]->Send(HttpRequestText("GET", "/api/v1/status"));
    ASSERT_TRUE(WaitFor([&] {
        held[10]->Pump();
        return held[10]->HasReply();
    }));
    EXPECT_EQ(held[10]->TakeReply().Status, 200);

    // One goes: a newcomer is served again.
    held[0].reset();
    ASSERT_TRUE(WaitFor([&] { return web_->Server().AdmittedConnections() == limit - 1; }));
    EXPECT_EQ(Get("/api/v1/status").Status, 200);
}

TEST_F(WebBounds, ASlowClientNeverHoldsUpTheTickAndIsTimedOut) {
    THttpLimits limits;
    limits.ConnectionTimeoutS = 1;
    StartWeb(limits);
    // The distribution timer runs on its own, every 20 ms.
    TTimer& timer = TMainFormProbe::DistrubuteDemo(Form());
    timer.SetInterval(20);
    timer.SetEnabled(true);

    // A request head that never ends, a byte now and then.
    THttpClient slow(Port());
    slow.Send("GET /api/v1/status HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    // One that sends nothing at all.
    THttpClient silent(Port());

    const uint64_t ticksBefore = Form().Metrics().TickDuration.Count;
    auto longestStep = std::chrono::steady_clock::duration::zero();
    const auto start = std::chrono::steady_clock::now();
    int answered = 0;
    auto lastByte = start;
    while (std::chrono::steady_clock::now() - start < 1500ms) {
        const auto stepStart = std::chrono::steady_clock::now();
        loop_.RunOnce(10);
        longestStep = std::max(longestStep, std::chrono::steady_clock::now() - stepStart);
        if (stepStart - lastByte >= 100ms) {
            slow.Send("a");
            lastByte = stepStart;
        }
        slow.Pump();
        silent.Pump();
        if (answered < 3 && std::chrono::steady_clock::now() - start > answered * 300ms) {
            if (Get("/api/v1/status").Status == 200) ++answered;
        }
    }
    const uint64_t ticks = Form().Metrics().TickDuration.Count - ticksBefore;
    // 1.5 s at 20 ms: about 75 ticks; a loaded machine still manages far more than 20.
    EXPECT_GT(ticks, 20u);
    EXPECT_LT(longestStep, 200ms);
    EXPECT_EQ(answered, 3);

    // The silent one is closed after the timeout; the trickling one keeps
    // its connection only while it makes progress, and never gets an answer.
    EXPECT_TRUE(WaitFor([&] {
        silent.Pump();
        return silent.Ended();
    }, 5000ms));
    THttpReply reply;
    EXPECT_FALSE(slow.PeekReply(reply));
    EXPECT_TRUE(WaitFor([&] {
        slow.Pump();
        return slow.Ended();
    }, 5000ms));
    EXPECT_TRUE(WaitFor([&] { return web_->Server().Connections() == 0; }));
}

TEST_F(WebBounds, IdleServerAsksForNoWakeUps) {
    // With no connection the server leaves the loop alone: no deadline of
    // its own but the slow keep-alive check.
    Settle();
    EXPECT_EQ(web_->Server().Connections(), 0u);
    const int timeout = loop_.NextTimeout();
    EXPECT_TRUE(timeout < 0 || timeout > 1000) << timeout;
}

TEST_F(WebBounds, ListenSettingsAreParsed) {
    THttpListen listen;
    EXPECT_TRUE(ParseHttpListen("127.0.0.1:38964", listen));
    EXPECT_EQ(listen.Addr, "127.0.0.1");
    EXPECT_EQ(listen.Port, 38964);
    EXPECT_TRUE(ParseHttpListen("0.0.0.0:0", listen));
    EXPECT_EQ(listen.Port, 0);
    for (const char* bad : {"", "off", "127.0.0.1", ":80", "127.0.0.1:", "127.0.0.1:65536", "localhost:80", "1.2.3:80",
                            "127.0.0.1:8o", "::1:80", "[127.0.0.1]:80", "[::1:80", "[]:80"})
        EXPECT_FALSE(ParseHttpListen(bad, listen)) << bad;
    EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
    EXPECT_TRUE(IsLoopbackAddress("127.1.2.3"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(IsLoopbackAddress("192.0.2.1"));
}

TEST_F(WebBounds, APortInUseIsReported) {
    TWebOptions options;
    options.Listen = THttpListen{"127.0.0.1", Port()};
    TWebApi second(Form(), options);
    try {
        second.Start();
        ADD_FAILURE() << "a second server listened on the same port";
    } catch (const EHttpServerError& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot listen for HTTP on 127.0.0.1:" + std::to_string(Port())),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace vistrel::testing
