// The broadcast delay over loopback, with the loop's clock stepped: packets
// and the sender's chat reach viewers only once the delay has passed since
// they were acknowledged, then at the usual pace; viewers' chat is not held;
// a change of the delay holds again or releases at the next tick; a restart
// keeps every packet's time (a version 1 file counts as old).
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/recording_format.h"
#include "disk/recorder.h"
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
    void Advance(std::chrono::milliseconds by) { *offset_ += by; }
    void SetDelay(int seconds) { Form().SetupForEditing().BroadcastDelaySpin.SetValue(seconds); }

    // What the viewer received since the last look: demo packets, and chat
    // lines by their text.
    struct TSeen {
        int Packets = 0;
        std::vector<std::string> Texts;
    };
    TSeen Seen(TRelayClient& viewer) {
        TSeen seen;
        Settle();
        while (viewer.HasPacket()) {
            const std::string packet = viewer.TakePacket();
            if (TypeOf(packet) == PacketType::DEMOPACKET || TypeOf(packet) == PacketType::DEMORESTART) ++seen.Packets;
            if (TypeOf(packet) == PacketType::SENDTEXT) seen.Texts.push_back(TextOf(packet));
        }
        return seen;
    }
    TRelayClient& Watcher(int32_t id, std::string_view name) {
        TRelayClient& v = NamedViewer(name);
        v.Send(WaitForGame(id));
        Settle();
        return v;
    }
    void Upload(TRelayClient& cam, int from, int count) {
        Drain(cam);  // the viewers' notices
        for (int i = from; i < from + count; ++i) {
            cam.Send(Demo(i, "content " + std::to_string(i)));
            EXPECT_EQ(AckValueOf(Next(cam)), 0);
        }
        Settle();
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
    Seen(early);
    Upload(*cam, 0, 3);
    cam->Send(SendText("the sender speaks"));
    Settle();
    TRelayClient& late = Watcher(id, "Late");
    late.Send(SendText("a viewer speaks"));
    Advance(4s);
    // Joined behind held packets: told when the game starts.
    const TSeen lateSeen = Seen(late);
    EXPECT_EQ(std::count(lateSeen.Texts.begin(), lateSeen.Texts.end(), "Broadcast delay 10 s: the game starts in 10 s"),
              1);
    for (int tick = 0; tick < 3; ++tick) Tick();
    const TSeen before = Seen(early);
    EXPECT_EQ(before.Packets, 0);
    EXPECT_EQ(std::count(before.Texts.begin(), before.Texts.end(), "a viewer speaks"), 1);
    EXPECT_EQ(std::count(before.Texts.begin(), before.Texts.end(), "the sender speaks"), 0);

    Advance(6s);
    std::vector<int> perTick;
    std::vector<std::string> texts;
    for (int tick = 0; tick < 4; ++tick) {
        Tick();
        const TSeen seen = Seen(early);
        perTick.push_back(seen.Packets);
        texts.insert(texts.end(), seen.Texts.begin(), seen.Texts.end());
    }
    EXPECT_EQ(perTick, (std::vector<int>{1, 1, 1, 0}));
    EXPECT_EQ(texts, std::vector<std::string>{"the sender speaks"});
}

TEST_F(Delay, ARaiseHoldsAgainAndACutReleasesAtTheNextTick) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    TRelayClient& v = Watcher(id, "V");
    Upload(*cam, 0, 3);
    Tick();
    EXPECT_EQ(Seen(v).Packets, 1);
    SetDelay(30);
    Tick();
    EXPECT_EQ(Seen(v).Packets, 0);  // acknowledged less than 30 s ago: held again
    Advance(20s);
    Tick();
    EXPECT_EQ(Seen(v).Packets, 0);
    SetDelay(15);
    EXPECT_TRUE(Logged("Broadcast delay set to 15 s"));
    Tick();
    EXPECT_EQ(Seen(v).Packets, 1);
    // A packet acknowledged now waits under the shorter delay, behind the rest.
    Upload(*cam, 3, 1);
    Tick();
    EXPECT_EQ(Seen(v).Packets, 1);
    Tick();
    EXPECT_EQ(Seen(v).Packets, 0);
    SetDelay(0);
    EXPECT_TRUE(Logged("Broadcast delay off"));
    Tick();
    EXPECT_EQ(Seen(v).Packets, 1);
}

TEST_F(Delay, ARestartHoldsBackWhatWasHeldAndAVersionOneFileIsOld) {
    SetDelay(20);
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Upload(*cam, 0, 2);
    const std::string written = ReadWholeFile(folder_.File(TRecorder::FileNameFor(id)));
    EXPECT_EQ(ReadRecordingHeader(written).Version, 2u);

    // A game of an older relay, its packets without times.
    std::string old = EncodeRecordingHeader(TRecordingHeader{40, 1}, 1);
    AppendPacketRecord(old, 0, Demo(0, "old content"));
    WriteWholeFile(folder_.File(TRecorder::FileNameFor(40)), old);

    clients_.clear();
    form_.reset();
    SetUp();
    SetDelay(20);
    const TBroadcastDelay& delay = Form().BroadcastDelay();
    ASSERT_NE(Game(id), nullptr);
    ASSERT_NE(Game(40), nullptr);
    EXPECT_EQ(delay.VisibleEnd(*Game(40)), 1);
    EXPECT_EQ(delay.HeldBack(*Game(id)), 2);
    TRelayClient& v = Watcher(id, "V");
    Advance(15s);
    Tick();
    EXPECT_TRUE(WaitFor([&] { return TMainFormProbe::Recorder(Form())->ReadsInFlight() == 0; }));
    Tick();
    EXPECT_EQ(Seen(v).Packets, 0);
    Advance(6s);
    Tick();
    EXPECT_TRUE(WaitFor([&] { return TMainFormProbe::Recorder(Form())->ReadsInFlight() == 0; }));
    Tick();
    Tick();
    EXPECT_EQ(Seen(v).Packets, 2);
}

}  // namespace
}  // namespace vistrel::testing
