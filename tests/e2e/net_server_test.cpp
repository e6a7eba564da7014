// The listening server and its connections over real loopback sockets.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "net/event_loop.h"
#include "net/wsocket_server.h"
#include "tests/e2e/net_peer.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;
using testing::TPeer;

const std::string kGreeting = "Welcome to TcpSrv\r\n";

class NetServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.SetAddr("127.0.0.1");
        server.SetPort("0");
        server.OnClientConnect = [this](TWSocketServer&, TWSocketClient& c, uint16_t error) {
            EXPECT_EQ(error, 0);
            events.push_back("connect");
            if (onConnect) onConnect(c);
        };
        server.OnClientDisconnect = [this](TWSocketServer&, TWSocketClient& c, uint16_t error) {
            EXPECT_EQ(error, 0);
            EXPECT_EQ(c.State(), wsClosed);
            events.push_back("disconnect");
            if (onDisconnect) onDisconnect(c);
        };
        server.OnBgException = [this](TCustomWSocket&, const std::exception& e, bool& canClose) {
            bg.push_back(e.what());
            canClose = false;  // a listener keeps listening
        };
        server.OnHandlerError = [this](std::string_view d) { handlerErrors.emplace_back(d); };
        server.Listen();
        port = server.LocalPort();
        ASSERT_NE(port, 0);
    }

    bool Step(const std::function<bool()>& pred) { return loop.RunUntil(pred, 5s); }
    int Count(const std::string& what) const { return static_cast<int>(std::count(events.begin(), events.end(), what)); }
    bool Greeted(TPeer& p) { return p.Pump().size() >= kGreeting.size(); }
    // Feeds a peer's bytes to the server while stepping its loop.
    bool SendAll(TPeer& p, const std::string& data) {
        size_t off = 0;
        return Step([&] {
            off += p.Send(std::string_view(data).substr(off));
            return off == data.size();
        });
    }

    TEventLoop loop;
    TWSocketServer server{loop};
    uint16_t port = 0;
    std::vector<std::string> events;
    std::vector<std::string> bg;
    std::vector<std::string> handlerErrors;
    std::function<void(TWSocketClient&)> onConnect;
    std::function<void(TWSocketClient&)> onDisconnect;
};

TEST_F(NetServerTest, GreetsWithTheBannerAndKeepsThePeerAddress) {
    EXPECT_EQ(server.State(), wsListening);
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p); }));
    EXPECT_EQ(p.Got(), kGreeting);  // exactly 19 bytes
    ASSERT_EQ(server.ClientCount(), 1);
    TWSocketClient* c = server.Client(0);
    EXPECT_EQ(c->State(), wsConnected);
    EXPECT_EQ(c->Server(), &server);
    EXPECT_EQ(c->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(c->PeerPort(), std::to_string(p.LocalPort()));
    EXPECT_EQ(server.Client(1), nullptr);
    EXPECT_EQ(server.Client(-1), nullptr);

    std::string addrAtDisconnect;
    onDisconnect = [&](TWSocketClient& c) {
        addrAtDisconnect = c.PeerAddr();
        EXPECT_EQ(server.ClientCount(), 1);  // still listed during the event
    };
    p.Close();
    ASSERT_TRUE(Step([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(addrAtDisconnect, "127.0.0.1");
    EXPECT_EQ(Count("disconnect"), 1);
}

TEST_F(NetServerTest, MaxClientsRefusesAndCountsClosedButUnreported) {
    server.MaxClients = 2;
    TPeer a(port), b(port);
    ASSERT_TRUE(Step([&] { return Greeted(a) && Greeted(b); }));

    TPeer c(port);
    ASSERT_TRUE(Step([&] { return c.Ended(); }));
    EXPECT_EQ(c.Got(), "Sorry, too many clients\r\n");
    ASSERT_TRUE(Step([&] { return server.ClientCount() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"connect", "connect", "connect", "disconnect"}));

    // A connection closed in this dispatch is still listed, so it still counts.
    onConnect = [&](TWSocketClient&) { server.Client(0)->Close(); };
    TPeer d(port);
    ASSERT_TRUE(Step([&] { return d.Ended(); }));
    EXPECT_EQ(d.Got(), "Sorry, too many clients\r\n");
    ASSERT_TRUE(Step([&] { return server.ClientCount() == 1; }));
    EXPECT_TRUE(a.Ended());

    onConnect = nullptr;
    TPeer e(port);
    ASSERT_TRUE(Step([&] { return Greeted(e); }));
    EXPECT_EQ(e.Got(), kGreeting);
    EXPECT_EQ(server.ClientCount(), 2);
    EXPECT_TRUE(bg.empty());
}

TEST_F(NetServerTest, ARefusedPeerIsResetOnlyWhenItLingers) {
    auto now = TEventLoop::Clock::now();
    loop.SetClock([&] { return now; });
    server.MaxClients = 1;
    TPeer a(port);
    ASSERT_TRUE(Step([&] { return Greeted(a); }));
    TPeer quiet(port);
    quiet.Send("hello");  // input left unread made the close a reset at once
    ASSERT_TRUE(Step([&] { return quiet.TcpState() != TCP_ESTABLISHED && server.ClientCount() == 1; }));
    EXPECT_EQ(quiet.TcpState(), TCP_CLOSE_WAIT) << "the end of the stream, no reset";
    now += kLastWordsWait;
    EXPECT_TRUE(Step([&] { return quiet.TcpState() == TCP_CLOSE; }));
}

TEST_F(NetServerTest, CloseTwiceReportsOnceAndSendAfterwardsRaises) {
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p); }));
    TWSocketClient* c = server.Client(0);
    c->Close();
    c->Close();
    EXPECT_EQ(c->State(), wsClosed);
    EXPECT_EQ(Count("disconnect"), 0);  // reported in a later dispatch
    try {
        c->Send("late");
        ADD_FAILURE() << "Send on a closed connection must raise";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Error 10057 in function Send\r\nSocket is not connected");
        EXPECT_EQ(e.ErrorCode(), 10057);
    }
    EXPECT_EQ(c->BufferedBytes(), 0u);
    ASSERT_TRUE(Step([&] { return server.ClientCount() == 0; }));
    for (int i = 0; i < 5; ++i) loop.RunOnce(0);
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_TRUE(Step([&] { return p.Ended(); }));
}

