// Viewer connections over loopback: naming, the game list, joining and
// leaving with the notices each party receives, chat routing, the viewer
// limit, and the bounds on slow readers and stalled input.
#include <algorithm>
#include <string>
#include <vector>

#include "relay/demo_viewer.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Viewer = RelayTest;
using Packets = std::vector<std::string>;

TEST_F(Viewer, UserInfoNamesTheRowAndListsEveryGame) {
    TRelayClient& gone = ConnectSender();
    TRelayClient& cam = ConnectSender();
    gone.Close();
    Settle();
    ASSERT_EQ(Game(1)->Sender(), nullptr);

    TRelayClient& v = ConnectViewer();
    EXPECT_TRUE(Logged("Viewer connecting: 127.0.0.1"));
    EXPECT_EQ(Form().Console().Users().Line(0), "unknown;127.0.0.1;0");
    v.Send(UserInfo("Ann"));
    EXPECT_EQ(Drain(v), (Packets{"ACKNAK(0)", "GAMEINFODETAILED(1, 0 viewers)", "GAMEINFODETAILED(2, 0 viewers)"}));
    EXPECT_EQ(Form().Console().Users().Line(0), "Ann;127.0.0.1;0");

    // A 288-byte USERINFO in one piece is consumed whole: the LEAVEGAME
    // behind it is the next packet.
    v.Send(UserInfo("Bob", 288) + LeaveGame());
    EXPECT_EQ(Drain(v), (Packets{"ACKNAK(0)", "GAMEINFODETAILED(1, 0 viewers)", "GAMEINFODETAILED(2, 0 viewers)",
                                 "ACKNAK(0)"}));
    EXPECT_EQ(Form().Console().Users().Line(0), "Bob;127.0.0.1;0");

    // A shorter one takes the whole buffer with it.
    v.Send(UserInfo("Cid", 100));
    EXPECT_EQ(Drain(v).size(), 3u);
    v.Send(LeaveGame());
    EXPECT_EQ(Drain(v), Packets{"ACKNAK(0)"});
    cam.Close();
}

// The console's numbers follow the data: a game's Compressed Size is its
// stored packets' bytes, a viewer's Downloaded every byte it was sent; both
// are brought up to date by the tick.
TEST_F(Viewer, CompressedSizeAndDownloadedFollowTheData) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    TRelayClient& v = ConnectViewer();
    v.Send(UserInfo("Counted"));
    Settle();
    v.Send(WaitForGame(id));
    size_t stored = 0;
    for (int i = 0; i < 3; ++i) {
        const std::string packet = Demo(i, "content " + std::to_string(i));
        stored += packet.size();
        cam->Send(packet);
    }
    Settle();
    size_t received = 0;
    for (int t = 0; t < 4; ++t) {
        Tick();
        while (v.HasPacket()) received += v.TakePacket().size();
    }
    const TConsoleLists& console = Form().Console();
    EXPECT_EQ(console.Games().Column(console.IndexOfGameRow(id), 4), std::to_string(stored));
    EXPECT_EQ(console.Users().Column(0, 2), std::to_string(received));
    EXPECT_GT(received, stored);
}

TEST_F(Viewer, JoiningTellsEveryoneInTheGameInOrder) {
    TRelayClient& s1 = ConnectSender();
    TRelayClient& s2 = ConnectSender();
    TRelayClient& s3 = ConnectSender();
    TRelayClient& idle = NamedViewer("Idle");
    TRelayClient& a = NamedViewer("A");
    a.Send(WaitForGame(3));
    EXPECT_EQ(Drain(a), (Packets{"ACKNAK(0)", "SENDTEXT(: A entered)", "USERENTERED(A)",
                                 "GAMEINFODETAILED(3, 1 viewers)"}));
    EXPECT_TRUE(Logged("127.0.0.1 joined game 3"));
    EXPECT_EQ(Form().Console().Games().Line(2), "3;;;;0;1;127.0.0.1;;0;0;");
    Drain(idle);
    Drain(s3);

    TRelayClient& b = NamedViewer("B");
    b.Send(WaitForGame(3));
    EXPECT_EQ(Drain(b), (Packets{"ACKNAK(0)", "SENDTEXT(: B entered)", "USERENTERED(B)", "USERENTERED(A)",
                                 "GAMEINFODETAILED(3, 2 viewers)"}));
    EXPECT_EQ(Drain(a), (Packets{"SENDTEXT(: B entered)", "USERENTERED(B)", "GAMEINFODETAILED(3, 2 viewers)"}));
    EXPECT_EQ(Drain(s3), (Packets{"SENDTEXT(: B entered)", "USERENTERED(B)"}));
    EXPECT_EQ(Drain(idle), Packets{"GAMEINFODETAILED(3, 2 viewers)"});
    EXPECT_EQ(Drain(s1), Packets{});
    EXPECT_EQ(Form().Console().Games().Line(2), "3;;;;0;2;127.0.0.1;;0;0;");

    // An unknown game is acknowledged and nothing else.
    b.Send(WaitForGame(42));
    EXPECT_EQ(Drain(b), Packets{"ACKNAK(0)"});
    EXPECT_EQ(Game(3)->Viewers(), 2);
    s2.Close();
}

