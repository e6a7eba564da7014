#include "edge/segment_reader.h"

#include "core/packet_framing.h"
#include "core/protocol.h"
#include "core/recording_format.h"

namespace vistrel {

namespace {

TSegmentRead Refused(std::string reason) {
    TSegmentRead read;
    read.Reason = std::move(reason);
    return read;
}

}  // namespace

TSegmentRead ReadSegment(std::string_view body, int32_t n, size_t maxBytes) {
    if (n < 0 || n > INT32_MAX / kEdgeSegmentLocations) return Refused("segment number out of range");
    if (body.size() > maxBytes)
        return Refused(std::to_string(body.size()) + " bytes, more than the bound of " + std::to_string(maxBytes));
    const int64_t first = int64_t{n} * kEdgeSegmentLocations;
    const int64_t last = first + kEdgeSegmentLocations - 1;
    TSegmentRead read;
    int64_t previous = first - 1;
    size_t offset = 0;
    for (int record = 1; offset < body.size(); ++record) {
        const std::string_view rest = body.substr(offset);
        const TRecordRead r = ReadRecord(rest);
        const std::string at = "record " + std::to_string(record) + " at byte " + std::to_string(offset);
        switch (r.Status) {
            case TRecordStatus::Complete: break;
            case TRecordStatus::NeedMore: return Refused(at + " is cut short");
            case TRecordStatus::BadCrc: return Refused(at + " fails its CRC");
            case TRecordStatus::Malformed: return Refused(at + " declares a length beyond the bound");
        }
        if (r.Kind != static_cast<uint32_t>(TRecordKind::Packet))
            return Refused(at + " is of kind " + std::to_string(r.Kind) + ", not a packet");
        int32_t location = -1;
        std::string_view packet;
        if (!ReadPacketPayload(r.Payload, location, packet)) return Refused(at + " is not a packet record");
        if (location < first || location > last)
            return Refused(at + " names location " + std::to_string(location) + ", outside " + std::to_string(first) +
                           ".." + std::to_string(last));
        if (location <= previous)
            return Refused(at + " names location " + std::to_string(location) + " after " + std::to_string(previous));
        if (packet.size() < PacketSize::DemoHeader || packet.size() > static_cast<size_t>(kMaxDemoPacketLength))
            return Refused(at + " holds a packet of " + std::to_string(packet.size()) + " bytes");
        const int32_t type = PacketTypeOf(packet);
        if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART)
            return Refused(at + " holds a packet of type " + std::to_string(type));
        if (static_cast<size_t>(PacketLengthOf(packet)) != packet.size() || PacketLocationOf(packet) != location)
            return Refused(at + " holds a packet whose header disagrees with its record");
        read.Packets.push_back({location, packet});
        previous = location;
        offset += r.Size;
    }
    read.Sound = true;
    return read;
}

}  // namespace vistrel