// The close table of custom_wsocket.h, as a peer on loopback sees it.
TEST_F(NetServerTest, EachCloseSendsOrDropsTheQueueResetsOrNotAndReports) {
    struct TWay {
        const char* Name;
        void (TCustomWSocket::*Close)();
        bool Sent;
        bool Reset;
    };
    const TWay ways[] = {
        {"Close", &TCustomWSocket::Close, true, true},
        {"Abort", &TCustomWSocket::Abort, false, false},
        {"CloseDiscarding", &TCustomWSocket::CloseDiscarding, false, true},
    };
    for (const TWay& way : ways) {
        SCOPED_TRACE(way.Name);
        TPeer p(port);
        ASSERT_TRUE(Step([&] { return Greeted(p); }));
        const int disconnects = Count("disconnect");
        TWSocketClient* c = server.Client(0);
        c->Send("queued");  // not yet flushed: the close decides
        (c->*way.Close)();
        EXPECT_EQ(c->State(), wsClosed);
        EXPECT_EQ(server.ClientOutputBytes(), 0u);
        ASSERT_TRUE(Step([&] { return p.Ended() && Count("disconnect") == disconnects + 1; }));
        EXPECT_EQ(p.Got(), way.Sent ? kGreeting + "queued" : kGreeting);
        if (way.Reset) {
            EXPECT_TRUE(Step([&] { return p.TcpState() == TCP_CLOSE; }));
        } else {
            for (int i = 0; i < 5; ++i) loop.RunOnce(0);
            EXPECT_EQ(p.TcpState(), TCP_CLOSE_WAIT);
        }
    }
    EXPECT_EQ(server.ClientCount(), 0);
    EXPECT_TRUE(bg.empty());
    EXPECT_TRUE(handlerErrors.empty());
}

TEST_F(NetServerTest, DataBeforeAPeerCloseIsAllDeliveredFirst) {
    std::string received;
    size_t atDisconnect = 0;
    onConnect = [&](TWSocketClient& c) {
        c.OnDataAvailable = [&](TWSocketClient& s, uint16_t) { received += s.ReceiveAll(); };
    };
    onDisconnect = [&](TWSocketClient&) { atDisconnect = received.size(); };
    std::string payload(300000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 31 + i / 977);
    TPeer p(port);
    ASSERT_TRUE(SendAll(p, payload));
    // Unread input would turn the close into a reset, which drops data.
    ASSERT_TRUE(Step([&] { return Greeted(p); }));
    p.Close();
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 1; }));
    EXPECT_EQ(atDisconnect, payload.size());
    EXPECT_TRUE(received == payload);
}

