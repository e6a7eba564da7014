// The distribution walk over loopback: pace, order, exact bytes, one place
// per viewer, gaps, and games whose sender has gone.
#include <string>
#include <vector>

#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Distribution = RelayTest;
using Packets = std::vector<std::string>;

TEST_F(Distribution, OneStoredPacketPerTickExactlyAsStored) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    std::vector<std::string> sent;
    for (int32_t i = 0; i < 4; ++i) sent.push_back(Demo(i, "frame " + std::to_string(i)));
    sent.push_back(Restart(4, "restart body"));
    for (const std::string& p : sent) cam->Send(p);
    Settle();
    TRelayClient& v = NamedViewer("V");
    v.Send(WaitForGame(id));
    Drain(v);

    for (const std::string& p : sent) {
        Tick();
        ASSERT_TRUE(v.HasPacket());
        EXPECT_EQ(v.TakePacket(), p);
        EXPECT_TRUE(v.Unread().empty()) << "more than one packet in one tick";
    }
    Tick();
    EXPECT_EQ(Drain(v), Packets{});

    // A packet for a location already passed is not sent again; a new one
    // at the end goes out on the next tick.
    cam->Send(Demo(1, "replaced") + Demo(5, "next"));
    Settle();
    Tick();
    EXPECT_EQ(Drain(v), Packets{"DEMOPACKET(5)"});
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(Distribution, EveryViewerKeepsItsOwnPlaceAndGamesAdvanceTogether) {
    TRelayClient& one = ConnectSender();
    TRelayClient& two = ConnectSender();
    for (int32_t i = 0; i < 3; ++i) {
        one.Send(Demo(i, "one"));
        two.Send(Demo(i, "two"));
    }
    TRelayClient& early = NamedViewer("early");
    TRelayClient& late = NamedViewer("late");
    TRelayClient& other = NamedViewer("other");
    early.Send(WaitForGame(1));
    other.Send(WaitForGame(2));
    Settle();
    Tick();
    late.Send(WaitForGame(1));
    Settle();
    for (TRelayClient* r : {&early, &late, &other}) Drain(*r);
    Tick();
    EXPECT_EQ(Drain(early), Packets{"DEMOPACKET(1)"});
    EXPECT_EQ(Drain(late), Packets{"DEMOPACKET(0)"});
    EXPECT_EQ(Drain(other), Packets{"DEMOPACKET(1)"});

    // Leaving and joining again starts over.
    early.Send(LeaveGame());
    Settle();
    early.Send(WaitForGame(1));
    Settle();
    Drain(early);
    Drain(late);
    Tick();
    EXPECT_EQ(Drain(early), Packets{"DEMOPACKET(0)"});
    EXPECT_EQ(Drain(late), Packets{"DEMOPACKET(1)"});
}

TEST_F(Distribution, GapsWaitForTheSenderAndArePassedOverOnceItIsGone) {
    TRelayClient& cam = ConnectSender();
    TRelayClient& busy = ConnectSender();
    cam.Send(Demo(0, "a") + Demo(3, "d"));
    busy.Send(Demo(0, "x") + Demo(1, "y"));
    TRelayClient& v = NamedViewer("V");
    TRelayClient& w = NamedViewer("W");
    v.Send(WaitForGame(1));
    w.Send(WaitForGame(2));
    Settle();
    Drain(v);
    Drain(w);

    Tick();
    EXPECT_EQ(Drain(v), Packets{"DEMOPACKET(0)"});
    EXPECT_EQ(Drain(w), Packets{"DEMOPACKET(0)"});
    // V waits at the gap; the walk goes on for the next game.
    Tick();
    EXPECT_EQ(Drain(v), Packets{});
    EXPECT_EQ(Drain(w), Packets{"DEMOPACKET(1)"});
    Tick();
    EXPECT_EQ(Drain(v), Packets{});

    cam.Send(Demo(1, "b"));
    Settle();
    Tick();
    EXPECT_EQ(Drain(v), Packets{"DEMOPACKET(1)"});

    // Location 2 will never come now: it is passed over.
    cam.Close();
    Settle();
    ASSERT_EQ(Game(1)->Sender(), nullptr);
    EXPECT_EQ(Drain(v), Packets{"GAMEINFODETAILED(1, 1 viewers)"});
    Tick();
    EXPECT_EQ(Drain(v), Packets{"DEMOPACKET(3)"});
    Tick();
    EXPECT_EQ(Drain(v), Packets{});
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(Distribution, GameWhoseSenderHasGoneIsStillServed) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    cam->Send(Demo(0, "first") + Demo(1, "second"));
    Settle();
    cam->Close();
    Settle();
    EXPECT_TRUE(Logged("Cammer disconnecting: 127.0.0.1"));

    TRelayClient& v = ConnectViewer();
    v.Send(UserInfo("late"));
    EXPECT_EQ(Drain(v), (Packets{"ACKNAK(0)", "GAMEINFODETAILED(1, 0 viewers)"}));
    v.Send(WaitForGame(id));
    EXPECT_EQ(Drain(v).size(), 4u);
    Tick();
    Tick();
    EXPECT_EQ(Drain(v), (Packets{"DEMOPACKET(0)", "DEMOPACKET(1)"}));
}

}  // namespace
}  // namespace vistrel::testing
