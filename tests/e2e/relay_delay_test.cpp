// The broadcast delay over loopback, the loop's clock stepped: packets and the
// sender's chat wait for the delay, viewers' chat does not; raising holds
// again, lowering releases at the next tick; a restart keeps the times.
#include <algorithm>
#include <memory>

#include "disk/recorder.h"
#include "relay/demo_viewer.h"
#include "tests/e2e/noise.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using namespace std::chrono_literals;

class Delay : public RelayTest {
protected:
    Delay() { recording_.DataDir = folder_.Path(); }
    void SetUp() override {
        RelayTest::SetUp();
        loop_.SetClock([offset = offset_] { return TEventLoop::Clock::now() + *offset; });
    }
    void SetDelay(int seconds) { Form().SetupForEditing().BroadcastDelaySpin.SetValue(seconds); }
    // Ticks; the demo packets the viewer got per tick, its chat lines in texts.
    std::vector<int> Ticks(TRelayClient& v, int ticks, std::vector<std::string>* texts = nullptr) {
        std::vector<int> got;
        for (int t = 0; t < ticks; ++t) {
            Tick();
            EXPECT_TRUE(WaitFor([&] { return TMainFormProbe::Recorder(Form())->ReadsInFlight() == 0; }));
            Settle();
            got.push_back(0);
            while (v.HasPacket()) {
                const std::string p = v.TakePacket();
                got.back() += TypeOf(p) == PacketType::DEMOPACKET;
                if (texts && TypeOf(p) == PacketType::SENDTEXT) texts->push_back(TextOf(p));
            }
        }
        return got;
    }
    TRelayClient& Watcher(int32_t id, std::string_view name) {
        TRelayClient& v = NamedViewer(name);
        v.Send(WaitForGame(id));
        Settle();
        return v;
    }
    void Upload(TRelayClient& cam, int from, int count) {
        Drain(cam);  // the viewers' notices
        for (int i = from; i < from + count; ++i) cam.Send(Demo(i, "content " + std::to_string(i)));
        for (int i = from; i < from + count; ++i) EXPECT_EQ(AckValueOf(Next(cam)), 0);
    }

    TRecordingFolder folder_;
    std::shared_ptr<std::chrono::milliseconds> offset_ = std::make_shared<std::chrono::milliseconds>(0);
};

TEST_F(Delay, PacketsAndTheSendersChatWaitForTheDelayWhileViewersChatDoesNot) {
    SetDelay(10);
    EXPECT_TRUE(Logged("Broadcast delay set to 10 s"));
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    TRelayClient& early = Watcher(id, "Early");
    Upload(*cam, 0, 3);
    cam->Send(SendText("the sender speaks"));
    TRelayClient& late = Watcher(id, "Late");  // told when the game starts for it
    late.Send(SendText("a viewer speaks"));
    std::vector<std::string> lateTexts, texts;
    *offset_ += 4s;
    EXPECT_EQ(Ticks(late, 1, &lateTexts), std::vector<int>{0});
    EXPECT_EQ(std::count(lateTexts.begin(), lateTexts.end(), "Broadcast delay 10 s: the game starts in 10 s"), 1);
    EXPECT_EQ(Ticks(early, 3, &texts), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "a viewer speaks"), 1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "the sender speaks"), 0);
    // The games list: Delay, Packets stored, Visible.
    const auto shown = [&] {
        return std::string(ColumnText(Form().Console().Games().Line(0), 7)) + "," +
               std::string(ColumnText(Form().Console().Games().Line(0), 8)) + "," +
               std::string(ColumnText(Form().Console().Games().Line(0), 9));
    };
    EXPECT_EQ(shown(), "10,3,0");
    *offset_ += 6s;
    EXPECT_EQ(Ticks(early, 4, &texts), (std::vector<int>{1, 1, 1, 0}));
    EXPECT_EQ(shown(), "10,3,3");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "the sender speaks"), 1);
}