TEST_F(NetServerTest, ThrowingDataHandlerLeavesTheConnectionOpen) {
    std::string received;
    int calls = 0;
    onConnect = [&](TWSocketClient& c) {
        c.OnDataAvailable = [&](TWSocketClient& s, uint16_t) {
            ++calls;
            received += s.ReceiveAll();
            throw std::runtime_error("bad packet");
        };
    };
    TPeer p(port);
    p.Send("one");
    ASSERT_TRUE(Step([&] { return received == "one"; }));
    p.Send("two");
    ASSERT_TRUE(Step([&] { return received == "onetwo"; }));
    EXPECT_GE(calls, 2);
    TWSocketClient* c = server.Client(0);
    EXPECT_EQ(c->State(), wsConnected);
    EXPECT_TRUE(bg.empty());  // not a background error, but counted and described
    EXPECT_EQ(server.HandlerErrors(), static_cast<uint64_t>(calls));
    ASSERT_EQ(handlerErrors.size(), static_cast<size_t>(calls));
    EXPECT_EQ(handlerErrors[0], "OnDataAvailable (socket " + std::to_string(c->Handle()) + "): Exception: bad packet");
    EXPECT_EQ(Count("disconnect"), 0);
}

TEST_F(NetServerTest, TakenPortFailsInBindAndSettingsAreLockedWhileListening) {
    TWSocketServer second(loop);
    second.SetAddr("127.0.0.1");
    second.SetPort(std::to_string(port));
    try {
        second.Listen();
        ADD_FAILURE() << "a taken port must not be bound twice";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.ErrorCode(), 10048);
        EXPECT_STREQ(e.what(), "Error 10048 in function Bind\r\nAddress already in use");
    }
    EXPECT_EQ(second.State(), wsClosed);
    second.SetPort("0");  // allowed again, and a retry works
    second.Listen();
    EXPECT_EQ(second.State(), wsListening);

    auto misuse = [](auto fn) -> std::string {
        try {
            fn();
        } catch (const ESocketException& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(misuse([&] { server.SetPort("1234"); }), "Cannot change Port if not closed");
    EXPECT_EQ(misuse([&] { server.SetAddr("0.0.0.0"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(misuse([&] { server.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(misuse([&] { server.SetAddr("127.0.0.1"); }), "no error");  // unchanged value
    EXPECT_EQ(server.Port(), "0");

    TWSocketServer unset(loop);
    EXPECT_EQ(misuse([&] { unset.Listen(); }), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
}

TEST_F(NetServerTest, FailingConnectHandlerGoesToTheServerAndSkipsTheBanner) {
    onConnect = [&](TWSocketClient&) { throw std::runtime_error("connect failed"); };
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return bg.size() == 1; }));
    EXPECT_EQ(bg[0], "connect failed");
    EXPECT_EQ(server.State(), wsListening);
    ASSERT_EQ(server.ClientCount(), 1);
    TWSocketClient* c = server.Client(0);
    EXPECT_EQ(c->State(), wsConnected);
    c->Send("hello");
    ASSERT_TRUE(Step([&] { return p.Pump().size() >= 5; }));
    EXPECT_EQ(p.Got(), "hello");  // no banner went before it
    EXPECT_EQ(server.HandlerErrors(), 0u);  // the handler heard it

    // An error handler that fails itself: counted and described, and the
    // server goes on listening.
    server.OnBgException = [](TCustomWSocket&, const std::exception&, bool& canClose) {
        canClose = false;
        throw 42;
    };
    TPeer q(port);
    ASSERT_TRUE(Step([&] { return server.HandlerErrors() == 1; }));
    ASSERT_EQ(handlerErrors.size(), 1u);
    EXPECT_EQ(handlerErrors[0],
              "OnBgException (socket " + std::to_string(server.Handle()) + "): Exception: Unknown exception");
    EXPECT_EQ(server.State(), wsListening);
}

TEST_F(NetServerTest, SlowReaderNeverBlocksAndItsBacklogIsBounded) {
    server.ClientSendLimits = TSendLimits{256 * 1024, 30s, 2 * 1024 * 1024};
    auto now = TEventLoop::Clock::now();
    loop.SetClock([&] { return now; });
    std::vector<std::string> overflows;
    onConnect = [&](TWSocketClient& c) {
        c.OnSendOverflow = [&](TWSocketClient&, const std::string& reason) { overflows.push_back(reason); };
        c.OnDataAvailable = [](TWSocketClient& s, uint16_t) { s.Send(s.ReceiveAll()); };  // echo
    };
    TPeer slow(port, 4096), fast(port), hog(port, 4096);
    ASSERT_TRUE(Step([&] { return Greeted(slow) && Greeted(fast) && Greeted(hog); }));
    TWSocketClient* s = server.Client(0);
    TWSocketClient* h = server.Client(2);

    const std::string block(64 * 1024, 'b');
    // The kernel takes a few megabytes first (each step's flush hands it
    // what was queued); after that the queue grows.
    for (int i = 0; i < 400 && s->BufferedBytes() <= 256u * 1024; ++i) {
        EXPECT_EQ(s->Send(block), 65536);
        loop.RunOnce(0);
    }
    EXPECT_GT(s->BufferedBytes(), 256u * 1024);
    EXPECT_EQ(s->State(), wsConnected);

    fast.Send("ping");  // the others are still served
    ASSERT_TRUE(Step([&] { return fast.Pump() == kGreeting + "ping"; }));

    now += 31s;  // above the soft bound for too long
    s->Send("x");
    EXPECT_EQ(s->State(), wsClosed);
    ASSERT_EQ(overflows.size(), 1u);
    EXPECT_NE(overflows[0].find("above 262144 bytes for 30 s"), std::string::npos) << overflows[0];

    for (int i = 0; i < 200 && h->State() == wsConnected; ++i) h->Send(block);  // past the hard bound
    EXPECT_EQ(h->State(), wsClosed);
    ASSERT_EQ(overflows.size(), 2u);
    EXPECT_NE(overflows[1].find("exceeds 2097152 bytes"), std::string::npos) << overflows[1];

    ASSERT_TRUE(Step([&] { return Count("disconnect") == 2; }));
    EXPECT_EQ(server.ClientCount(), 1);
    EXPECT_EQ(server.Client(0)->State(), wsConnected);
    EXPECT_TRUE(bg.empty());
}

TEST_F(NetServerTest, OutputOfAStepGoesOutAtItsEndInOrderAndCloseSendsItFirst) {
    std::vector<size_t> queuedInNotice;
    onConnect = [&](TWSocketClient& c) {
        c.OnDataAvailable = [&](TWSocketClient& s, uint16_t) {
            const std::string got = s.ReceiveAll();
            s.Send("re:");
            s.Send(got);
            // Still queued after the handler, the other events and the notices.
            TWSocketClient* self = &s;
            loop.Post([&queuedInNotice, self] { queuedInNotice.push_back(self->BufferedBytes()); });
            if (got == "bye") {
                s.Send("!");
                s.Close();
            }
        };
    };
    TPeer p(port), q(port);
    ASSERT_TRUE(Step([&] { return Greeted(p) && Greeted(q); }));
    p.Send("one");
    ASSERT_TRUE(Step([&] { return p.Pump().size() >= kGreeting.size() + 6; }));
    EXPECT_EQ(p.Got(), kGreeting + "re:one");
    ASSERT_EQ(queuedInNotice.size(), 1u);
    EXPECT_EQ(queuedInNotice[0], 6u);
    EXPECT_EQ(server.Client(0)->BufferedBytes(), 0u);

    // A close in the handler sends what was queued before it, then ends.
    q.Send("bye");
    ASSERT_TRUE(Step([&] { return q.Ended(); }));
    EXPECT_EQ(q.Got(), kGreeting + "re:bye!");
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 1; }));
}

TEST_F(NetServerTest, SendOutsideAStepGoesOutWithTheNextStep) {
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p); }));
    TWSocketClient* c = server.Client(0);
    c->Send("late ");
    c->Send("news");
    EXPECT_EQ(c->BufferedBytes(), 9u);
    // An embedding toolkit is told to step at once.
    EXPECT_EQ(loop.NextTimeout(), 0);
    loop.RunOnce(0);
    EXPECT_EQ(c->BufferedBytes(), 0u);
    ASSERT_TRUE(Step([&] { return p.Pump().size() >= kGreeting.size() + 9; }));
    EXPECT_EQ(p.Got(), kGreeting + "late news");
}

