// Edge mode's reader of an upstream's segments.
#include <string>

#include <gtest/gtest.h>

#include "client/client_packets.h"
#include "core/recording_format.h"
#include "edge/segment_reader.h"

namespace vistrel::testing {
namespace {

using namespace vistrel::client;

TEST(SegmentReader, TakesOnlyWholeSoundSegments) {
    std::string body;
    AppendPacketRecord(body, 64, Demo(64, "a"));
    AppendPacketRecord(body, 100, Restart(100, std::string(20, 'r')));
    AppendPacketRecord(body, 127, Demo(127, "b"));
    TSegmentRead read = ReadSegment(body, 1, 1 << 20);
    ASSERT_TRUE(read.Sound) << read.Reason;
    ASSERT_EQ(read.Packets.size(), 3u);
    EXPECT_EQ(read.Packets[1].Location, 100);
    EXPECT_EQ(read.Packets[1].Packet, Restart(100, std::string(20, 'r')));
    EXPECT_TRUE(ReadSegment("", 0, 0).Sound);  // a segment of gaps only
    EXPECT_FALSE(ReadSegment(body, 0, 1 << 20).Sound);   // not segment 0's locations
    EXPECT_FALSE(ReadSegment(body, 1, body.size() - 1).Sound);
    EXPECT_FALSE(ReadSegment(body, -1, 1 << 20).Sound);
    // Cut anywhere but between records, it is refused whole.
    const size_t first = kRecordHeadSize + kPacketRecordPrefix + Demo(64, "a").size();
    const size_t second = first + kRecordHeadSize + kPacketRecordPrefix + Restart(100, std::string(20, 'r')).size();
    for (size_t cut = 1; cut < body.size(); ++cut) {
        const TSegmentRead part = ReadSegment(body.substr(0, cut), 1, 1 << 20);
        if (cut == first || cut == second) {
            EXPECT_TRUE(part.Sound);
            EXPECT_EQ(part.Packets.size(), cut == first ? 1u : 2u);
        } else {
            EXPECT_FALSE(part.Sound) << cut;
            EXPECT_TRUE(part.Packets.empty());
        }
    }
}

}  // namespace
}  // namespace vistrel::testing
