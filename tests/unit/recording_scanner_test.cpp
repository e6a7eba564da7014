// ScanRecording over real files: records across its read runs and as large
// as a record may be, damage near a run's end, a torn tail cut off the file,
// and files that are not recordings left unchanged.
#include "disk/recording_scanner.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/protocol.h"
#include "tests/e2e/recording_folder.h"

namespace vistrel {
namespace {

using testing::ReadWholeFile;
using testing::WriteWholeFile;

std::string Packet(int32_t location, size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string packet(size, '\0');
    for (char& c : packet) c = static_cast<char>(random() & 0xFF);
    WriteInt32(packet, PacketOffset::Type, PacketType::DEMOPACKET);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    WriteInt32(packet, PacketOffset::Location, location);
    return packet;
}

// A packet that passes the relay's payload check (its content deflated at
// level 0): what a search may find and keep.
std::string CheckedPacket(int32_t location, size_t contentSize, uint32_t seed) {
    const std::string content = Packet(location, contentSize, seed);
    uLongf size = compressBound(static_cast<uLong>(content.size()));
    std::string payload(size, '\0');
    compress2(reinterpret_cast<Bytef*>(payload.data()), &size, reinterpret_cast<const Bytef*>(content.data()),
              static_cast<uLong>(content.size()), 0);
    payload.resize(size);
    std::string packet(PacketSize::DemoHeader, '\0');
    WriteInt32(packet, PacketOffset::Type, PacketType::DEMOPACKET);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(PacketSize::DemoHeader + payload.size()));
    WriteInt32(packet, PacketOffset::Check,
               static_cast<int32_t>(
                   crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size()))));
    WriteInt32(packet, PacketOffset::Location, location);
    return packet + payload;
}

struct TSeen : TRecordingVisitor {
    bool Begin(const TRecordingHeader& header) override {
        Header = header;
        return true;
    }
    void Description(const TGameDescription& description) override { Descriptions.push_back(description.Name); }
    void Packet(int32_t location, std::string_view packet, uint64_t offset) override {
        Locations.push_back(location);
        Packets.emplace_back(packet);
        Offsets.push_back(offset);
    }
    void Damaged(uint64_t offset, uint64_t bytes) override { Damage.emplace_back(offset, bytes); }
    void TornTail(uint64_t offset, uint64_t bytes) override { Torn.emplace_back(offset, bytes); }

    TRecordingHeader Header;
    std::vector<std::string> Descriptions;
    std::vector<int32_t> Locations;
    std::vector<std::string> Packets;
    std::vector<uint64_t> Offsets;
    std::vector<std::pair<uint64_t, uint64_t>> Damage;
    std::vector<std::pair<uint64_t, uint64_t>> Torn;
};

