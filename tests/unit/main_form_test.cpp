// The relay frame on its own: the log, the background-error lines, start-up
// and its failure, the viewer limit following the spin field.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/protocol.h"
#include "relay/main_form.h"
#include "relay/relay_limits.h"
#include "testing/main_form_probe.h"
#include "net/socket_exception.h"
#include "testing/loopback_listener.h"
#include "testing/recording_front_end.h"

namespace vistrel {
namespace {

using testing::TLoopbackListener;
using testing::TRecordingFrontEnd;

TListenSettings Loopback() { return TListenSettings{"127.0.0.1", "0", "0"}; }

struct FrameFixture : ::testing::Test {
    TEventLoop loop;
    TRecordingFrontEnd front;
    TMainForm form{loop, front, nullptr, Loopback()};

    std::string LastLogText() const {
        const auto& log = form.Console().Log();
        return log.Count() ? log.Line(log.Count() - 1).substr(20) : std::string();
    }
};

TEST(LogFormat, TimestampIsYearMonthDayThenTimeAndOneBlank) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::tm when{};
    when.tm_year = 2003 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 2;
    when.tm_hour = 9;
    when.tm_min = 5;
    EXPECT_EQ(FormatLogTimestamp(timegm(&when)), "2003/03/02 09:05:00 ");
}

TEST(LogFormat, WithoutTheTimestampLeavesTheTextAndOnlyATimestampIsTakenOff) {
    const std::string line = FormatLogTimestamp(std::time(nullptr)) + "Memory budget: no limit";
    EXPECT_EQ(WithoutLogTimestamp(line), "Memory budget: no limit");
    EXPECT_EQ(WithoutLogTimestamp(FormatLogTimestamp(0)), "");
    // Text that only looks a little like one keeps every byte.
    EXPECT_EQ(WithoutLogTimestamp("2003/03/02 09:05:00"), "2003/03/02 09:05:00");
    EXPECT_EQ(WithoutLogTimestamp("2003-03-02 09:05:00 text"), "2003-03-02 09:05:00 text");
    EXPECT_EQ(WithoutLogTimestamp("2003/03/02 09:05:0x text"), "2003/03/02 09:05:0x text");
    EXPECT_EQ(WithoutLogTimestamp(""), "");
}

TEST(LogFormat, ControlCharactersAreWrittenEscaped) {
    EXPECT_EQ(EscapeControlCharacters("a\r\nb\tc\x7f"), "a\\x0D\\x0Ab\\x09c\\x7F");
    // The C1 bytes too: 0x9B is a terminal's CSI once shown as UTF-8.
    EXPECT_EQ(EscapeControlCharacters("\x80" "a\x9B" "2J\x9F\xA0"), "\\x80a\\x9B2J\\x9F\xA0");
    // Other 8-bit text passes unchanged: it is Latin-1, converted only where shown.
    EXPECT_EQ(EscapeControlCharacters("J\xF6rg;x\xFF"), "J\xF6rg;x\xFF");
}

TEST_F(FrameFixture, ServerLogKeepsOrdinaryLinesInOrderAndDropsDebugLines) {
    form.ServerLog(false, "first");
    form.ServerLog(true, "debug only");
    form.ServerLog(false, "second\nforged line");
    ASSERT_EQ(form.Console().Log().Count(), 2);
    EXPECT_EQ(form.Console().Log().Line(0).substr(20), "first");
    EXPECT_EQ(form.Console().Log().Line(1).substr(20), "second\\x0Aforged line");

    std::vector<std::string> shown;
    form.Log().SetDebugLineSink([&](const std::string& line) { shown.push_back(line); });
    bool built = false;
    form.Log().Debug([&] {
        built = true;
        return std::string("Sent Viewer [x] ACKNAK Packet");
    });
    EXPECT_TRUE(built);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].substr(20), "Sent Viewer [x] ACKNAK Packet");
    EXPECT_EQ(form.Console().Log().Count(), 2) << "debug lines are never kept";

    form.Log().SetDebugLineSink(nullptr);
    built = false;
    form.Log().Debug([&] {
        built = true;
        return std::string();
    });
    EXPECT_FALSE(built) << "a debug line nobody sees is never built";
}

