#include "core/protocol.h"

#include <gtest/gtest.h>

#include "core/game_list.h"

namespace vistrel {
namespace {

TEST(Protocol, LabelsOfTypeCodesAndGames) {
    EXPECT_EQ(PacketLabel(0), "GAMEINFO");
    EXPECT_EQ(PacketLabel(3), "GAMEINFODETAILED");
    EXPECT_EQ(PacketLabel(9), "DEMOPACKET");
    EXPECT_EQ(PacketLabel(PacketType::GAMEREMOVED), "GAMEINFODETAILED");
    EXPECT_EQ(PacketLabel(13), "USERLEFT");
    EXPECT_EQ(PacketLabel(14), "UNKNOWN");
    EXPECT_EQ(PacketLabel(-1), "UNKNOWN");
    EXPECT_EQ(GameLabel(0), "Quake 2");
    EXPECT_EQ(GameLabel(1), "Quake 3");
    EXPECT_EQ(GameLabel(5), "");
}

TEST(Protocol, Int32FieldsAreLittleEndianAndShortBuffersReadZero) {
    std::string buf(8, '\0');
    WriteInt32(buf, 4, -2);
    EXPECT_EQ(buf.substr(4), std::string("\xfe\xff\xff\xff", 4));
    EXPECT_EQ(ReadInt32(buf, 4), -2);
    EXPECT_EQ(ReadUInt32(buf, 4), 0xFFFFFFFEu);
    // Bytes past the end read as zero, even at offsets near SIZE_MAX.
    EXPECT_EQ(ReadInt32(std::string_view("\x01\x02", 2), 0), 0x0201);
    EXPECT_EQ(ReadInt32("", 0), 0);
    EXPECT_EQ(ReadInt32(buf, SIZE_MAX - 1), 0);
    EXPECT_THROW(WriteInt32(buf, 5, 1), EProtocolError);
    EXPECT_EQ(ReadInt32(buf, 4), -2);  // a refused write changes nothing
}

TEST(Protocol, TextSlots) {
    std::string buf(40, 'x');
    // No NUL inside the 17 bytes: all 17 read.
    EXPECT_EQ(ReadTextSlot(buf, Slot::SendTextName), std::string(17, 'x'));
    // Written back it is cut to 16 characters and a NUL; later bytes stay.
    WriteTextSlot(buf, Slot::SendTextName, std::string(17, 'n'));
    EXPECT_EQ(buf.substr(12, 17), std::string(16, 'n') + '\0');
    EXPECT_EQ(buf[29], 'x');
    WriteTextSlot(buf, Slot::SendTextName, "ab");
    EXPECT_EQ(ReadTextSlot(buf, Slot::SendTextName), "ab");
    EXPECT_EQ(buf.substr(12, 4), std::string("ab\0n", 4));
    // A slot cut by the buffer's end reads what is there.
    EXPECT_EQ(ReadTextSlot(std::string_view("0123456789abcdef", 16), Slot::SendTextName), "cdef");
    EXPECT_EQ(ReadTextSlot("short", Slot::GameInfoGameName), "");
    std::string small(20, '\0');
    EXPECT_THROW(WriteTextSlot(small, Slot::SendTextName, "a"), EProtocolError);
    EXPECT_EQ(CutToSlot("abcdef", 4), "abc");
}

TEST(Protocol, ReadersOfReceivedPackets) {
    std::string gameInfo(PacketSize::GAMEINFO, '\0');
    WriteInt32(gameInfo, 0, PacketType::GAMEINFO);
    WriteInt32(gameInfo, 12, 5);
    WriteTextSlot(gameInfo, Slot::GameInfoMod, "ctf");
    WriteTextSlot(gameInfo, Slot::GameInfoUserName, "Cam");
    WriteTextSlot(gameInfo, Slot::GameInfoPassword, "secret");
    std::fill_n(gameInfo.begin() + 67, 33, 'g');  // game name fills its slot
    EXPECT_EQ(PacketTypeOf(gameInfo), PacketType::GAMEINFO);
    EXPECT_EQ(GameInfoTypeOf(gameInfo), 5);
    EXPECT_EQ(GameInfoModOf(gameInfo), "ctf");
    EXPECT_EQ(GameInfoUserNameOf(gameInfo), "Cam");
    EXPECT_EQ(GameInfoPasswordOf(gameInfo), "secret");
    EXPECT_EQ(GameInfoGameNameOf(gameInfo), std::string(33, 'g'));

    std::string demo(30, 'p');
    WriteInt32(demo, 0, PacketType::DEMOPACKET);
    WriteInt32(demo, 4, 24);
    WriteInt32(demo, 8, -1);
    WriteInt32(demo, 12, 7);
    EXPECT_EQ(PacketLengthOf(demo), 24);
    EXPECT_EQ(PacketCheckOf(demo), 0xFFFFFFFFu);
    EXPECT_EQ(PacketLocationOf(demo), 7);
    EXPECT_EQ(DemoPayloadOf(demo), "pppppppp");
    WriteInt32(demo, 4, 16);
    EXPECT_EQ(DemoPayloadOf(demo), "");
    WriteInt32(demo, 4, -5);
    EXPECT_EQ(DemoPayloadOf(demo), "");
    WriteInt32(demo, 4, 1 << 30);  // clipped to what is buffered
    EXPECT_EQ(DemoPayloadOf(demo).size(), 14u);

    std::string text(PacketSize::SENDTEXT, 'z');
    SetSendTextName(text, "viewer");
    EXPECT_EQ(ReadTextSlot(text, Slot::SendTextName), "viewer");
    EXPECT_EQ(text.substr(29), std::string(259, 'z'));
    EXPECT_EQ(UserInfoNameOf(text), "viewer");
}

TEST(Protocol, BuiltPacketsAreZeroFilledWithTypeLengthAndZeroCheck) {
    auto header = [](const std::string& p, int32_t type) {
        EXPECT_EQ(PacketTypeOf(p), type);
        EXPECT_EQ(PacketLengthOf(p), static_cast<int32_t>(p.size()));
        EXPECT_EQ(PacketCheckOf(p), 0u);
    };
    const std::string ack = BuildAckNak(1);
    ASSERT_EQ(ack.size(), 16u);
    header(ack, PacketType::ACKNAK);
    EXPECT_EQ(ReadInt32(ack, 12), 1);

    const std::string removed = BuildGameRemoved(42);
    ASSERT_EQ(removed.size(), 16u);
    header(removed, PacketType::GAMEREMOVED);
    EXPECT_EQ(ReadInt32(removed, 12), 42);

    const std::string notice = BuildNotice(std::string(300, 'a'));
    ASSERT_EQ(notice.size(), 288u);
    header(notice, PacketType::SENDTEXT);
    EXPECT_EQ(notice.substr(12, 17), std::string(17, '\0'));
    EXPECT_EQ(ReadTextSlot(notice, Slot::SendTextLine), std::string(255, 'a'));
    EXPECT_EQ(notice.substr(29 + 255), std::string(4, '\0'));

    for (auto [packet, type] : {std::pair{BuildUserEntered("a-very-long-user-name"), PacketType::USERENTERED},
                                std::pair{BuildUserLeft("a-very-long-user-name"), PacketType::USERLEFT}}) {
        ASSERT_EQ(packet.size(), 32u);
        header(packet, type);
        EXPECT_EQ(ReadTextSlot(packet, Slot::UserNotice), "a-very-long-user-");
        EXPECT_EQ(packet.substr(29), std::string(3, '\0'));
    }

    TActiveGameList game(nullptr);
    game.SetIdentifier(3);
    game.SetName(std::string(40, 'N'));
    game.SetMod("ctf");
    game.SetGameType(1);
    game.SetViewers(2);
    const std::string detailed = BuildGameInfoDetailed(game);
    ASSERT_EQ(detailed.size(), 80u);
    header(detailed, PacketType::GAMEINFODETAILED);
    EXPECT_EQ(ReadInt32(detailed, 12), 3);
    EXPECT_EQ(detailed.substr(16, 36), std::string(32, 'N') + std::string(4, '\0'));
    EXPECT_EQ(ReadInt32(detailed, 52), 1);
    EXPECT_EQ(ReadInt32(detailed, 56), 2);
    EXPECT_EQ(detailed.substr(60, 20), std::string("ctf") + std::string(17, '\0'));
}

}  // namespace
}  // namespace vistrel
