// Hostile senders and viewers over loopback, each beside an honest game that
// is being watched: gap floods, negative locations, payloads that inflate
// without end or not at all, strangers' games, broadcast floods and the rate
// of inflated output. The loop's clock is the test's own, so the pacing is
// stepped, never waited for; the honest game must keep one packet per tick
// and have its uploads answered at once throughout.
#include <algorithm>
#include <string>
#include <vector>

#include "core/demo_verify.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "relay/relay_limits.h"
#include "tests/e2e/relay_fixture.h"
#include "client/demo_payload.h"

namespace vistrel::testing {
namespace {

using namespace std::chrono_literals;
using Packets = std::vector<std::string>;

// A zlib stream of 64 MiB of zeros: about 64 KiB.
const std::string& Bomb() {
    static const std::string bomb = Deflate(std::string(size_t{64} << 20, '\0'), 9);
    return bomb;
}
uint32_t BombCrc() {
    static const uint32_t crc = Crc(std::string(size_t{64} << 20, '\0'));
    return crc;
}

class Pacing : public RelayTest {
protected:
    void SetUp() override {
        RelayTest::SetUp();
        now_ = TEventLoop::Clock::now();
        loop_.SetClock([this] { return now_; });
    }

    void Advance(TEventLoop::Clock::duration d) {
        now_ += d;
        Settle();
    }

    // The honest game: a logged-in sender and a viewer watching it.
    void StartHonestGame() {
        honest_id_ = LoggedInSender(honest_sender_, "Honest");
        honest_viewer_ = &NamedViewer("Watcher");
        honest_viewer_->Send(WaitForGame(honest_id_));
        Settle();
        Drain(*honest_viewer_);
        Drain(*honest_sender_);
    }
    // The honest sender uploads its next packet and is answered at once; on
    // the next tick its viewer receives exactly that packet.
    void ExpectHonestPace() {
        const int32_t location = honest_next_++;
        honest_sender_->Send(Demo(location, "honest frame " + std::to_string(location)));
        Settle();
        Packets acks;
        for (const std::string& p : Drain(*honest_sender_))
            if (p.rfind("ACKNAK", 0) == 0) acks.push_back(p);
        EXPECT_EQ(acks, Packets{"ACKNAK(0)"}) << "the honest upload was not answered at once";
        Tick();
        Packets demo;
        for (const std::string& p : Drain(*honest_viewer_))
            if (p.rfind("DEMO", 0) == 0) demo.push_back(p);
        EXPECT_EQ(demo, Packets{"DEMOPACKET(" + std::to_string(location) + ")"}) << "the honest game lost its pace";
    }

    TDemoSender* SenderOf(int32_t gameId) {
        TWSocketServer& senders = TMainFormProbe::DemoSenders(Form());
        for (int32_t i = 0; i < senders.ClientCount(); ++i) {
            auto* s = static_cast<TDemoSender*>(senders.Client(i));
            if (s->GameId == gameId) return s;
        }
        return nullptr;
    }
    TDemoViewer* LastViewer() {
        TWSocketServer& viewers = TMainFormProbe::DemoViewers(Form());
        return static_cast<TDemoViewer*>(viewers.Client(viewers.ClientCount() - 1));
    }
    static size_t CountOf(const Packets& packets, const std::string& what) {
        return static_cast<size_t>(std::count(packets.begin(), packets.end(), what));
    }
    // Payload checks since start-up, but for the honest game's uploads.
    uint64_t Checks() { return TMainFormProbe::PayloadChecks(Form()) - static_cast<uint64_t>(honest_next_); }