TEST_F(FrameFixture, BackgroundErrorHandlersLogTheirLineAndDecideOnClosing) {
    ESocketException error(SocketErrorMessage(10054, "TryToSend failed"), 10054);
    const std::string described = "ESocketException: " + std::string(error.what());
    bool canClose = false;

    form.SenderBgException(TMainFormProbe::DemoSenders(form), error, canClose);
    EXPECT_EQ(LastLogText(), EscapeControlCharacters("Cammer exception occured: " + described));
    EXPECT_TRUE(canClose);

    canClose = false;
    form.ViewerBgException(TMainFormProbe::DemoViewers(form), error, canClose);
    EXPECT_EQ(LastLogText(), EscapeControlCharacters("Viewer exception occured: " + described));
    EXPECT_TRUE(canClose);

    canClose = true;
    form.DemoSendersBgException(TMainFormProbe::DemoSenders(form), std::runtime_error("boom"), canClose);
    EXPECT_EQ(LastLogText(), "Sender Server exception occured: Exception: boom");
    EXPECT_FALSE(canClose);

    canClose = true;
    form.DemoViewersBgException(TMainFormProbe::DemoViewers(form), std::bad_alloc(), canClose);
    EXPECT_EQ(LastLogText().rfind("Viewer Server exception occured: EOutOfMemory: ", 0), 0u);
    EXPECT_FALSE(canClose);
}

TEST_F(FrameFixture, StartUpOpensBothServersThenExpandsTheTreeAndStartsTheTimer) {
    ASSERT_TRUE(form.FormCreate());
    EXPECT_EQ(front.Calls, (std::vector<std::string>{"intro", "expand"}));
    EXPECT_TRUE(front.Errors.empty());
    EXPECT_EQ(TMainFormProbe::DemoSenders(form).State(), wsListening);
    EXPECT_EQ(TMainFormProbe::DemoViewers(form).State(), wsListening);
    EXPECT_NE(TMainFormProbe::DemoSenders(form).LocalPort(), 0);
    EXPECT_TRUE(TMainFormProbe::DistrubuteDemo(form).Enabled());
    EXPECT_EQ(TMainFormProbe::DistrubuteDemo(form).Interval(), 500u);
    ASSERT_NE(TMainFormProbe::Games(form), nullptr);
    EXPECT_EQ(TMainFormProbe::Games(form)->Count(), 0);
    EXPECT_EQ(TMainFormProbe::GameIdCounter(form), 0);

    // A tick leaves the timer armed for the next one.
    TMainFormProbe::DistrubuteDemo(form).Fire();
    EXPECT_TRUE(TMainFormProbe::DistrubuteDemo(form).Enabled());

    form.FormDestroy();
    EXPECT_EQ(TMainFormProbe::Games(form), nullptr);
}

TEST_F(FrameFixture, StartUpLogsTheMemoryBudget) {
    form.SetMemoryBudget(MemoryBudgetFor(size_t{12} << 30));
    ASSERT_TRUE(form.FormCreate());
    ASSERT_GE(form.Console().Log().Count(), 1);
    EXPECT_EQ(form.Console().Log().Line(0).substr(20),
              "Memory budget: 12.0 GiB for stored games, 3.0 GiB for connection buffers");
}

TEST(MemoryBudgetText, SizesAndNoLimit) {
    EXPECT_EQ(DescribeMemoryBudget(MemoryBudgetFor(0)), "Memory budget: no limit");
    // A small budget still leaves the connection buffers their floor.
    EXPECT_EQ(DescribeMemoryBudget(MemoryBudgetFor(1000)),
              "Memory budget: 1000 bytes for stored games, 64.0 MiB for connection buffers");
    EXPECT_EQ(FormatByteSize(1023), "1023 bytes");
    EXPECT_EQ(FormatByteSize(1536), "1.5 KiB");
    EXPECT_EQ(FormatByteSize((size_t{3} << 40) + (size_t{1} << 39)), "3.5 TiB");
}

TEST(FrameBacklog, TheListenSettingsBacklogReachesBothServers) {
    TEventLoop loop;
    TRecordingFrontEnd front;
    TMainForm standard(loop, front, nullptr, Loopback());
    ASSERT_TRUE(standard.FormCreate());
    EXPECT_EQ(TMainFormProbe::DemoSenders(standard).Backlog, 511);
    EXPECT_EQ(TMainFormProbe::DemoViewers(standard).Backlog, 511);
    TListenSettings listen = Loopback();
    listen.Backlog = 37;
    TMainForm changed(loop, front, nullptr, listen);
    ASSERT_TRUE(changed.FormCreate());
    EXPECT_EQ(TMainFormProbe::DemoSenders(changed).Backlog, 37);
    EXPECT_EQ(TMainFormProbe::DemoViewers(changed).Backlog, 37);
}