// CatchUpSpin 8: a viewer 60 packets behind gets 8 a tick until it is within
// 16, then one; it is told at its join and at the live edge. A viewer that
// never reads is held to one a tick once its unsent output passes the bound,
// and never delays the reader beside it.
TEST_F(Delay, ACatchingUpViewerReachesTheLiveEdgeAndAStalledOneIsNotOverrun) {
    Form().SetupForEditing().CatchUpSpin.SetValue(8);
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Drain(*cam);
    for (int i = 0; i < 200; ++i) cam->Send(Demo(i, Noise(60000, static_cast<uint32_t>(i))));
    ASSERT_TRUE(WaitFor([&] { return TMainFormProbe::Games(Form())->FindById(id)->Count() == 200; }));
    TRelayClient& stalled = ConnectViewer(4096);
    stalled.Send(UserInfo("Stalled"));
    Settle();
    stalled.Send(WaitForGame(id));
    Settle();
    stalled.PauseReading(true);
    TRelayClient& v = Watcher(id, "Late");
    std::vector<std::string> texts;
    std::vector<int> expected(23, 8);
    expected.insert(expected.end(), {1, 1, 1});
    EXPECT_EQ(Ticks(v, 26, &texts), expected);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Catching up with the live game: about 14 s"), 1);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "You are watching the game live now"), 1);
    const TWSocketServer& viewers = TMainFormProbe::DemoViewers(Form());
    int checked = 0;
    for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
        const auto* viewer = static_cast<const TDemoViewer*>(viewers.Client(i));
        if (viewer->UserName != "Stalled") continue;
        ++checked;
        // Past the bound it is back to one a tick: sent 8 a tick, it would be
        // at the live edge by now.
        EXPECT_GE(viewer->BufferedBytes(), kCatchUpOutputBound);
        EXPECT_LT(viewer->Position, 200 - 16);
    }
    EXPECT_EQ(checked, 1);
}

TEST_F(Delay, ARaiseHoldsAgainAndACutReleasesAtTheNextTick) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    TRelayClient& v = Watcher(id, "V");
    Upload(*cam, 0, 3);
    EXPECT_EQ(Ticks(v, 1), std::vector<int>{1});
    SetDelay(30);
    *offset_ += 20s;
    EXPECT_EQ(Ticks(v, 2), (std::vector<int>{0, 0}));  // acknowledged 20 s ago: held again
    SetDelay(15);
    EXPECT_TRUE(Logged("Broadcast delay set to 15 s"));
    Upload(*cam, 3, 1);  // acknowledged now: waits behind the others
    EXPECT_EQ(Ticks(v, 3), (std::vector<int>{1, 1, 0}));
    SetDelay(0);
    EXPECT_TRUE(Logged("Broadcast delay off"));
    EXPECT_EQ(Ticks(v, 1), std::vector<int>{1});
}

TEST_F(Delay, ARestartHoldsBackWhatWasHeldAndAVersionOneFileIsOld) {
    SetDelay(20);
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Upload(*cam, 0, 2);
    EXPECT_EQ(ReadRecordingHeader(ReadWholeFile(folder_.File(TRecorder::FileNameFor(id)))).Version, 2u);
    std::string old = EncodeRecordingHeader(TRecordingHeader{40, 1}, 1);  // an older relay's game
    AppendPacketRecord(old, 0, Demo(0, "old content"));
    WriteWholeFile(folder_.File(TRecorder::FileNameFor(40)), old);

    clients_.clear();
    form_.reset();
    SetUp();
    SetDelay(20);
    ASSERT_TRUE(Game(id) && Game(40));
    EXPECT_EQ(Form().BroadcastDelay().VisibleEnd(*Game(40)), 1);
    TRelayClient& v = Watcher(id, "V");
    *offset_ += 15s;
    EXPECT_EQ(Ticks(v, 2), (std::vector<int>{0, 0}));
    *offset_ += 6s;
    EXPECT_EQ(Ticks(v, 3), (std::vector<int>{1, 1, 0}));
}

}  // namespace
}  // namespace vistrel::testing
