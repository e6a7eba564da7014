// The HTTP server's bounds: oversized request heads and bodies, too many
// connections, and clients that never finish, none of which may hold up the
// relay's loop; trickled heads, idle streams and readers of a large segment
// beside an honest game.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/recording_format.h"
#include "tests/e2e/noise.h"
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
    // From several addresses: one address alone has fewer connections.
    for (unsigned i = 0; i < limit; ++i)
        held.push_back(std::make_unique<THttpClient>(Port(), "127.0.0.1", "127.0.1." + std::to_string(1 + i % 8)));
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

TEST_F(WebBounds, TrickledHeadsAndIdleStreamsLeaveStatusReadsTheirConnections) {
    THttpLimits limits;
    limits.RequestHeadTimeoutS = 1;
    StartWeb(limits);
    std::vector<std::unique_ptr<THttpClient>> tricklers, streams;
    for (int i = 0; i < 20; ++i) {
        tricklers.push_back(std::make_unique<THttpClient>(Port()));
        tricklers.back()->Send("GET /api/v1/status HTTP/1.1\r\nHost: x\r\nX-Slow: ");
        streams.push_back(std::make_unique<THttpClient>(Port(), "127.0.0.1", i < 10 ? "127.0.0.2" : "127.0.0.3"));
        streams.back()->Send(HttpRequestText("GET", "/api/v1/log/stream"));
    }
    const auto status = [&] {
        THttpClient op(Port(), "127.0.0.1", "127.0.0.4");
        op.Send(HttpRequestText("GET", "/api/v1/status", {{"Connection", "close"}}));
        WaitFor([&] {
            op.Pump();
            return op.HasReply() || op.Ended();
        });
        return op.TakeReply().Status;
    };
    const auto start = std::chrono::steady_clock::now();
    int answered = 0;
    for (int round = 0; std::chrono::steady_clock::now() - start < 1800ms; ++round) {
        loop_.RunOnce(10);
        for (auto& t : tricklers) round % 10 == 0 ? (void)t->Send("a") : t->Pump();
        for (auto& s : streams) s->Pump();
        if (answered < 4 && std::chrono::steady_clock::now() - start > answered * 400ms) {
            EXPECT_EQ(status(), 200);
            ++answered;
        }
    }
    // One address: 16 connections, the rest closed at once; each of the 16
    // is answered 408 once its head is a second late, however it trickles.
    int timedOut = 0;
    int cut = 0;
    for (auto& t : tricklers) {
        THttpReply reply;
        if (t->PeekReply(reply)) timedOut += reply.Status == 408;
        else cut += t->Ended();
    }
    EXPECT_EQ(timedOut, 16);
    EXPECT_EQ(cut, 4);
    // 16 streams at most; the others are told so.
    int streaming = 0;
    int refused = 0;
    for (auto& s : streams) {
        THttpReply reply;
        if (!s->PeekReply(reply)) continue;
        streaming += reply.Status == 200;
        refused += reply.Status == 503;
    }
    EXPECT_EQ(streaming, 16);
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(web_->Server().HeadTimeouts(), 16u);
}

// Readers of a 16 MiB segment, some that never read: the segment is sent
// from the stored packets, so each holds its send buffer and the packet being
// sent, counted in the connection buffers; over the budget the largest
// holders are closed. The honest game's viewer keeps its packet a tick.
class WebSegmentReaders : public WebTest {
protected:
    static constexpr size_t kPacket = size_t{256} << 10;
    WebSegmentReaders() { memory_budget_.ConnectionBuffers = size_t{8} << 20; }
};

TEST_F(WebSegmentReaders, ReadersAndStalledClientsOfALargeSegmentStayWithinTheBudget) {
    TRelayClient* cam = nullptr;
    const int32_t honest = SenderWithDemo(cam, "Cam", 60);
    TRelayClient& viewer = NamedViewer("V");
    viewer.Send(WaitForGame(honest));
    Drain(viewer);
    TActiveGameList* big = Form().Host().OpenDetachedGame(0, TGameDescription{1, "big", "ctf", "cam", "127.0.0.1"});
    ASSERT_NE(big, nullptr);
    std::string expected;
    for (int32_t l = 0; l < 64; ++l) {
        const std::string packet = Demo(l, Noise(kPacket, static_cast<uint32_t>(l)));
        ASSERT_TRUE(Form().Host().StoreDetachedPacket(*big, l, packet));
        expected += EncodePacketRecord(l, packet);
    }
    const std::string target = "/api/v1/games/" + std::to_string(big->Identifier()) + "/segments/0";
    std::vector<std::unique_ptr<THttpClient>> stalled, readers;
    for (int i = 0; i < 8; ++i) {
        for (auto* list : {&stalled, &readers}) {
            list->push_back(std::make_unique<THttpClient>(Port()));
            list->back()->Send(HttpRequestText("GET", target));
        }
    }
    size_t most = 0;
    std::vector<bool> done(readers.size(), false);
    for (int tick = 0; std::count(done.begin(), done.end(), true) < 8 && tick < 60; ++tick) {
        Tick();
        int got = 0;
        while (viewer.HasPacket()) got += TypeOf(viewer.TakePacket()) == PacketType::DEMOPACKET;
        EXPECT_EQ(got, 1) << "tick " << tick;
        for (size_t r = 0; r < readers.size(); ++r) {
            readers[r]->Pump();
            if (done[r] || !readers[r]->HasReply()) continue;
            done[r] = true;
            EXPECT_TRUE(readers[r]->TakeReply().Body == expected) << "reader " << r;
        }
        most = std::max(most, web_->Server().HeldBytes());
        EXPECT_LE(Form().ConnectionBuffers().ConnectionBufferBytes(), Form().MemoryBudget().ConnectionBuffers);
    }
    EXPECT_EQ(std::count(done.begin(), done.end(), true), 8);
    EXPECT_LE(most, 16 * (kPacket + (size_t{128} << 10))) << "copies of the 16 MiB segment";

    // A smaller budget: the stalled readers are closed, the largest first.
    Form().SetMemoryBudget({0, size_t{512} << 10});
    Form().ConnectionBuffers().EnforceBudget();
    EXPECT_LE(web_->Server().HeldBytes(), size_t{512} << 10);
    EXPECT_TRUE(LoggedContaining("HTTP client 127.0.0.1 is over the connection buffers budget"));
    EXPECT_TRUE(WaitFor([&] {
        int ended = 0;
        for (auto& s : stalled) {
            s->Pump();
            ended += s->Ended();
        }
        return ended >= 6;
    }));
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