TEST_F(FrameFixture, ATakenSenderPortStopsStartUpBeforeTheViewersListen) {
    const TLoopbackListener blocker(1);
    ASSERT_TRUE(blocker.Listening());

    TMainFormProbe::Listen(form).SenderPort = std::to_string(blocker.Port());
    EXPECT_FALSE(form.FormCreate());
    ASSERT_EQ(front.Errors.size(), 1u);
    EXPECT_EQ(front.Errors[0],
              "ESocketException: Cannot listen for senders on 127.0.0.1:" + std::to_string(blocker.Port()) +
                  ": Address already in use (Error 10048 in function Bind)");
    EXPECT_EQ(front.Calls, (std::vector<std::string>{"intro"}));
    EXPECT_EQ(TMainFormProbe::DemoSenders(form).State(), wsClosed);
    EXPECT_EQ(TMainFormProbe::DemoViewers(form).State(), wsClosed);
    EXPECT_FALSE(TMainFormProbe::DistrubuteDemo(form).Enabled());
}

TEST_F(FrameFixture, TheViewerLimitFollowsTheSpinField) {
    form.SetupForEditing().MaxClientsSpin.SetValue(25);
    EXPECT_EQ(TMainFormProbe::DemoViewers(form).MaxClients, 25);
    form.SetupForEditing().MaxClientsSpin.SetValue(250000);
    EXPECT_EQ(TMainFormProbe::DemoViewers(form).MaxClients, 99999);
    form.SetupForEditing().MaxClientsSpin.SetText("");
    EXPECT_EQ(TMainFormProbe::DemoViewers(form).MaxClients, 0);
    EXPECT_EQ(TMainFormProbe::DemoSenders(form).MaxClients, 0) << "senders are never limited";
}

}  // namespace
}  // namespace vistrel

namespace vistrel {
namespace {

std::string StoredPacket(int32_t type, int32_t location, size_t size) {
    std::string packet(size, 'p');
    WriteInt32(packet, PacketOffset::Type, type);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    WriteInt32(packet, PacketOffset::Location, location);
    return packet;
}

TEST_F(FrameFixture, DetachedGamesTakeTheirIdentifiersStoreAsUploadsAndAreRemovedById) {
    ASSERT_TRUE(form.FormCreate());
    TActiveGameList* restored = form.Host().OpenDetachedGame(7, {2, "final", "mod", "cam", "10.0.0.1:4000"});
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(restored->Sender(), nullptr);
    EXPECT_EQ(restored->SenderAddr(), "10.0.0.1:4000");
    EXPECT_EQ(form.Host().OpenDetachedGame(7, {}), nullptr) << "an identifier is never given twice";
    // The counter continues after the highest identifier seen.
    TActiveGameList* next = form.Host().OpenDetachedGame(0, {});
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->Identifier(), 8);
    const int32_t row = form.Console().IndexOfGameRow(7);
    ASSERT_GE(row, 0);
    EXPECT_EQ(form.Console().Games().Column(row, 1), "final");
    EXPECT_EQ(form.Console().Games().Column(row, 6), "cam");

    EXPECT_TRUE(form.Host().StoreDetachedPacket(*restored, 2, StoredPacket(PacketType::DEMOPACKET, 2, 40)));
    EXPECT_TRUE(form.Host().StoreDetachedPacket(*restored, 0, StoredPacket(PacketType::DEMORESTART, 0, 16)));
    EXPECT_EQ(restored->Count(), 3);
    EXPECT_EQ(restored->Data(0).size(), 16u);
    EXPECT_EQ(restored->Gaps(), 1);
    // What no camera could have stored is refused, and nothing changes.
    EXPECT_FALSE(form.Host().StoreDetachedPacket(*restored, -1, StoredPacket(PacketType::DEMOPACKET, -1, 20)));
    EXPECT_FALSE(form.Host().StoreDetachedPacket(*restored, 1 << 20, StoredPacket(PacketType::DEMOPACKET, 0, 20)));
    EXPECT_FALSE(form.Host().StoreDetachedPacket(*restored, 1, StoredPacket(PacketType::SENDTEXT, 1, 288)));
    std::string lying = StoredPacket(PacketType::DEMOPACKET, 1, 40);
    WriteInt32(lying, PacketOffset::Length, 44);
    EXPECT_FALSE(form.Host().StoreDetachedPacket(*restored, 1, lying));
    EXPECT_EQ(restored->Count(), 3);

    EXPECT_TRUE(form.Host().DeleteGame(7));
    EXPECT_FALSE(form.Host().DeleteGame(7));
    EXPECT_EQ(form.Console().IndexOfGameRow(7), -1);
    EXPECT_EQ(form.Games()->Count(), 1);
}

}  // namespace
}  // namespace vistrel
