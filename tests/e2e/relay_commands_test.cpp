// The operator's commands on selected rows, seen from every connection.
#include <string>
#include <vector>

#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Commands = RelayTest;
using Packets = std::vector<std::string>;

TEST_F(Commands, HaltTransferClosesTheSelectedLinkedSenders) {
    TRelayClient& s1 = ConnectSender();
    TRelayClient& s2 = ConnectSender();
    TRelayClient& s3 = ConnectSender();
    s2.Close();
    Settle();
    ASSERT_EQ(Form().Console().Games().Link(1), nullptr);

    Form().HaltTransfer1Click({});
    Form().HaltTransfer1Click({1, 0, 7, -1});
    // Closed at once; the row keeps its link until the disconnect runs.
    EXPECT_NE(Form().Console().Games().Link(0), nullptr);
    EXPECT_TRUE(WaitFor([&] { return s1.Ended(); }));
    Settle();
    EXPECT_EQ(Form().Console().Games().Link(0), nullptr);
    EXPECT_FALSE(s3.Ended());
    EXPECT_NE(Form().Console().Games().Link(2), nullptr);
    EXPECT_EQ(TMainFormProbe::Games(Form())->Count(), 3);
    EXPECT_EQ(Form().Console().Games().Count(), 3);
}

TEST_F(Commands, DeleteGameClosesItsPeopleAndTellsEveryoneElse) {
    TRelayClient& s1 = ConnectSender();
    TRelayClient& s2 = ConnectSender();
    TRelayClient& s3 = ConnectSender();
    TRelayClient& upper = NamedViewer("upper");  // watches game 1
    TRelayClient& middle = NamedViewer("middle");  // watches game 2
    TRelayClient& lower = NamedViewer("lower");  // watches game 3
    TRelayClient& idle = NamedViewer("idle");
    upper.Send(WaitForGame(1));
    middle.Send(WaitForGame(2));
    lower.Send(WaitForGame(3));
    Settle();
    for (TRelayClient* r : {&upper, &middle, &lower, &idle, &s1, &s2, &s3}) Drain(*r);

    // Rows from the last to the first: game 3, then game 1.
    Form().DeleteGame1Click({0, 2});
    Settle();
    EXPECT_TRUE(s1.Ended());
    EXPECT_TRUE(s3.Ended());
    EXPECT_FALSE(s2.Ended());
    EXPECT_TRUE(lower.Ended());
    EXPECT_TRUE(upper.Ended());
    EXPECT_EQ(Drain(lower), Packets{});
    EXPECT_EQ(Drain(upper), Packets{"GAMEREMOVED(3)"});
    EXPECT_EQ(Drain(middle), (Packets{"GAMEREMOVED(3)", "GAMEREMOVED(1)"}));
    EXPECT_EQ(Drain(idle), (Packets{"GAMEREMOVED(3)", "GAMEREMOVED(1)"}));
    EXPECT_EQ(Drain(s2), Packets{});

    ASSERT_EQ(TMainFormProbe::Games(Form())->Count(), 1);
    EXPECT_EQ(TMainFormProbe::Games(Form())->At(0).Identifier(), 2);
    ASSERT_EQ(Form().Console().Games().Count(), 1);
    EXPECT_EQ(Form().Console().Games().Line(0), "2;;;;0;1;127.0.0.1;;0;0;");
    EXPECT_EQ(Form().Console().Users().Count(), 2);
    EXPECT_TRUE(TMainFormProbe::GameViewers(Form()).Of(1).empty());
    EXPECT_TRUE(TMainFormProbe::GameViewers(Form()).Of(3).empty());

    // Identifiers are never reused, and the relay goes on.
    ConnectSender();
    EXPECT_EQ(TMainFormProbe::GameIdCounter(Form()), 4);
    Tick();
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(Commands, KickUserClosesTheSelectedViewers) {
    TRelayClient& cam = ConnectSender();
    TRelayClient& x = NamedViewer("X");
    TRelayClient& y = NamedViewer("Y");
    TRelayClient& z = NamedViewer("Z");
    x.Send(WaitForGame(1));
    Settle();
    y.Send(WaitForGame(1));
    Settle();
    for (TRelayClient* r : {&x, &y, &z, &cam}) Drain(*r);

    Form().KickUser1Click({2, 0});
    // Rows go with the disconnects, not before.
    EXPECT_EQ(Form().Console().Users().Count(), 3);
    Settle();
    EXPECT_TRUE(x.Ended());
    EXPECT_TRUE(z.Ended());
    EXPECT_EQ(Drain(x), Packets{});
    EXPECT_EQ(Drain(y), (Packets{"SENDTEXT(: X left)", "USERLEFT(X)", "GAMEINFODETAILED(1, 1 viewers)"}));
    EXPECT_EQ(Drain(cam), (Packets{"SENDTEXT(: X left)", "USERLEFT(X)"}));
    ASSERT_EQ(Form().Console().Users().Count(), 1);
    EXPECT_EQ(Form().Console().Users().Line(0), "Y;127.0.0.1;0");
    EXPECT_EQ(Game(1)->Viewers(), 1);
}

}  // namespace
}  // namespace vistrel::testing