TEST_F(Viewer, ChatReachesTheSameGameOrTheViewersOfNoGame) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    TRelayClient& a = NamedViewer("A");
    TRelayClient& b = NamedViewer("B");
    TRelayClient& c = NamedViewer("C");
    TRelayClient& d = NamedViewer("D");
    a.Send(WaitForGame(id));
    Settle();
    b.Send(WaitForGame(id));
    for (TRelayClient* r : {&a, &b, &c, &d, cam}) Drain(*r);

    a.Send(SendText("hi", "forged"));
    EXPECT_EQ(Drain(a), (Packets{"ACKNAK(0)", "SENDTEXT(A: hi)"}));
    EXPECT_EQ(Drain(b), Packets{"SENDTEXT(A: hi)"});
    EXPECT_EQ(Drain(*cam), Packets{"SENDTEXT(A: hi)"});
    EXPECT_EQ(Drain(c), Packets{});

    c.Send(SendText("yo"));
    EXPECT_EQ(Drain(c), (Packets{"ACKNAK(0)", "SENDTEXT(C: yo)"}));
    EXPECT_EQ(Drain(d), Packets{"SENDTEXT(C: yo)"});
    EXPECT_EQ(Drain(a), Packets{});
    EXPECT_EQ(Drain(*cam), Packets{});
}

TEST_F(Viewer, LeavingAndDisconnectingTellTheGame) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    TRelayClient& a = NamedViewer("A");
    TRelayClient& b = NamedViewer("B");
    a.Send(WaitForGame(id));
    Settle();
    b.Send(WaitForGame(id));
    for (TRelayClient* r : {&a, &b, cam}) Drain(*r);

    b.Send(LeaveGame());
    EXPECT_EQ(Drain(b), (Packets{"ACKNAK(0)", "SENDTEXT(: B left)", "USERLEFT(B)", "GAMEINFODETAILED(1, 1 viewers)"}));
    EXPECT_EQ(Drain(a), (Packets{"SENDTEXT(: B left)", "USERLEFT(B)", "GAMEINFODETAILED(1, 1 viewers)"}));
    EXPECT_EQ(Drain(*cam), (Packets{"SENDTEXT(: B left)", "USERLEFT(B)"}));
    EXPECT_TRUE(Logged("127.0.0.1 left game 1"));
    EXPECT_EQ(Form().Console().Games().Line(0), "1;Final;Quake 3;ctf;0;1;Cam;;0;0;");
    b.Send(LeaveGame());
    EXPECT_EQ(Drain(b), Packets{"ACKNAK(0)"});

    a.Close();
    Settle();
    EXPECT_TRUE(Logged("Viewer disconnecting: 127.0.0.1"));
    EXPECT_EQ(Drain(*cam), (Packets{"SENDTEXT(: A left)", "USERLEFT(A)"}));
    EXPECT_EQ(Drain(b), Packets{"GAMEINFODETAILED(1, 0 viewers)"});
    EXPECT_EQ(Game(id)->Viewers(), 0);
    EXPECT_EQ(Form().Console().Games().Line(0), "1;Final;Quake 3;ctf;0;0;Cam;;0;0;");
    ASSERT_EQ(Form().Console().Users().Count(), 1);
    EXPECT_EQ(Form().Console().Users().Line(0), "B;127.0.0.1;0");
}