TEST_F(NetServerTest, AQuietReaderIsClosedByTheTimer) {
    server.ClientSendLimits = TSendLimits{64 * 1024, 30s, 64 * 1024 * 1024};
    auto now = TEventLoop::Clock::now();
    loop.SetClock([&] { return now; });
    std::vector<std::string> overflows;
    onConnect = [&](TWSocketClient& c) {
        c.OnSendOverflow = [&](TWSocketClient&, const std::string& reason) { overflows.push_back(reason); };
    };
    TPeer slow(port, 4096), other(port);
    ASSERT_TRUE(Step([&] { return Greeted(slow) && Greeted(other); }));
    TWSocketClient* s = server.Client(0);
    const std::string block(64 * 1024, 'q');
    for (int i = 0; i < 400 && s->BufferedBytes() <= 64u * 1024; ++i) {
        s->Send(block);
        loop.RunOnce(0);
    }
    ASSERT_GT(s->BufferedBytes(), 64u * 1024);
    // Nothing is sent any more: only the timer can see the reader has stopped.
    now += 29s;
    for (int i = 0; i < 5; ++i) loop.RunOnce(0);
    EXPECT_EQ(s->State(), wsConnected);
    now += 2s;
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 1; }));
    ASSERT_EQ(overflows.size(), 1u);
    EXPECT_NE(overflows[0].find("above 65536 bytes for 30 s"), std::string::npos) << overflows[0];
    EXPECT_EQ(server.ClientCount(), 1);
    EXPECT_EQ(server.ClientOutputBytes(), 0u);
    // With no reader above the limit the checks stop.
    EXPECT_EQ(loop.NextTimeout(), -1);
}

