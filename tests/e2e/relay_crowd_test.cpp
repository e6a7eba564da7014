// Crowds and hogs over loopback: a join storm and the game descriptions it
// costs, a viewer that stops reading on a quiet server, and the budget of
// all connections' buffers, each with an honest game watched beside it.
#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "relay/demo_viewer.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Crowd = RelayTest;
using Packets = std::vector<std::string>;

// An honest game beside an attack: its viewer receives exactly one demo
// packet per tick, the next one in order.
class THonestGame {
public:
    THonestGame(RelayTest& test, TRelayClient& cam, TRelayClient& viewer, int32_t gameId, int32_t packets)
        : cam_(cam), viewer_(viewer), game_id_(gameId) {
        for (int32_t i = 0; i < packets; ++i) cam_.Send(Demo(i, "honest frame " + std::to_string(i)));
        (void)test;
    }
    // After a tick: the viewer has the next demo packet, and only that one
    // (descriptions and notices of other games' comings and goings aside).
    void ExpectOnePacket() {
        std::vector<std::string> demo;
        while (viewer_.HasPacket()) {
            std::string packet = viewer_.TakePacket();
            if (TypeOf(packet) == PacketType::DEMOPACKET) demo.push_back(std::move(packet));
        }
        ASSERT_EQ(demo.size(), 1u) << "the honest viewer's packets after the tick for location " << next_;
        EXPECT_EQ(demo[0], Demo(next_, "honest frame " + std::to_string(next_)));
        ++next_;
        EXPECT_FALSE(viewer_.Ended());
        EXPECT_FALSE(cam_.Ended());
    }
    int32_t GameId() const { return game_id_; }

private:
    TRelayClient& cam_;
    TRelayClient& viewer_;
    int32_t game_id_;
    int32_t next_ = 0;
};

TEST_F(Crowd, AJoinStormSendsEachViewerFewDescriptionsAndTheLastOnesAreCurrent) {
    constexpr int32_t kGames = 3;
    constexpr int32_t kViewers = 300;
    for (int32_t g = 0; g < kGames; ++g) {
        TRelayClient* cam = nullptr;
        LoggedInSender(cam, "Cam" + std::to_string(g));
    }
    std::vector<TRelayClient*> viewers;
    for (int32_t i = 0; i < kViewers; ++i) viewers.push_back(&NamedViewer("v" + std::to_string(i)));
    Settle();
    for (TRelayClient* v : viewers) ASSERT_TRUE(Drain(*v).empty());

    // Every join request is in the relay's kernel before its loop steps.
    const auto stormStart = std::chrono::steady_clock::now();
    for (int32_t i = 0; i < kViewers; ++i) viewers[static_cast<size_t>(i)]->Send(WaitForGame(i % kGames + 1));
    ASSERT_TRUE(WaitFor([&] {
        for (int32_t g = 1; g <= kGames; ++g)
            if (Game(g)->Viewers() != kViewers / kGames) return false;
        return true;
    }));
    // The joins beyond each game's burst are described once their turn comes.
    ASSERT_TRUE(WaitFor([&] { return !TMainFormProbe::DescriptionDue(Form()); }));
    Settle();
    // Each game's burst, then one more for each turn that came while the
    // storm went on (a slow build may take more than one).
    const double stormSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stormStart).count();
    const auto paced = static_cast<uint64_t>(kDescriptionRate.Burst + kDescriptionRate.PerSecond * stormSeconds + 1);

    size_t most = 0, total = 0;
    for (int32_t i = 0; i < kViewers; ++i) {
        TRelayClient& v = *viewers[static_cast<size_t>(i)];
        const int32_t own = i % kGames + 1;
        size_t descriptions = 0;
        std::map<int32_t, int32_t> lastViewers;  // game -> viewer count of its last description
        std::map<int32_t, uint64_t> perGame;
        std::set<std::string> entered;
        int32_t acks = 0;
        while (v.HasPacket()) {
            const std::string p = v.TakePacket();
            switch (TypeOf(p)) {
                case PacketType::GAMEINFODETAILED:
                    ++descriptions;
                    ++perGame[GameIdOf(p)];
                    lastViewers[GameIdOf(p)] = ViewersOf(p);
                    break;
                case PacketType::USERENTERED:
                    // Notices are never dropped: each viewer of the game once.
                    EXPECT_TRUE(entered.insert(NoticeNameOf(p)).second) << NoticeNameOf(p);
                    break;
                case PacketType::ACKNAK: ++acks; break;
                default: break;
            }
        }
        EXPECT_EQ(acks, 1);
        std::set<std::string> expected;
        for (int32_t j = own - 1; j < kViewers; j += kGames) expected.insert("v" + std::to_string(j));
        EXPECT_EQ(entered, expected) << "viewer " << i;
        // The last description of every game carries its state now.
        for (int32_t g = 1; g <= kGames; ++g) {
            ASSERT_TRUE(lastViewers.count(g)) << "viewer " << i << " heard nothing of game " << g;
            EXPECT_EQ(lastViewers[g], Game(g)->Viewers()) << "viewer " << i << ", game " << g;
            EXPECT_LE(perGame[g], paced) << "viewer " << i << ", game " << g;
        }
        most = std::max(most, descriptions);
        total += descriptions;
    }
    // Without coalescing every viewer would receive one description per
    // join, 300; here a few per game for each step the storm took.
    EXPECT_LE(most, size_t{30}) << "descriptions to the viewer that got the most";
    RecordProperty("DescriptionsTotal", static_cast<int>(total));
    RecordProperty("DescriptionsMost", static_cast<int>(most));
}

