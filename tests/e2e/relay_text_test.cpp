// Text from the network over loopback: C1 bytes and ';' in names. The log
// writes control bytes escaped; the games list and user list show a ';' as
// ',' so every row keeps its columns; the packets relayed to clients carry
// the names byte for byte.
#include <string>
#include <vector>

#include "console/console_lists.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Packets = std::vector<std::string>;
using NetworkText = RelayTest;

// 0x9B is a terminal's CSI, 0x85 its NEL, once written out as UTF-8.
const std::string kCamName = "Cam;\x9B" "2J";  // 8 bytes, fits the 16 of the slot
const std::string kGameName = "Fi;nal\x85;x";
const std::string kMod = "c;tf\x9B";
const std::string kViewerName = "V;x\x9B;y";

TEST_F(NetworkText, LogEscapesC1BytesAndListsKeepTheirColumnsWhilePacketsKeepTheBytes) {
    TRelayClient& cam = ConnectSender();
    cam.Send(GameInfo(kCamName, "", kGameName, kMod, 1));
    EXPECT_EQ(Describe(Next(cam)), "ACKNAK(0)");
    Settle();
    TRelayClient& viewer = ConnectViewer();
    viewer.Send(UserInfo(kViewerName));
    EXPECT_EQ(AckValueOf(Next(viewer)), 0);
    const std::string info = Next(viewer);
    ASSERT_EQ(TypeOf(info), PacketType::GAMEINFODETAILED);
    EXPECT_EQ(ReadTextSlot(info, Slot::DetailedName), kGameName);
    EXPECT_EQ(ReadTextSlot(info, Slot::DetailedMod), kMod);
    viewer.Send(WaitForGame(1));
    Settle();
    Drain(viewer);
    Drain(cam);

    // The games list: ten columns, the sender's address where it belongs.
    const std::string& game = Form().Console().Games().Line(0);
    EXPECT_EQ(ColumnCount(game), 10u) << game;
    EXPECT_EQ(game, "1;Fi,nal\x85,x;Quake 3;c,tf\x9B;0;1;Cam,\x9B"
                    "2J;;0;0;");
    // The user list: three columns, the address in the second.
    const std::string& user = Form().Console().Users().Line(0);
    EXPECT_EQ(ColumnCount(user), 3u) << user;
    EXPECT_EQ(user, "V,x\x9B,y;127.0.0.1;0");
    EXPECT_EQ(Form().Console().Users().Column(0, 1), "127.0.0.1");

    // The log: the mod's C1 byte escaped, its ';' kept (a log line has no columns).
    EXPECT_TRUE(Logged("127.0.0.1 camming a demo for Quake 3 c;tf\\x9B"));

    // Chat each way carries the names as they came.
    cam.Send(SendText("from the cam"));
    EXPECT_EQ(Describe(Next(cam)), "ACKNAK(0)");
    EXPECT_EQ(NameOf(Next(cam)), kCamName);
    const std::string fromCam = Next(viewer);
    EXPECT_EQ(TypeOf(fromCam), PacketType::SENDTEXT);
    EXPECT_EQ(NameOf(fromCam), kCamName);
    viewer.Send(SendText("from the viewer"));
    EXPECT_EQ(AckValueOf(Next(viewer)), 0);
    EXPECT_EQ(NameOf(Next(viewer)), kViewerName);
    const std::string fromViewer = Next(cam);
    EXPECT_EQ(TypeOf(fromViewer), PacketType::SENDTEXT);
    EXPECT_EQ(NameOf(fromViewer), kViewerName);
    // The join notices too.
    TRelayClient& second = NamedViewer("second");
    second.Send(WaitForGame(1));
    Settle();
    Packets notices;
    while (second.HasPacket()) {
        const std::string p = second.TakePacket();
        if (TypeOf(p) == PacketType::USERENTERED) notices.push_back(NoticeNameOf(p));
    }
    EXPECT_EQ(notices, (Packets{"second", kViewerName}));

    // A C1 byte in the name of a refused login is escaped in its line; no
    // raw byte 0x80-0x9F reaches any log line.
    TRelayClient& intruder = ConnectSender();
    intruder.Send(GameInfo("Bad\x9B[2J\x1B", "wrong"));
    EXPECT_TRUE(WaitFor([&] { return intruder.Ended(); }));
    EXPECT_TRUE(Logged("127.0.0.1 using Bad\\x9B[2J\\x1B as name had invalid password for filming"));
    for (const std::string& line : Form().Console().Log().Lines())
        for (char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_FALSE(byte >= 0x80 && byte <= 0x9F) << line;
        }
}

}  // namespace
}  // namespace vistrel::testing
