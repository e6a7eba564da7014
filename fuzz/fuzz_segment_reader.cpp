// Arbitrary bytes read as a segment from an upstream, as an edge relay reads
// one: either refused whole, with a reason and no packets, or sound, with
// packets whose locations lie in the segment's range, strictly ascending,
// each a DEMOPACKET or DEMORESTART whose header agrees with its record and
// whose bytes lie inside the body.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/protocol.h"
#include "edge/segment_reader.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks the segment number and the bound.
    const int32_t n = data[0] % 4;
    const size_t bound = (data[0] & 0x80) ? 256 : size_t{1} << 20;
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const TSegmentRead read = ReadSegment(body, n, bound);
    if (!read.Sound) {
        if (read.Reason.empty() || !read.Packets.empty()) std::abort();
        return 0;
    }
    if (body.size() > bound) std::abort();
    int64_t previous = int64_t{n} * kEdgeSegmentLocations - 1;
    for (const TSegmentPacket& packet : read.Packets) {
        if (packet.Location <= previous || packet.Location >= int64_t{n + 1} * kEdgeSegmentLocations) std::abort();
        previous = packet.Location;
        if (packet.Packet.data() < body.data() || packet.Packet.data() + packet.Packet.size() > body.data() + body.size())
            std::abort();
        const int32_t type = PacketTypeOf(packet.Packet);
        if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART) std::abort();
        if (static_cast<size_t>(PacketLengthOf(packet.Packet)) != packet.Packet.size()) std::abort();
        if (PacketLocationOf(packet.Packet) != packet.Location) std::abort();
    }
    return 0;
}