// Counts a game's descriptions among described packets; the last one's text.
size_t CountDescriptions(const Packets& packets, int32_t id, std::string* last = nullptr) {
    const std::string prefix = "GAMEINFODETAILED(" + std::to_string(id) + ",";
    size_t n = 0;
    for (const std::string& p : packets)
        if (p.rfind(prefix, 0) == 0) {
            ++n;
            if (last) *last = p;
        }
    return n;
}

TEST_F(Crowd, ChangesBeyondAGamesBurstAreDescribedWhenTheirTurnComesAndNeverAfterItsRemoval) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    TRelayClient& watcher = NamedViewer("W");
    std::vector<TRelayClient*> joiners;
    for (int i = 0; i < 12; ++i) joiners.push_back(&NamedViewer("j" + std::to_string(i)));
    Settle();
    Drain(watcher);

    // Each join in a step of its own, so no step coalesces them: the burst
    // goes out at once, the rest waits for one description.
    for (TRelayClient* j : joiners) {
        j->Send(WaitForGame(id));
        Settle();
    }
    std::string last;
    const size_t atOnce = CountDescriptions(Drain(watcher), id, &last);
    EXPECT_GE(atOnce, 1u);
    EXPECT_LE(atOnce, kDescriptionRate.Burst);
    EXPECT_NE(last, "GAMEINFODETAILED(1, 12 viewers)");
    ASSERT_TRUE(TMainFormProbe::DescriptionDue(Form()));
    ASSERT_TRUE(WaitFor([&] { return !TMainFormProbe::DescriptionDue(Form()); }));
    Settle();
    EXPECT_EQ(Drain(watcher), Packets{"GAMEINFODETAILED(1, 12 viewers)"});

    // A change while the game has no turn left, then the game is deleted:
    // its GAMEREMOVED is the last word, no description follows it.
    joiners[0]->Send(LeaveGame());
    Settle();
    ASSERT_TRUE(TMainFormProbe::DescriptionDue(Form()));
    Form().DeleteGame1Click({Form().Console().IndexOfGameRow(id)});
    EXPECT_FALSE(TMainFormProbe::DescriptionDue(Form()));
    // Past the moment the description was due.
    EXPECT_FALSE(WaitFor([] { return false; }, std::chrono::milliseconds(600)));
    const Packets after = Drain(watcher);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.back(), "GAMEREMOVED(1)");
    EXPECT_EQ(CountDescriptions(after, id), 0u);
}

TEST_F(Crowd, AViewerThatStopsReadingIsClosedByTheTimerOnAQuietServer) {
    auto offset = TEventLoop::Clock::duration::zero();
    loop_.SetClock([&] { return TEventLoop::Clock::now() + offset; });
    const TSendLimits& limits = TMainFormProbe::DemoViewers(Form()).ClientSendLimits;
    ASSERT_EQ(limits.SoftBytes, size_t{1} << 20);
    ASSERT_EQ(limits.SoftDuration, std::chrono::seconds(30));

    TRelayClient* honestCam = nullptr;
    const int32_t honestId = LoggedInSender(honestCam, "Honest");
    TRelayClient* bigCam = nullptr;
    const int32_t bigId = LoggedInSender(bigCam, "Big");
    const std::string body(1 << 20, 'b');
    for (int32_t i = 0; i < 24; ++i) bigCam->Send(Restart(i, body));
    ASSERT_TRUE(WaitFor([&] { return Game(bigId)->Count() == 24; }));
    TRelayClient& watcher = NamedViewer("watcher");
    THonestGame honest(*this, *honestCam, watcher, honestId, 40);
    Settle();
    TRelayClient& quiet = NamedViewer("quiet");
    watcher.Send(WaitForGame(honestId));
    quiet.Send(WaitForGame(bigId));
    Settle();
    Drain(watcher);
    Drain(quiet);
    quiet.PauseReading(true);

    TDemoViewer* server = nullptr;
    for (int32_t i = 0; i < TMainFormProbe::DemoViewers(Form()).ClientCount(); ++i) {
        auto* v = static_cast<TDemoViewer*>(TMainFormProbe::DemoViewers(Form()).Client(i));
        if (v->UserName == "quiet") server = v;
    }
    ASSERT_NE(server, nullptr);
    for (int32_t ticks = 0; server->BufferedBytes() <= limits.SoftBytes; ++ticks) {
        ASSERT_LT(ticks, 24) << "the kernel took everything";
        Tick();
        honest.ExpectOnePacket();
    }
    // Nothing is sent any more: the server is quiet.
    offset += std::chrono::seconds(29);
    Settle();
    EXPECT_EQ(server->State(), wsConnected);
    EXPECT_FALSE(LoggedContaining("is not reading"));
    offset += std::chrono::seconds(2);
    ASSERT_TRUE(WaitFor([&] { return LoggedContaining("Viewer 127.0.0.1 is not reading: unsent output stayed above 1048576 bytes for 30 s"); }));
    Settle();
    EXPECT_EQ(Game(bigId)->Viewers(), 0);
    EXPECT_EQ(Form().Console().Users().Count(), 1);
    EXPECT_EQ(TMainFormProbe::ConnectionBufferBytes(Form()), 0u);
    Tick();
    honest.ExpectOnePacket();
}