TEST_F(NetServerTest, TheServerKeepsTheSumOfItsConnectionsOutput) {
    TPeer a(port), b(port);
    ASSERT_TRUE(Step([&] { return Greeted(a) && Greeted(b); }));
    EXPECT_EQ(server.ClientOutputBytes(), 0u);
    server.Client(0)->Send("12345");
    server.Client(1)->SendReplacing(9, TSharedBytes("abc"));
    server.Client(1)->SendReplacing(9, TSharedBytes("abcd"));
    EXPECT_EQ(server.ClientOutputBytes(), 9u);
    loop.RunOnce(0);
    EXPECT_EQ(server.ClientOutputBytes(), 0u);
    ASSERT_TRUE(Step([&] { return a.Pump().size() >= kGreeting.size() + 5 && b.Pump().size() >= kGreeting.size() + 4; }));
    EXPECT_EQ(b.Got(), kGreeting + "abcd");
    server.Client(0)->Send("dropped");
    server.Client(0)->CloseDiscarding();
    EXPECT_EQ(server.ClientOutputBytes(), 0u);
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 1; }));
}

TEST_F(NetServerTest, TheKernelHoldsAStormOfConnectionsUntilTheLoopAcceptsThem) {
    EXPECT_EQ(server.Backlog, 511);
    // Connections made while the loop does not step wait in the accept
    // queue; with a backlog of a few, the rest would hang in their handshake.
    constexpr int kCount = 300;
    std::vector<int> fds;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kCount; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << errno;
    }
    // Every handshake completes before a single accept.
    std::vector<pollfd> waiting;
    for (int fd : fds) waiting.push_back(pollfd{fd, POLLOUT, 0});
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    size_t done = 0;
    while (!waiting.empty() && std::chrono::steady_clock::now() < deadline) {
        if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
        std::vector<pollfd> still;
        for (const pollfd& w : waiting) {
            if (w.revents & POLLOUT)
                ++done;
            else
                still.push_back(pollfd{w.fd, POLLOUT, 0});
        }
        waiting = std::move(still);
    }
    const std::vector<int>& waits = fds;
    EXPECT_EQ(done, waits.size());
    EXPECT_EQ(server.ClientCount(), 0);
    ASSERT_TRUE(Step([&] { return server.ClientCount() == kCount; }));
    for (int fd : fds) close(fd);
    ASSERT_TRUE(Step([&] { return Count("disconnect") == kCount; }));
}

