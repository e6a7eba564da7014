#include "core/recording_format.h"

#include <zlib.h>

#include <tuple>

#include <gtest/gtest.h>

#include "core/crc32.h"
#include "core/protocol.h"

namespace vistrel {
namespace {

// A stored packet of `size` bytes with its type and length fields set.
std::string DemoPacket(int32_t location, size_t size, char fill = 'x', int32_t type = PacketType::DEMOPACKET) {
    std::string packet(size, fill);
    WriteInt32(packet, PacketOffset::Type, type);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    WriteInt32(packet, PacketOffset::Location, location);
    return packet;
}

TEST(RecordingFormat, HeaderRoundTripsAndTellsForeignDamagedAndNewerFilesApart) {
    const std::string header = EncodeRecordingHeader({-7, 1765000000123});
    ASSERT_EQ(header.size(), kRecordingHeaderSize);
    THeaderRead read = ReadRecordingHeader(header);
    ASSERT_EQ(read.Status, THeaderStatus::Valid);
    EXPECT_EQ(read.Header.GameId, -7);
    EXPECT_EQ(read.Header.OpenedMs, 1765000000123);

    EXPECT_EQ(ReadRecordingHeader(header.substr(0, 39)).Status, THeaderStatus::Short);
    EXPECT_EQ(ReadRecordingHeader(header.substr(0, 3)).Status, THeaderStatus::Short);
    EXPECT_EQ(ReadRecordingHeader("").Status, THeaderStatus::Short);
    EXPECT_EQ(ReadRecordingHeader("[Registry]\nfoo=bar\n........................").Status,
              THeaderStatus::NotARecording);
    EXPECT_EQ(ReadRecordingHeader("Vistrel").Status, THeaderStatus::Short);

    std::string damaged = header;
    damaged[22] ^= 0x10;
    EXPECT_EQ(ReadRecordingHeader(damaged).Status, THeaderStatus::BadCrc);

    // A later version, with a sound header, is recognised as ours but not read.
    std::string newer = header;
    newer[16] = 3;
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(newer.data()), 36);
    for (int i = 0; i < 4; ++i) newer[36 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    read = ReadRecordingHeader(newer);
    EXPECT_EQ(read.Status, THeaderStatus::UnsupportedVersion);
    EXPECT_EQ(read.Version, 3u);
    EXPECT_EQ(ReadRecordingHeader(EncodeRecordingHeader({5, 6}, 1)).Status, THeaderStatus::Valid);
}

TEST(RecordingFormat, ATimedPacketRecordKeepsItsTimeAndAPlainOneReadsAsOld) {
    const std::string packet = DemoPacket(9, 200), record = EncodeTimedPacketRecord(9, 1765000000123, packet);
    int32_t location = 0;
    int64_t ackMs = -1;
    std::string_view read;
    ASSERT_EQ(ReadRecord(record).Status, TRecordStatus::Complete);
    ASSERT_TRUE(ReadAnyPacketRecord(ReadRecord(record), location, ackMs, read));
    EXPECT_EQ(std::make_tuple(location, ackMs, read),
              std::make_tuple(9, int64_t{1765000000123}, std::string_view(packet)));
    ASSERT_TRUE(ReadAnyPacketRecord(ReadRecord(EncodePacketRecord(9, packet)), location, ackMs, read));
    EXPECT_EQ(ackMs, 0);
    EXPECT_EQ(FindNextRecord("junk" + record), 4u);  // found again after damage
}

TEST(RecordingFormat, RecordsRoundTripAndEveryCutIsSeenAsATornTail) {
    TGameDescription description{3, "final map", "mod", "cam one", "127.0.0.1:5000"};
    const std::string packet = DemoPacket(41, 300);
    std::string file = EncodeDescriptionRecord(description);
    AppendPacketRecord(file, 41, packet);
    EXPECT_EQ(file.substr(EncodeDescriptionRecord(description).size()), EncodePacketRecord(41, packet));

    TRecordRead first = ReadRecord(file);
    ASSERT_EQ(first.Status, TRecordStatus::Complete);
    EXPECT_EQ(first.Kind, static_cast<uint32_t>(TRecordKind::Description));
    TGameDescription back;
    ASSERT_TRUE(ReadDescriptionPayload(first.Payload, back));
    EXPECT_EQ(back.GameType, 3);
    EXPECT_EQ(back.Name, "final map");
    EXPECT_EQ(back.Mod, "mod");
    EXPECT_EQ(back.SenderName, "cam one");
    EXPECT_EQ(back.SenderAddr, "127.0.0.1:5000");

    const std::string_view rest = std::string_view(file).substr(first.Size);
    TRecordRead second = ReadRecord(rest);
    ASSERT_EQ(second.Status, TRecordStatus::Complete);
    EXPECT_EQ(second.Size, rest.size());
    int32_t location = 0;
    std::string_view stored;
    ASSERT_TRUE(ReadPacketPayload(second.Payload, location, stored));
    EXPECT_EQ(location, 41);
    EXPECT_EQ(stored, packet);

    for (size_t cut = 0; cut < rest.size(); ++cut)
        ASSERT_EQ(ReadRecord(rest.substr(0, cut)).Status, TRecordStatus::NeedMore) << cut;
}

TEST(RecordingFormat, AFlippedByteFailsItsRecordAndTheNextOneIsFoundEvenWithADamagedLength) {
    std::string file;
    AppendPacketRecord(file, 0, DemoPacket(0, 64, 'a'));
    const size_t second = file.size();
    AppendPacketRecord(file, 1, DemoPacket(1, 64, 'b'));
    const size_t third = file.size();
    AppendPacketRecord(file, 2, DemoPacket(2, 64, 'c', PacketType::DEMORESTART));

    for (size_t at = second; at < third; ++at) {
        std::string damaged = file;
        damaged[at] ^= 0x01;
        const std::string_view from = std::string_view(damaged).substr(second);
        const TRecordRead read = ReadRecord(from);
        ASSERT_NE(read.Status, TRecordStatus::Complete) << at;
        // However the damage reads, the search lands on the next record.
        EXPECT_EQ(FindNextRecord(from), third - second) << at;
    }
    // A length beyond any record is damage, not a wait for more bytes.
    std::string huge = file;
    huge[3] = 0x7F;
    EXPECT_EQ(ReadRecord(huge).Status, TRecordStatus::Malformed);
    EXPECT_EQ(FindNextRecord(huge), second);
    // Nothing sound behind the damage: the search ends at the buffer's end.
    EXPECT_EQ(FindNextRecord(std::string_view(file).substr(third + 1)), file.size() - third - 1);
}

TEST(RecordingFormat, APacketRecordHeadAndItsPacketMakeTheWholeRecord) {
    for (size_t size : {size_t{16}, size_t{17}, size_t{1000}, size_t{70000}}) {
        const std::string packet = DemoPacket(7, size, static_cast<char>('a' + size % 26));
        char head[kPacketRecordHeadSize];
        EncodePacketRecordHead(head, 7, packet);
        EXPECT_EQ(std::string(head, sizeof head) + packet, EncodePacketRecord(7, packet)) << size;
    }
}

TEST(RecordingFormat, PacketPayloadsHoldOnlyWhatTheRelayStores) {
    int32_t location = 0;
    std::string_view packet;
    const auto payloadOf = [](int32_t at, const std::string& stored) {
        return std::string(ReadRecord(EncodePacketRecord(at, stored)).Payload);
    };
    EXPECT_TRUE(ReadPacketPayload(payloadOf(5, DemoPacket(5, 16)), location, packet));
    EXPECT_FALSE(ReadPacketPayload(payloadOf(-1, DemoPacket(5, 16)), location, packet));
    EXPECT_FALSE(ReadPacketPayload(payloadOf(5, DemoPacket(5, 32, 'x', PacketType::SENDTEXT)), location, packet));
    std::string lying = DemoPacket(5, 32);
    WriteInt32(lying, PacketOffset::Length, 31);
    EXPECT_FALSE(ReadPacketPayload(payloadOf(5, lying), location, packet));
    EXPECT_FALSE(ReadPacketPayload(std::string(10, '\0'), location, packet));

    TGameDescription description;
    EXPECT_FALSE(ReadDescriptionPayload("\1\0\0\0\5ab", description));
    // Texts past a length byte's reach are cut, not wrapped.
    const std::string longName(300, 'n');
    ASSERT_TRUE(ReadDescriptionPayload(ReadRecord(EncodeDescriptionRecord({0, longName, "", "", ""})).Payload,
                                       description));
    EXPECT_EQ(description.Name.size(), 255u);
}

// Every length and offset through each of the folding paths, from any value.
TEST(RecordingFormat, TheFoldedCrcIsZlibs) {
    std::string bytes(1200, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 3));
    for (size_t size = 0; size <= 700; ++size)
        for (const size_t at : {size_t{0}, size_t{3}}) {
            const uint32_t from = static_cast<uint32_t>(size * 2654435761u);
            ASSERT_EQ(Crc32(from, std::string_view(bytes).substr(at, size)),
                      crc32(from, reinterpret_cast<const Bytef*>(bytes.data() + at), static_cast<uInt>(size)))
                << size << " at " << at;
        }
}

}  // namespace
}  // namespace vistrel