class Scanner : public ::testing::Test {
protected:
    std::string Path() const { return folder_.File("game.vrec"); }
    TScanResult Scan(TSeen& seen) {
        const int fd = open(Path().c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        const TScanResult result = ScanRecording(fd, seen);
        close(fd);
        return result;
    }
    void SetUp() override { ASSERT_EQ(system(("mkdir -p '" + folder_.Path() + "'").c_str()), 0); }

    testing::TRecordingFolder folder_;
};

TEST_F(Scanner, RecordsAcrossReadRunsAndOfTheLargestSizeAreReadWhole) {
    std::string file = EncodeRecordingHeader(TRecordingHeader{7, 1234});
    file += EncodeDescriptionRecord(TGameDescription{1, "map", "mod", "cam", "addr"});
    std::vector<std::string> packets;
    std::vector<uint64_t> offsets;
    std::mt19937 sizes(5);
    // About 40 MiB: several 8 MiB runs, records straddling each run's end,
    // and one of the largest size a record may have.
    for (int32_t i = 0; file.size() < (size_t{40} << 20); ++i) {
        const size_t size = i == 20 ? kMaxRecordPayload - kPacketRecordPrefix : 16 + sizes() % 300000;
        packets.push_back(Packet(i, size, static_cast<uint32_t>(i)));
        offsets.push_back(file.size());
        AppendPacketRecord(file, i, packets.back());
    }
    WriteWholeFile(Path(), file);
    TSeen seen;
    const TScanResult result = Scan(seen);
    EXPECT_EQ(result.Outcome, TScanOutcome::Read);
    EXPECT_EQ(result.Size, file.size());
    EXPECT_EQ(seen.Header.GameId, 7);
    EXPECT_EQ(seen.Header.OpenedMs, 1234);
    EXPECT_EQ(seen.Descriptions, std::vector<std::string>{"map"});
    ASSERT_EQ(seen.Packets.size(), packets.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(seen.Locations[i], static_cast<int32_t>(i));
        EXPECT_TRUE(seen.Packets[i] == packets[i]) << i;
        EXPECT_EQ(seen.Offsets[i], offsets[i]) << i;
    }
    EXPECT_TRUE(seen.Damage.empty());
    EXPECT_TRUE(seen.Torn.empty());
}

TEST_F(Scanner, DamageDeepInALongFileIsSkippedToTheNextSoundRecord) {
    std::string file = EncodeRecordingHeader(TRecordingHeader{3, 0});
    std::vector<std::string> packets;
    std::vector<uint64_t> offsets;
    for (int32_t i = 0; file.size() < (size_t{20} << 20); ++i) {
        // Sound payloads: after the search each is checked as a camera's.
        packets.push_back(CheckedPacket(i, 100000, static_cast<uint32_t>(i)));
        offsets.push_back(file.size());
        AppendPacketRecord(file, i, packets.back());
    }
    // The record across the 8 MiB mark gets a damaged length field: the
    // search for the next sound record starts there and reads on.
    size_t hit = 0;
    while (offsets[hit + 1] < (size_t{8} << 20)) ++hit;
    file[offsets[hit] + 3] = '\x7F';
    WriteWholeFile(Path(), file);
    TSeen seen;
    EXPECT_EQ(Scan(seen).Outcome, TScanOutcome::Read);
    ASSERT_EQ(seen.Damage.size(), 1u);
    EXPECT_EQ(seen.Damage[0].first, offsets[hit]);
    EXPECT_EQ(seen.Damage[0].second, offsets[hit + 1] - offsets[hit]);
    ASSERT_EQ(seen.Packets.size(), packets.size() - 1);
    EXPECT_EQ(seen.Locations[hit], static_cast<int32_t>(hit + 1));
    EXPECT_EQ(ReadWholeFile(Path()), file) << "damage is never cut";
}

TEST_F(Scanner, ATornTailIsCutOffTheFile) {
    std::string file = EncodeRecordingHeader(TRecordingHeader{3, 0});
    AppendPacketRecord(file, 0, Packet(0, 5000, 1));
    const size_t sound = file.size();
    for (size_t cut : {size_t{1}, size_t{11}, size_t{12}, size_t{4000}}) {
        std::string torn = file;
        AppendPacketRecord(torn, 1, Packet(1, 5000, 2));
        torn.resize(sound + cut);
        WriteWholeFile(Path(), torn);
        TSeen seen;
        const TScanResult result = Scan(seen);
        EXPECT_EQ(result.Outcome, TScanOutcome::Read);
        EXPECT_EQ(result.Size, sound);
        ASSERT_EQ(seen.Torn.size(), 1u) << cut;
        EXPECT_EQ(seen.Torn[0], std::make_pair(uint64_t{sound}, uint64_t{cut}));
        EXPECT_EQ(seen.Packets.size(), 1u);
        EXPECT_EQ(ReadWholeFile(Path()), file) << cut;
    }
}

TEST_F(Scanner, FilesThatAreNotRecordingsAreReportedAndNotChanged) {
    const std::vector<std::pair<std::string, TScanOutcome>> cases = {
        {"", TScanOutcome::TooShort},
        {"hello, world", TScanOutcome::NotARecording},
        {"VistrelRecording", TScanOutcome::TooShort},
        {EncodeRecordingHeader(TRecordingHeader{1, 2}).replace(30, 1, "x"), TScanOutcome::DamagedHeader},
    };
    for (const auto& [bytes, outcome] : cases) {
        WriteWholeFile(Path(), bytes + std::string(3, 'z'));
        TSeen seen;
        EXPECT_EQ(Scan(seen).Outcome, bytes.empty() ? TScanOutcome::NotARecording : outcome) << bytes;
        EXPECT_EQ(ReadWholeFile(Path()), bytes + std::string(3, 'z'));
    }
}

}  // namespace
}  // namespace vistrel