TEST_F(NetServerTest, HandlerMayCloseEveryConnectionWhileWalkingTheList) {
    int dataEvents = 0;
    std::vector<int> countsDuringWalk;
    onConnect = [&](TWSocketClient& c) {
        c.OnDataAvailable = [&](TWSocketClient& self, uint16_t) {
            ++dataEvents;
            self.ReceiveAll();
            for (int i = 0; i < server.ClientCount(); ++i) {
                server.Client(i)->Close();  // itself included
                countsDuringWalk.push_back(server.ClientCount());
            }
        };
    };
    TPeer a(port), b(port), c(port);
    ASSERT_TRUE(Step([&] { return Greeted(a) && Greeted(b) && Greeted(c); }));
    b.Send(std::string(5000, 'k'));
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 3; }));
    EXPECT_EQ(countsDuringWalk, (std::vector<int>{3, 3, 3}));
    EXPECT_EQ(dataEvents, 1);  // nothing after its own close
    EXPECT_EQ(server.ClientCount(), 0);
    EXPECT_TRUE(bg.empty());
}

TEST_F(NetServerTest, SendToAResetPeerClosesQuietly) {
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p); }));
    TWSocketClient* c = server.Client(0);
    p.Reset();
    // Whether the first write meets the reset or a later one does, no signal
    // ends the process and Send reports the full length.
    for (int i = 0; i < 3 && c->State() == wsConnected; ++i) EXPECT_EQ(c->Send("data"), 4);
    ASSERT_TRUE(Step([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_TRUE(bg.empty());
}

TEST_F(NetServerTest, DestroyingAServerDropsItsClientsWithoutEvents) {
    auto other = std::make_unique<TWSocketServer>(loop);
    other->SetAddr("127.0.0.1");
    other->SetPort("0");
    int disconnects = 0;
    other->OnClientDisconnect = [&](TWSocketServer&, TWSocketClient&, uint16_t) { ++disconnects; };
    other->Listen();
    TPeer a(other->LocalPort()), b(other->LocalPort());
    ASSERT_TRUE(Step([&] { return Greeted(a) && Greeted(b); }));
    other->Client(0)->Close();  // its notice is queued when the server goes
    other->Client(1)->Send("queued");
    other.reset();
    for (int i = 0; i < 5; ++i) loop.RunOnce(0);
    EXPECT_EQ(disconnects, 0);
    EXPECT_TRUE(Step([&] { return a.Ended() && b.Ended(); }));
    // What was queued still went out before the reset.
    EXPECT_EQ(b.Got(), kGreeting + "queued");
    EXPECT_TRUE(Step([&] { return b.TcpState() == TCP_CLOSE; }));
}

TEST_F(NetServerTest, RunningOutOfDescriptorsKeepsListeningAndReportsOnce) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks open pipes, which fail at the limit.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    TPeer a(port), b(port), c(port);
    // The lowest free descriptor number: with the limit there nothing new opens.
    int probe = dup(0);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

    bool shed = Step([&] { return a.Ended() && b.Ended() && c.Ended(); });
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_TRUE(shed);
    ASSERT_EQ(bg.size(), 1u);
    EXPECT_EQ(bg[0], "Error 10024 in function Accept\r\nToo many open files");
    EXPECT_EQ(server.State(), wsListening);
    EXPECT_EQ(server.ClientCount(), 0);

    TPeer d(port);
    ASSERT_TRUE(Step([&] { return Greeted(d); }));
    EXPECT_EQ(d.Got(), kGreeting);
}

// A connection held from its data handler: the handler counts its events,
// takes what is readable and holds for holdFor when asked to.
class NetHoldTest : public NetServerTest {
protected:
    void SetUp() override {
        NetServerTest::SetUp();
        now = TEventLoop::Clock::now();
        loop.SetClock([this] { return now; });
        onConnect = [this](TWSocketClient& c) {
            client = &c;
            c.OnDataAvailable = [this](TWSocketClient& s, uint16_t) {
                ++dataEvents;
                received += s.ReceiveAll();
                if (holdFor.count() > 0) s.HoldReadingUntil(loop.Now() + holdFor);
            };
        };
        onDisconnect = [this](TWSocketClient&) { client = nullptr; };
    }
    // Steps the loop a few times without waiting.
    void Idle() {
        for (int i = 0; i < 5; ++i) loop.RunOnce(0);
    }
    // The socket is watched for neither readable data nor the peer's close.
    bool Unwatched() const {
        const uint32_t interest = loop.Interest(client->Handle());
        return (interest & (TEventLoop::kReadable | TEventLoop::kPeerClosed)) == 0;
    }

    TEventLoop::Clock::time_point now;
    TWSocketClient* client = nullptr;
    int dataEvents = 0;
    std::string received;
    std::chrono::milliseconds holdFor{0};
};

TEST_F(NetHoldTest, HeldReadingTakesNothingUntilItsTimeThenRaisesTheEventOnce) {
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p) && client != nullptr; }));
    holdFor = 100ms;
    p.Send("one");
    ASSERT_TRUE(Step([&] { return received == "one"; }));
    EXPECT_EQ(dataEvents, 1);
    EXPECT_TRUE(client->ReadingHeld());
    EXPECT_EQ(client->HeldUntil(), now + 100ms);
    EXPECT_TRUE(Unwatched());

    // Bytes arriving meanwhile stay in the kernel.
    holdFor = 0ms;
    p.Send("two");
    Idle();
    now += 99ms;
    Idle();
    EXPECT_EQ(dataEvents, 1);
    EXPECT_EQ(received, "one");
    // Sending still works while held.
    EXPECT_EQ(client->Send("out"), 3);
    ASSERT_TRUE(Step([&] { return p.Pump().size() == kGreeting.size() + 3; }));

    now += 1ms;
    ASSERT_TRUE(Step([&] { return received == "onetwo"; }));
    EXPECT_FALSE(client->ReadingHeld());
    EXPECT_FALSE(Unwatched());
    Idle();
    EXPECT_EQ(dataEvents, 2);

    // With nothing new to read, the end of a hold still raises the event once.
    holdFor = 50ms;
    p.Send("three");
    ASSERT_TRUE(Step([&] { return dataEvents == 3; }));
    holdFor = 0ms;
    now += 50ms;
    ASSERT_TRUE(Step([&] { return dataEvents == 4; }));
    Idle();
    EXPECT_EQ(dataEvents, 4);
    EXPECT_EQ(received, "onetwothree");
    EXPECT_TRUE(bg.empty());
}

