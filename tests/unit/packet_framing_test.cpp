#include "core/packet_framing.h"

#include <gtest/gtest.h>

#include "core/protocol.h"

namespace vistrel {
namespace {

// A packet start of `size` bytes with the given type and length fields.
std::string Start(int32_t type, size_t size, int32_t length = 0) {
    std::string buf(size, '\0');
    if (size >= 8) {
        WriteInt32(buf, PacketOffset::Type, type);
        WriteInt32(buf, PacketOffset::Length, length);
    }
    return buf;
}

TEST(PacketFraming, FixedSizesAreWholeAtTheirSizeWhateverTheLengthField) {
    struct Case {
        TPort port;
        int32_t type;
        size_t size;
    };
    const Case cases[] = {
        {TPort::Sender, PacketType::GAMEINFO, PacketSize::GAMEINFO},
        {TPort::Sender, PacketType::ACKNAK, PacketSize::ACKNAK},
        {TPort::Sender, PacketType::SENDTEXT, PacketSize::SENDTEXT},
        {TPort::Viewer, PacketType::ACKNAK, PacketSize::ACKNAK},
        {TPort::Viewer, PacketType::WAITFORGAME, PacketSize::WAITFORGAME},
        {TPort::Viewer, PacketType::SENDTEXT, PacketSize::SENDTEXT},
        {TPort::Viewer, PacketType::LEAVEGAME, PacketSize::LEAVEGAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(PacketLabel(c.type));
        // A lying length field changes nothing for a fixed-size type.
        const std::string whole = Start(c.type, c.size + 5, 999);
        EXPECT_EQ(FramePacket(std::string_view(whole).substr(0, c.size - 1), c.port).Status, TFrameStatus::NeedMore);
        const TFrame frame = FramePacket(whole, c.port);
        EXPECT_EQ(frame.Status, TFrameStatus::Complete);
        EXPECT_EQ(frame.Size, c.size);
    }
    // Fewer bytes than a header are never enough, on either port.
    EXPECT_EQ(FramePacket(std::string(11, '\0'), TPort::Sender).Status, TFrameStatus::NeedMore);
    EXPECT_EQ(FramePacket("", TPort::Viewer).Status, TFrameStatus::NeedMore);
}

TEST(PacketFraming, DemoPacketsAreFramedByTheirLengthWithinItsBounds) {
    for (int32_t type : {PacketType::DEMOPACKET, PacketType::DEMORESTART}) {
        SCOPED_TRACE(PacketLabel(type));
        const std::string smallest = Start(type, 16, 16);
        EXPECT_EQ(FramePacket(smallest, TPort::Sender).Size, 16u);
        const std::string partial = Start(type, 40, 41);
        EXPECT_EQ(FramePacket(partial, TPort::Sender).Status, TFrameStatus::NeedMore);
        // The header alone already shows the largest length as sound.
        EXPECT_EQ(FramePacket(Start(type, 12, kMaxDemoPacketLength), TPort::Sender).Status,
                  TFrameStatus::NeedMore);

        for (int32_t length : {15, 0, -1, kMaxDemoPacketLength + 1}) {
            const TFrame frame = FramePacket(Start(type, 12, length), TPort::Sender);
            EXPECT_EQ(frame.Status, TFrameStatus::Malformed) << length;
            EXPECT_EQ(frame.Reason, "sent a " + std::string(PacketLabel(type)) + " with an invalid length of " +
                                        std::to_string(length) + " bytes");
        }
    }
}

TEST(PacketFraming, UserInfoIsWholeAt32BytesAndTakesItsPaddingWhenThere) {
    EXPECT_EQ(FramePacket(Start(PacketType::USERINFO, 31), TPort::Viewer).Status, TFrameStatus::NeedMore);
    EXPECT_EQ(FramePacket(Start(PacketType::USERINFO, 32), TPort::Viewer).Size, 32u);
    EXPECT_EQ(FramePacket(Start(PacketType::USERINFO, 100), TPort::Viewer).Size, 100u);
    EXPECT_EQ(FramePacket(Start(PacketType::USERINFO, 1000), TPort::Viewer).Size, PacketSize::USERINFO_CONSUMED);
}

TEST(PacketFraming, EachPortKnowsOnlyItsOwnTypes) {
    for (int32_t type : {PacketType::WAITFORGAME, PacketType::LEAVEGAME, PacketType::USERINFO,
                         PacketType::GAMEINFODETAILED, 14, -1})
        EXPECT_EQ(FramePacket(Start(type, 400, 16), TPort::Sender).Status, TFrameStatus::UnknownType) << type;
    for (int32_t type : {PacketType::GAMEINFO, PacketType::DEMOPACKET, PacketType::DEMORESTART,
                         PacketType::GAMEREMOVED, 14})
        EXPECT_EQ(FramePacket(Start(type, 400, 16), TPort::Viewer).Status, TFrameStatus::UnknownType) << type;
}

}  // namespace
}  // namespace vistrel