TEST_F(Viewer, JoiningAnotherGameLeavesTheWatchedOneFirst) {
    TRelayClient& s1 = ConnectSender();
    TRelayClient& s2 = ConnectSender();
    s1.Send(Demo(0, "one-0") + Demo(1, "one-1"));
    s2.Send(Demo(0, "two-0"));
    TRelayClient& a = NamedViewer("A");
    TRelayClient& b = NamedViewer("B");
    a.Send(WaitForGame(1));
    Settle();
    b.Send(WaitForGame(1));
    Settle();
    Tick();
    for (TRelayClient* r : {&a, &b, &s1, &s2}) Drain(*r);
    ASSERT_EQ(TMainFormProbe::GameViewers(Form()).Of(1).size(), 2u);

    b.Send(WaitForGame(2));
    EXPECT_EQ(Drain(b), (Packets{"ACKNAK(0)", "SENDTEXT(: B left)", "USERLEFT(B)", "GAMEINFODETAILED(1, 1 viewers)",
                                 "SENDTEXT(: B entered)", "USERENTERED(B)", "GAMEINFODETAILED(2, 1 viewers)"}));
    EXPECT_EQ(Drain(a), (Packets{"SENDTEXT(: B left)", "USERLEFT(B)", "GAMEINFODETAILED(1, 1 viewers)",
                                 "GAMEINFODETAILED(2, 1 viewers)"}));
    EXPECT_EQ(Drain(s1), (Packets{"SENDTEXT(: B left)", "USERLEFT(B)"}));
    EXPECT_EQ(Game(1)->Viewers(), 1);
    EXPECT_EQ(Game(2)->Viewers(), 1);
    // Compressed Size: the stored packets' bytes, as of the last tick; no
    // delay, so every stored packet is visible.
    const std::string sizes[] = {std::to_string(Demo(0, "one-0").size() + Demo(1, "one-1").size()),
                                 std::to_string(Demo(0, "two-0").size())};
    EXPECT_EQ(Form().Console().Games().Line(0), "1;;;;" + sizes[0] + ";1;127.0.0.1;0;2;2;");
    EXPECT_EQ(Form().Console().Games().Line(1), "2;;;;" + sizes[1] + ";1;127.0.0.1;0;1;1;");

    // The new game starts from its first packet; the old one goes on for A.
    Tick();
    EXPECT_EQ(Drain(b), Packets{"DEMOPACKET(0)"});
    EXPECT_EQ(Drain(a), Packets{"DEMOPACKET(1)"});

    // Joining the watched game again starts it over.
    a.Send(WaitForGame(1));
    Settle();
    EXPECT_EQ(Game(1)->Viewers(), 1);
    Drain(a);
    Tick();
    EXPECT_EQ(Drain(a), Packets{"DEMOPACKET(0)"});
}

TEST_F(Viewer, WaitForGameInTwoPiecesIsHandledOnce) {
    ConnectSender();
    TRelayClient& v = NamedViewer("V");
    const std::string join = WaitForGame(1);
    v.Send(join.substr(0, 10));
    EXPECT_EQ(Drain(v), Packets{});
    v.Send(join.substr(10));
    EXPECT_EQ(Drain(v).size(), 4u);
    EXPECT_EQ(Game(1)->Viewers(), 1);
}

TEST_F(Viewer, RefusedByTheLimitIsListedUntilItsDisconnect) {
    Form().SetupForEditing().MaxClientsSpin.SetValue(1);
    std::vector<std::string> changes;
    Form().Console().Users().Listeners().Subscribe([&](const TListChange& change) {
        changes.push_back(change.Kind == TListChange::TKind::RowAppended  ? "added"
                          : change.Kind == TListChange::TKind::RowRemoved ? "removed"
                                                                        : "changed");
    });
    ConnectViewer();
    clients_.push_back(std::make_unique<TRelayClient>(TMainFormProbe::DemoViewers(Form()).LocalPort()));
    TRelayClient& refused = *clients_.back();
    ASSERT_TRUE(WaitFor([&] { return refused.Ended(); }));
    EXPECT_EQ(refused.Unread(), "Sorry, too many clients\r\n");
    Settle();
    EXPECT_EQ(changes, (std::vector<std::string>{"added", "added", "removed"}));
    EXPECT_EQ(Form().Console().Users().Count(), 1);
    EXPECT_TRUE(Logged("Viewer disconnecting: 127.0.0.1"));
}

// The server side of the n-th viewer connection.
TDemoViewer& ServerSide(TMainForm& form, int32_t index) {
    return *static_cast<TDemoViewer*>(TMainFormProbe::DemoViewers(form).Client(index));
}