TEST_F(NetHoldTest, ALongerHoldStaysAndAPeersCloseWaitsForTheEnd) {
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p) && client != nullptr; }));
    holdFor = 200ms;
    p.Send("x");
    ASSERT_TRUE(Step([&] { return dataEvents == 1; }));
    holdFor = 0ms;
    client->HoldReadingUntil(now + 50ms);  // shorter: the longer one stays
    EXPECT_EQ(client->HeldUntil(), now + 200ms);
    client->HoldReadingUntil(now + 300ms);  // longer: extends it
    EXPECT_EQ(client->HeldUntil(), now + 300ms);

    // The peer's orderly close is not seen while held, so its last bytes are
    // not lost.
    p.Send("last");
    p.Close();
    Idle();
    now += 200ms;
    Idle();
    EXPECT_EQ(Count("disconnect"), 0);
    EXPECT_EQ(received, "x");
    now += 100ms;
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 1; }));
    EXPECT_EQ(received, "xlast");
    EXPECT_TRUE(bg.empty());
}

TEST_F(NetHoldTest, APeerResetWhileHeldClosesAtOnceAndACloseEndsTheHold) {
    TPeer p(port);
    ASSERT_TRUE(Step([&] { return Greeted(p) && client != nullptr; }));
    holdFor = 1000ms;
    p.Send("x");
    ASSERT_TRUE(Step([&] { return dataEvents == 1; }));
    p.Send("unread");
    p.Reset();
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 1; }));
    EXPECT_EQ(received, "x");

    // Closed by its owner while held: no event comes at the hold's end.
    TPeer q(port);
    ASSERT_TRUE(Step([&] { return Greeted(q) && client != nullptr; }));
    q.Send("y");
    ASSERT_TRUE(Step([&] { return dataEvents == 2; }));
    ASSERT_TRUE(client->ReadingHeld());
    client->Close();
    EXPECT_FALSE(client->ReadingHeld());
    ASSERT_TRUE(Step([&] { return Count("disconnect") == 2; }));
    now += 2000ms;
    Idle();
    EXPECT_EQ(dataEvents, 2);
    EXPECT_TRUE(bg.empty());
}

}  // namespace
}  // namespace vistrel
