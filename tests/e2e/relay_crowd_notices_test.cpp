// A crowd in one game with the crowd limit set low: summaries above it, and
// no name taken back that was not given, also once the game is back below.
#include <chrono>

#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Packets = std::vector<std::string>;
class CrowdOfFive : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        loop_.SetClock([this] { return TEventLoop::Clock::now() + offset_; });
        Form().SetupForEditing().CrowdSpin.SetValue(3);
        id_ = LoggedInSender(cam_);
        for (const char* name : {"A", "B", "C", "D", "E"}) v_.push_back(&NamedViewer(name));
    }
    // What a client heard, descriptions aside (their pace is another part's).
    Packets Heard(TRelayClient& c) {
        Packets out;
        for (std::string& p : Drain(c))
            if (p.rfind("GAMEINFODETAILED", 0) != 0) out.push_back(std::move(p));
        return out;
    }
    void Send(int i, const std::string& packet) { v_[static_cast<size_t>(i)]->Send(packet), Settle(); }
    Packets Heard(int i) { return Heard(*v_[static_cast<size_t>(i)]); }
    void NextSecond() { offset_ += std::chrono::seconds(1), Settle(); }
    std::chrono::steady_clock::duration offset_{};
    TRelayClient* cam_ = nullptr;
    int32_t id_ = 0;
    std::vector<TRelayClient*> v_;
};

TEST_F(CrowdOfFive, AboveTheLimitJoinsAndLeavesAreSummedUpAndNoNameIsTakenBackThatWasNotGiven) {
    EXPECT_TRUE(Logged("Crowd limit set to 3 viewers"));
    for (int i = 0; i < 3; ++i) Send(i, WaitForGame(id_));
    EXPECT_EQ(Heard(2),
              (Packets{"ACKNAK(0)", "SENDTEXT(: C entered)", "USERENTERED(C)", "USERENTERED(A)", "USERENTERED(B)"}));
    EXPECT_EQ(Heard(0), (Packets{"ACKNAK(0)", "SENDTEXT(: A entered)", "USERENTERED(A)", "SENDTEXT(: B entered)",
                                 "USERENTERED(B)", "SENDTEXT(: C entered)", "USERENTERED(C)"}));
    Heard(1), Heard(*cam_);

    // The fourth and fifth are told of themselves and named three viewers.
    Send(3, WaitForGame(id_));
    Send(4, WaitForGame(id_));
    EXPECT_TRUE(Logged("Game 1 has more than 3 viewers: joins and leaves are summed up"));
    for (const std::string n : {"D", "E"})
        EXPECT_EQ(Heard(n == "D" ? 3 : 4),
                  (Packets{"ACKNAK(0)", "SENDTEXT(: " + n + " entered)", "USERENTERED(" + n + ")", "USERENTERED(A)",
                           "USERENTERED(B)", "USERENTERED(C)"}));
    for (TRelayClient* c : {v_[0], cam_}) EXPECT_EQ(Heard(*c), Packets{});
    ASSERT_TRUE(TMainFormProbe::CrowdSummaryDue(Form()));
    NextSecond();
    for (TRelayClient* c : {v_[0], v_[1], v_[2], v_[3], v_[4], cam_})
        EXPECT_EQ(Heard(*c), Packets{"SENDTEXT(: 5 watching (+2))"});

    // Two leaves bring the game back to the limit; each leaver hears its own.
    Send(1, LeaveGame());
    Send(0, LeaveGame());
    EXPECT_EQ(Heard(0), (Packets{"ACKNAK(0)", "SENDTEXT(: A left)", "USERLEFT(A)"}));
    EXPECT_TRUE(Logged("Game 1 has 3 viewers or fewer: joins and leaves are announced again"));
    NextSecond();
    for (TRelayClient* c : {v_[2], v_[3], v_[4], cam_}) EXPECT_EQ(Heard(*c), Packets{"SENDTEXT(: 3 watching (-2))"});
    EXPECT_EQ(Heard(1), (Packets{"ACKNAK(0)", "SENDTEXT(: B left)", "USERLEFT(B)"}));
    NextSecond();  // a quiet second: no summary
    EXPECT_EQ(Heard(2), Packets{});

    // Below it again: D's join was not announced, and E was not named D.
    Send(3, LeaveGame());
    for (int i : {2, 4}) EXPECT_EQ(Heard(i), Packets{"SENDTEXT(: D left)"});
    EXPECT_EQ(Heard(*cam_), Packets{"SENDTEXT(: D left)"});
    EXPECT_EQ(Heard(3), (Packets{"ACKNAK(0)", "SENDTEXT(: D left)", "USERLEFT(D)"}));
    v_[2]->Close(), Settle();
    EXPECT_EQ(Heard(4), (Packets{"SENDTEXT(: C left)", "USERLEFT(C)"}));
    EXPECT_EQ(Heard(*cam_), (Packets{"SENDTEXT(: C left)", "USERLEFT(C)"}));
    Form().SetupForEditing().CrowdSpin.SetValue(0);
    EXPECT_TRUE(Logged("Crowd limit off"));
}

TEST_F(CrowdOfFive, ARemovedGamesSummaryIsDroppedAndTheLimitAppliesWhenLowered) {
    for (int i = 0; i < 3; ++i) Send(i, WaitForGame(id_));
    Form().SetupForEditing().CrowdSpin.SetValue(2);
    EXPECT_TRUE(Logged("Game 1 has more than 2 viewers: joins and leaves are summed up"));
    Heard(0), Send(1, LeaveGame());
    EXPECT_EQ(Heard(0), Packets{});
    ASSERT_TRUE(TMainFormProbe::CrowdSummaryDue(Form()));
    Form().DeleteGame1Click({Form().Console().IndexOfGameRow(id_)});
    EXPECT_FALSE(TMainFormProbe::CrowdSummaryDue(Form()));
    NextSecond();
    EXPECT_EQ(Heard(3), Packets{"GAMEREMOVED(1)"});
}

}  // namespace
}  // namespace vistrel::testing