TEST_F(Crowd, StuffedInputBuffersOverTheBudgetCloseTheLargestHolder) {
    constexpr size_t kBudget = size_t{1} << 20;
    Form().SetMemoryBudget(TMemoryBudget{0, kBudget});
    TRelayClient* honestCam = nullptr;
    const int32_t honestId = LoggedInSender(honestCam, "Honest");
    TRelayClient& watcher = NamedViewer("watcher");
    THonestGame honest(*this, *honestCam, watcher, honestId, 40);
    Settle();
    watcher.Send(WaitForGame(honestId));
    Settle();
    Drain(watcher);
    ASSERT_EQ(TMainFormProbe::ConnectionBufferBytes(Form()), 0u);

    // An unknown type code at the front stalls a connection's parsing for
    // good: everything behind it stays in its receive buffer.
    TRelayClient& hog = ConnectSender();
    const std::string hogInput = Header(1, 12) + std::string(300 << 10, 'h');
    hog.Send(hogInput);
    ASSERT_TRUE(WaitFor([&] { return TMainFormProbe::ConnectionBufferBytes(Form()) == hogInput.size(); }));
    Tick();
    honest.ExpectOnePacket();

    std::vector<TRelayClient*> stuffers;
    const std::string stuffing = Header(2, 12) + std::string(100 << 10, 's');
    size_t held = hogInput.size();
    while (held + stuffing.size() <= kBudget) {
        TRelayClient& v = ConnectViewer();
        stuffers.push_back(&v);
        v.Send(stuffing);
        held += stuffing.size();
        ASSERT_TRUE(WaitFor([&] { return TMainFormProbe::ConnectionBufferBytes(Form()) == held; }));
        Tick();
        honest.ExpectOnePacket();
    }
    EXPECT_FALSE(LoggedContaining("over the connection buffers budget"));

    // One more goes over the budget: the largest holder goes, not the last.
    TRelayClient& last = ConnectViewer();
    stuffers.push_back(&last);
    last.Send(stuffing);
    ASSERT_TRUE(WaitFor([&] { return hog.Ended(); }));
    EXPECT_TRUE(Logged("Cammer 127.0.0.1 is over the connection buffers budget: it holds " +
                       std::to_string(hogInput.size()) +
                       " bytes, the most of any connection, while all connections together hold more than their "
                       "budget of 1048576 bytes; connection closed"));
    ASSERT_TRUE(WaitFor([&] { return TMainFormProbe::ConnectionBufferBytes(Form()) == stuffers.size() * stuffing.size(); }));
    Tick();
    honest.ExpectOnePacket();
    for (TRelayClient* v : stuffers) EXPECT_FALSE(v->Ended());

    // A viewer that piles up more than the others is the next to go.
    TRelayClient& greedy = *stuffers[1];
    greedy.Send(std::string(300 << 10, 'g'));
    ASSERT_TRUE(WaitFor([&] { return greedy.Ended(); }));
    EXPECT_TRUE(LoggedContaining("Viewer 127.0.0.1 is over the connection buffers budget: it holds "));
    Settle();
    EXPECT_LE(TMainFormProbe::ConnectionBufferBytes(Form()), kBudget);
    EXPECT_EQ(Form().Console().Users().Count(), static_cast<int32_t>(stuffers.size()));  // watcher in, greedy out
    for (TRelayClient* v : stuffers) {
        if (v != &greedy) {
            EXPECT_FALSE(v->Ended());
        }
    }
    for (int i = 0; i < 3; ++i) {
        Tick();
        honest.ExpectOnePacket();
    }
    EXPECT_EQ(Game(honestId)->Viewers(), 1);
}

}  // namespace
}  // namespace vistrel::testing