TEST_F(Viewer, SlowReaderKeepsEverythingUntilItStaysTooLongAboveTheSoftLimit) {
    auto offset = TEventLoop::Clock::duration::zero();
    loop_.SetClock([&] { return TEventLoop::Clock::now() + offset; });
    TMainFormProbe::DemoViewers(Form()).ClientSendLimits = TSendLimits{size_t{256} << 10, std::chrono::seconds(30), size_t{1} << 30};
    TRelayClient& cam = ConnectSender();
    const std::string body(1 << 20, 'b');
    for (int32_t i = 0; i < 40; ++i) cam.Send(Restart(i, body));
    ASSERT_TRUE(WaitFor([&] { return Game(1)->Count() == 40; }));
    TRelayClient& slow = NamedViewer("slow");
    TRelayClient& other = NamedViewer("other");
    slow.Send(WaitForGame(1));
    Settle();
    other.Send(WaitForGame(1));
    Settle();
    Drain(slow);
    Drain(other);
    slow.PauseReading(true);

    TDemoViewer& server = ServerSide(Form(), 0);
    int32_t ticks = 0;
    while (server.BufferedBytes() <= (size_t{256} << 10) && ticks < 30) {
        Tick();
        Drain(other);
        ++ticks;
    }
    ASSERT_GT(server.BufferedBytes(), size_t{256} << 10);
    // Above the soft limit for less than its duration: nothing is lost.
    offset += std::chrono::seconds(20);
    slow.PauseReading(false);
    const size_t expected = static_cast<size_t>(ticks) * Restart(0, body).size();
    ASSERT_TRUE(WaitFor([&] { return slow.Unread().size() >= expected; }));
    Settle();
    for (int32_t i = 0; i < ticks; ++i) EXPECT_EQ(slow.TakePacket(), Restart(i, body)) << i;
    EXPECT_TRUE(slow.Unread().empty());

    slow.PauseReading(true);
    int32_t more = 0;
    while (server.BufferedBytes() <= (size_t{256} << 10) && more < 8) {
        Tick();
        ++more;
    }
    ASSERT_GT(server.BufferedBytes(), size_t{256} << 10);
    offset += std::chrono::seconds(31);
    Tick();
    EXPECT_TRUE(LoggedContaining("Viewer 127.0.0.1 is not reading: unsent output stayed above 262144 bytes for 30 s"));
    Settle();
    // Closed as a gone connection: its disconnect tells the game.
    EXPECT_EQ(Game(1)->Viewers(), 1);
    Packets seen = Drain(other);
    EXPECT_NE(std::find(seen.begin(), seen.end(), "SENDTEXT(: slow left)"), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "USERLEFT(slow)"), seen.end());
}

TEST_F(Viewer, OutputAboveTheHardLimitClosesAtOnce) {
    TMainFormProbe::DemoViewers(Form()).ClientSendLimits = TSendLimits{size_t{1} << 20, std::chrono::seconds(30), size_t{3} << 20};
    TRelayClient& cam = ConnectSender();
    const std::string body(1 << 20, 'h');
    for (int32_t i = 0; i < 40; ++i) cam.Send(Restart(i, body));
    ASSERT_TRUE(WaitFor([&] { return Game(1)->Count() == 40; }));
    TRelayClient& slow = NamedViewer("slow");
    slow.Send(WaitForGame(1));
    Settle();
    slow.PauseReading(true);
    for (int i = 0; i < 40 && Form().Console().Users().Count() == 1; ++i) Tick();
    EXPECT_EQ(Form().Console().Users().Count(), 0);
    EXPECT_TRUE(LoggedContaining("Viewer 127.0.0.1 is not reading: unsent output of "));
    EXPECT_TRUE(LoggedContaining(" bytes exceeds 3145728 bytes; connection closed"));
    EXPECT_EQ(Game(1)->Viewers(), 0);
}

TEST_F(Viewer, StalledInputIsClosedAboveTheBound) {
    TMainFormProbe::SetMaxUnhandledInput(Form(), 1000);
    TRelayClient& v = NamedViewer("V");
    v.Send(Header(2, 12) + LeaveGame());
    EXPECT_EQ(Drain(v), Packets{});
    v.Send(std::string(900, 'x'));
    Settle();
    EXPECT_FALSE(v.Ended());
    v.Send(std::string(100, 'x'));
    EXPECT_TRUE(WaitFor([&] { return v.Ended(); }));
    EXPECT_TRUE(Logged("Viewer 127.0.0.1 left 1024 bytes it sent unhandled; connection closed"));
    Settle();
    EXPECT_EQ(Form().Console().Users().Count(), 0);
}

}  // namespace
}  // namespace vistrel::testing