    TEventLoop::Clock::time_point now_;
    TRelayClient* honest_sender_ = nullptr;
    TRelayClient* honest_viewer_ = nullptr;
    int32_t honest_id_ = 0;
    int32_t honest_next_ = 0;
};

TEST_F(Pacing, GapFloodIsRefusedOnceTheGameWouldMissTooManyLocations) {
    StartHonestGame();
    ExpectHonestPace();

    // 40 restarts, each 65,536 past the end: the first fits, the second
    // would leave 131,072 locations missing.
    TRelayClient* flood = nullptr;
    const int32_t floodId = LoggedInSender(flood, "Flood");
    std::string restarts;
    for (int i = 0; i < 40; ++i) restarts += Restart(kMaxGapsPerStore * (i + 1) + i, "gap");
    flood->Send(restarts);
    EXPECT_TRUE(WaitFor([&] { return flood->Ended(); }));
    EXPECT_EQ(Drain(*flood), Packets{"ACKNAK(0)"});
    EXPECT_EQ(Game(floodId)->Count(), kMaxGapsPerStore + 1);
    EXPECT_EQ(Game(floodId)->Gaps(), kMaxMissingLocations);
    EXPECT_TRUE(Logged("127.0.0.1 sent a packet for location " + std::to_string(2 * kMaxGapsPerStore + 1) +
                       ", which would leave its demo with more than 65536 missing locations; connection closed"));
    ExpectHonestPace();

    // Smaller steps, each well within the bound for one store, add up the
    // same way.
    TRelayClient* steps = nullptr;
    const int32_t stepsId = LoggedInSender(steps, "Steps");
    std::string packets;
    for (int i = 1; i <= 5; ++i) packets += Demo(i * 20000, "step");
    steps->Send(packets);
    EXPECT_TRUE(WaitFor([&] { return steps->Ended(); }));
    EXPECT_EQ(Drain(*steps), (Packets{"ACKNAK(0)", "ACKNAK(0)", "ACKNAK(0)"}));
    EXPECT_EQ(Game(stepsId)->Count(), 60001);
    EXPECT_EQ(Game(stepsId)->Gaps(), 59998);
    EXPECT_TRUE(Logged("127.0.0.1 sent a packet for location 80000, which would leave its demo with more than "
                       "65536 missing locations; connection closed"));
    ExpectHonestPace();
    ExpectHonestPace();
}

TEST_F(Pacing, NegativeLocationsCloseTheSenderWithoutAnAnswer) {
    StartHonestGame();
    for (const std::string& packet : {Demo(-1, "before"), Restart(-1, "before"), Restart(INT32_MIN, "min")}) {
        SCOPED_TRACE(Describe(packet));
        TRelayClient* s = nullptr;
        const int32_t id = LoggedInSender(s, "Negative");
        s->Send(packet + Demo(0, "never reached"));
        EXPECT_TRUE(WaitFor([&] { return s->Ended(); }));
        EXPECT_EQ(Drain(*s), Packets{});
        EXPECT_EQ(Game(id)->Count(), 0);
        EXPECT_TRUE(Logged("127.0.0.1 sent a packet for location " + std::to_string(PacketLocationOf(packet)) +
                           ", before the start of its demo; connection closed"));
        ExpectHonestPace();
    }
    // The same before any login (no filming password).
    TRelayClient& anonymous = ConnectSender();
    anonymous.Send(Restart(-5, "x"));
    EXPECT_TRUE(WaitFor([&] { return anonymous.Ended(); }));
    EXPECT_EQ(Drain(anonymous), Packets{});
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(Pacing, HighRatioPayloadsAreCheckedOnceWithBoundedWork) {
    StartHonestGame();
    TRelayClient* bomber = nullptr;
    const int32_t bomberId = LoggedInSender(bomber, "Bomber");
    ASSERT_LE(Bomb().size(), size_t{70} << 10);
    const uint64_t checks = Checks();

    // Right and wrong check field: both refused, both consumed, each checked
    // once, and the honest game answered at once in between.
    bomber->Send(RawDemo(0, Bomb(), BombCrc()));
    EXPECT_EQ(Drain(*bomber), Packets{"ACKNAK(1)"});
    ExpectHonestPace();
    bomber->Send(RawDemo(0, Bomb(), BombCrc() ^ 1u));
    EXPECT_EQ(Drain(*bomber), Packets{"ACKNAK(1)"});
    EXPECT_EQ(Checks(), checks + 2);
    EXPECT_EQ(Game(bomberId)->Count(), 0);
    ExpectHonestPace();

    // Then a bomb whose last bytes come one at a time, and a packet behind
    // it fed a byte at a time: no payload is checked before it is whole,
    // none twice, and the relay answers others at once after every byte.
    Advance(2s);
    const std::string partial = RawDemo(1, Bomb(), BombCrc());
    bomber->Send(std::string_view(partial).substr(0, partial.size() - 16));
    for (size_t i = partial.size() - 16; i < partial.size(); ++i) {
        Settle();
        EXPECT_EQ(Checks(), checks + 2);
        if (i % 4 == 0) ExpectHonestPace();
        bomber->Send(partial.substr(i, 1));
    }
    Settle();
    EXPECT_EQ(Drain(*bomber), Packets{"ACKNAK(1)"});
    EXPECT_EQ(Checks(), checks + 3);
    const std::string next = Demo(2, "after the bombs");
    for (size_t i = 0; i < next.size(); ++i) {
        EXPECT_EQ(Checks(), checks + 3);
        bomber->Send(next.substr(i, 1));
        if (i % 4 == 0) ExpectHonestPace();
        Settle();
    }
    EXPECT_EQ(Drain(*bomber), Packets{"ACKNAK(0)"});
    EXPECT_EQ(Checks(), checks + 4);
    EXPECT_EQ(Game(bomberId)->Count(), 3);
    EXPECT_EQ(Game(bomberId)->Data(2), next);
    for (int i = 0; i < 3; ++i) {
        bomber->Send(AckNak(0));
        ExpectHonestPace();
    }
    EXPECT_EQ(Checks(), checks + 4);
    EXPECT_FALSE(bomber->Ended());
}

TEST_F(Pacing, InvalidAndEmptyPayloadsAreRefusedAndConsumed) {
    StartHonestGame();
    TRelayClient* s = nullptr;
    const int32_t id = LoggedInSender(s, "Broken");
    const uint64_t checks = Checks();
    std::string bad = Deflate("a real stream", 6);
    bad.back() = static_cast<char>(bad.back() ^ 0x40);  // its trailer is wrong
    s->Send(RawDemo(0, "not zlib at all", 0) + RawDemo(0, "", 0) + RawDemo(0, bad, Crc("a real stream")) +
            Demo(0, "good"));
    EXPECT_EQ(Drain(*s), (Packets{"ACKNAK(1)", "ACKNAK(1)", "ACKNAK(1)", "ACKNAK(0)"}));
    EXPECT_EQ(Checks(), checks + 4);
    ASSERT_EQ(Game(id)->Count(), 1);
    EXPECT_EQ(Game(id)->Data(0), Demo(0, "good"));
    ExpectHonestPace();
    // More input later checks nothing again.
    for (int i = 0; i < 3; ++i) {
        s->Send(AckNak(0));
        ExpectHonestPace();
    }
    EXPECT_EQ(Checks(), checks + 4);
    EXPECT_FALSE(s->Ended());
}

TEST_F(Pacing, InflatedOutputAboveItsRateHoldsTheSenderBack) {
    StartHonestGame();
    TRelayClient* heavy = nullptr;
    const int32_t heavyId = LoggedInSender(heavy, "Heavy");
    // Each packet inflates to 8 MiB: a quarter of a second at 32 MiB/s.
    const std::string content(size_t{8} << 20, 'a');
    std::string packets;
    for (int32_t i = 0; i < 8; ++i) packets += Demo(i, content);
    heavy->Send(packets);
    Settle();
    // One second's worth at once, and the check that crossed it.
    EXPECT_EQ(Drain(*heavy).size(), 5u);
    EXPECT_EQ(Game(heavyId)->Count(), 5);
    TDemoSender* sender = SenderOf(heavyId);
    ASSERT_NE(sender, nullptr);
    EXPECT_TRUE(sender->ReadingHeld());
    EXPECT_EQ(sender->HeldUntil(), now_ + 250ms);
    // Its chat waits too, behind its packets: nothing is dropped or reordered.
    heavy->Send(SendText("behind"));
    ExpectHonestPace();

    Advance(249ms);
    EXPECT_EQ(Drain(*heavy), Packets{});
    Advance(1ms);
    EXPECT_EQ(Drain(*heavy), Packets{"ACKNAK(0)"});
    ExpectHonestPace();
    Advance(250ms);
    EXPECT_EQ(Drain(*heavy), Packets{"ACKNAK(0)"});
    Advance(250ms);
    EXPECT_EQ(Drain(*heavy), Packets{"ACKNAK(0)"});
    // The last check put it over again: its chat waits one more quarter.
    Advance(250ms);
    EXPECT_EQ(Drain(*heavy), (Packets{"ACKNAK(0)", "SENDTEXT(Heavy: behind)"}));
    ASSERT_EQ(Game(heavyId)->Count(), 8);
    for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(Game(heavyId)->Data(i), Demo(i, content));
    ExpectHonestPace();
    EXPECT_FALSE(heavy->Ended());
}

TEST_F(Pacing, StrangersLeaveNoGamesBehindWithAFilmingPassword) {
    StartHonestGame();
    Form().SetupForEditing().FilmDemoPasswordEdit = "secret";
    TRelayClient& idle = NamedViewer("Idle");
    const int32_t firstStranger = TMainFormProbe::GameIdCounter(Form()) + 1;
    // Strangers: some only connect, some fail the login, some send packets
    // that are refused; all of them close.
    for (int i = 0; i < 30; ++i) {
        TRelayClient& s = ConnectSender();
        if (i % 3 == 1) s.Send(GameInfo("Guess", "wrong"));
        if (i % 3 == 2) s.Send(Demo(0, "refused") + SendText("refused"));
        Settle();
        s.Close();
        Settle();
        if (i % 10 == 0) ExpectHonestPace();
    }
    EXPECT_TRUE(WaitFor([&] { return TMainFormProbe::Games(Form())->Count() == 1; }));
    EXPECT_EQ(Form().Console().Games().Count(), 1);
    EXPECT_EQ(TMainFormProbe::DemoSenders(Form()).ClientCount(), 1);
    for (int32_t id = firstStranger; id < firstStranger + 30; ++id)
        EXPECT_TRUE(Logged("127.0.0.1 left without logging in for filming; its empty game " + std::to_string(id) +
                           " is removed"));
    // Every viewer is told, as Delete Game tells them.
    const Packets told = Drain(idle);
    for (int32_t id = firstStranger; id < firstStranger + 30; ++id)
        EXPECT_EQ(CountOf(told, "GAMEREMOVED(" + std::to_string(id) + ")"), 1u) << id;
    ExpectHonestPace();

    // A stranger whose game has a viewer keeps it.
    TRelayClient& watched = ConnectSender();
    const int32_t watchedId = TMainFormProbe::GameIdCounter(Form());
    TRelayClient& curious = NamedViewer("Curious");
    curious.Send(WaitForGame(watchedId));
    Settle();
    watched.Close();
    Settle();
    ASSERT_NE(Game(watchedId), nullptr);
    EXPECT_EQ(Game(watchedId)->Sender(), nullptr);

    // A sender that stored a packet before the password was set keeps it.
    Form().SetupForEditing().FilmDemoPasswordEdit = "";
    TRelayClient& early = ConnectSender();
    const int32_t earlyId = TMainFormProbe::GameIdCounter(Form());
    early.Send(Demo(0, "stored"));
    EXPECT_EQ(Drain(early), Packets{"ACKNAK(0)"});
    Form().SetupForEditing().FilmDemoPasswordEdit = "secret";
    early.Close();
    Settle();
    ASSERT_NE(Game(earlyId), nullptr);
    EXPECT_EQ(Game(earlyId)->Count(), 1);

    // So does one that logged in, and, without a password, any sender.
    TRelayClient* member = nullptr;
    const int32_t memberId = LoggedInSender(member, "Member", "secret");
    member->Close();
    Settle();
    Form().SetupForEditing().FilmDemoPasswordEdit = "";
    TRelayClient& open = ConnectSender();
    const int32_t openId = TMainFormProbe::GameIdCounter(Form());
    Settle();
    open.Close();
    Settle();
    EXPECT_NE(Game(memberId), nullptr);
    EXPECT_NE(Game(openId), nullptr);
    EXPECT_EQ(TMainFormProbe::Games(Form())->Count(), 5);
    ExpectHonestPace();
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(Pacing, WaitForGameFloodIsPacedWithNothingDroppedOrReordered) {
    StartHonestGame();
    TRelayClient* other = nullptr;
    const int32_t otherId = LoggedInSender(other, "Other");
    // A viewer that never named itself: all 40 of its broadcasts are left.
    TRelayClient& flood = ConnectViewer();
    TDemoViewer* v = LastViewer();
    const int32_t games[2] = {honest_id_, otherId};
    std::string packets;
    const int kFlood = 100;
    for (int i = 0; i < kFlood; ++i) packets += WaitForGame(games[i % 2]);
    flood.Send(packets);
    Settle();
    size_t acks = CountOf(Drain(flood), "ACKNAK(0)");
    EXPECT_EQ(acks, 40u);
    // The 40th joined the second game.
    EXPECT_EQ(v->GameId, otherId);
    EXPECT_TRUE(v->ReadingHeld());
    ExpectHonestPace();

    // One more every 50 ms, in order.
    Advance(49ms);
    EXPECT_EQ(CountOf(Drain(flood), "ACKNAK(0)"), 0u);
    Advance(1ms);
    EXPECT_EQ(CountOf(Drain(flood), "ACKNAK(0)"), 1u);
    EXPECT_EQ(v->GameId, honest_id_);
    acks += 1;
    for (int step = 0; step < 9; ++step) {
        Advance(50ms);
        acks += CountOf(Drain(flood), "ACKNAK(0)");
        EXPECT_EQ(v->GameId, games[(acks - 1) % 2]);
    }
    EXPECT_EQ(acks, 50u);
    // 20 a second.
    Advance(1s);
    acks += CountOf(Drain(flood), "ACKNAK(0)");
    EXPECT_EQ(acks, 70u);
    ExpectHonestPace();
    Advance(2s);
    acks += CountOf(Drain(flood), "ACKNAK(0)");
    EXPECT_EQ(acks, static_cast<size_t>(kFlood));
    EXPECT_EQ(v->GameId, otherId);
    EXPECT_FALSE(v->ReadingHeld());
    EXPECT_EQ(Game(otherId)->Viewers(), 1);
    EXPECT_EQ(Game(honest_id_)->Viewers(), 1);

    // Idle for a while, it has its burst again.
    Advance(2s);
    packets.clear();
    for (int i = 0; i < 41; ++i) packets += LeaveGame();
    flood.Send(packets);
    Settle();
    EXPECT_EQ(CountOf(Drain(flood), "ACKNAK(0)"), 40u);
    Advance(50ms);
    EXPECT_EQ(CountOf(Drain(flood), "ACKNAK(0)"), 1u);
    ExpectHonestPace();
}

TEST_F(Pacing, ChatFloodsFromSendersAndViewersArePaced) {
    StartHonestGame();
    // The honest viewer's chat: one message, at once.
    honest_viewer_->Send(SendText("hello"));
    Settle();
    EXPECT_EQ(CountOf(Drain(*honest_sender_), "SENDTEXT(Watcher: hello)"), 1u);
    Drain(*honest_viewer_);

    // A sender: its login took one broadcast, 39 are left.
    TRelayClient* loud = nullptr;
    LoggedInSender(loud, "Loud");
    std::string lines;
    for (int i = 0; i < 60; ++i) lines += SendText("line " + std::to_string(i));
    loud->Send(lines);
    Settle();
    Packets got = Drain(*loud);
    EXPECT_EQ(CountOf(got, "ACKNAK(0)"), 39u);
    EXPECT_EQ(got.back(), "SENDTEXT(Loud: line 38)");
    ExpectHonestPace();
    Advance(50ms);
    EXPECT_EQ(Drain(*loud), (Packets{"ACKNAK(0)", "SENDTEXT(Loud: line 39)"}));
    Advance(1s);
    got = Drain(*loud);
    EXPECT_EQ(CountOf(got, "ACKNAK(0)"), 20u);
    EXPECT_EQ(got.back(), "SENDTEXT(Loud: line 59)");

    // A viewer watching the honest game: its USERINFO and WAITFORGAME took two.
    TRelayClient& chatty = NamedViewer("Chatty");
    chatty.Send(WaitForGame(honest_id_));
    Settle();
    Drain(chatty);
    Drain(*honest_sender_);
    lines.clear();
    for (int i = 0; i < 45; ++i) lines += SendText("spam " + std::to_string(i));
    chatty.Send(lines);
    Settle();
    got = Drain(*honest_sender_);
    EXPECT_EQ(CountOf(got, "SENDTEXT(Chatty: spam 37)"), 1u);
    EXPECT_EQ(CountOf(got, "SENDTEXT(Chatty: spam 38)"), 0u);
    ExpectHonestPace();
    Advance(350ms);
    got = Drain(*honest_sender_);
    EXPECT_EQ(got.size(), 7u);
    EXPECT_EQ(got.back(), "SENDTEXT(Chatty: spam 44)");
    ExpectHonestPace();
}

}  // namespace
}  // namespace vistrel::testing
