#include "edge/segment_reader.h"

#include <climits>
#include <utility>

#include "core/demo_verify.h"
#include "core/packet_framing.h"
#include "core/protocol.h"
#include "core/recording_format.h"

namespace vistrel {

TSegmentStream::TSegmentStream(int32_t n, size_t maxBytes)
    : n_(n), max_bytes_(maxBytes), previous_(int64_t{n} * kEdgeSegmentLocations - 1) {
    if (n < 0 || n > INT32_MAX / kEdgeSegmentLocations) Refuse("segment number out of range");
}

void TSegmentStream::Refuse(std::string reason) {
    reason_ = std::move(reason);
    spans_.clear();
    body_.clear();
    body_.shrink_to_fit();
}

bool TSegmentStream::Feed(std::string_view bytes) {
    if (Refused()) return false;
    if (bytes.size() > max_bytes_ - body_.size()) {
        Refuse("larger than " + std::to_string(max_bytes_) + " bytes");
        return false;
    }
    body_.append(bytes);
    CheckRecords();
    return !Refused();
}

bool TSegmentStream::Finish() {
    if (Refused()) return false;
    if (checked_ < body_.size())
        Refuse("record " + std::to_string(records_ + 1) + " at byte " + std::to_string(checked_) + " is cut short");
    return !Refused();
}

void TSegmentStream::CheckRecords() {
    const int64_t first = int64_t{n_} * kEdgeSegmentLocations;
    const int64_t last = first + kEdgeSegmentLocations - 1;
    while (checked_ < body_.size()) {
        const std::string_view rest = std::string_view(body_).substr(checked_);
        const TRecordRead r = ReadRecord(rest);
        const std::string at = "record " + std::to_string(records_ + 1) + " at byte " + std::to_string(checked_);
        switch (r.Status) {
            case TRecordStatus::Complete: break;
            case TRecordStatus::NeedMore: {
                // A record whose head already says it cannot fit ends the
                // transfer now rather than at the bound.
                if (rest.size() < kRecordHeadSize) return;
                const auto* head = reinterpret_cast<const unsigned char*>(rest.data());
                const size_t declared = head[0] | size_t{head[1]} << 8 | size_t{head[2]} << 16 | size_t{head[3]} << 24;
                if (kRecordHeadSize + declared > max_bytes_ - checked_)
                    Refuse("larger than " + std::to_string(max_bytes_) + " bytes");
                return;
            }
            case TRecordStatus::BadCrc: return Refuse(at + " fails its CRC");
            case TRecordStatus::Malformed: return Refuse(at + " declares a length beyond the bound");
        }
        if (r.Kind != static_cast<uint32_t>(TRecordKind::Packet))
            return Refuse(at + " is of kind " + std::to_string(r.Kind) + ", not a packet");
        int32_t location = -1;
        std::string_view packet;
        if (!ReadPacketPayload(r.Payload, location, packet)) return Refuse(at + " is not a packet record");
        if (location < first || location > last)
            return Refuse(at + " names location " + std::to_string(location) + ", outside " + std::to_string(first) +
                          ".." + std::to_string(last));
        if (location <= previous_)
            return Refuse(at + " names location " + std::to_string(location) + " after " + std::to_string(previous_));
        if (packet.size() < PacketSize::DemoHeader || packet.size() > static_cast<size_t>(kMaxDemoPacketLength))
            return Refuse(at + " holds a packet of " + std::to_string(packet.size()) + " bytes");
        const int32_t type = PacketTypeOf(packet);
        if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART)
            return Refuse(at + " holds a packet of type " + std::to_string(type));
        if (static_cast<size_t>(PacketLengthOf(packet)) != packet.size() || PacketLocationOf(packet) != location)
            return Refuse(at + " holds a packet whose header disagrees with its record");
        if (type == PacketType::DEMOPACKET) {
            // Bounded work: the check stops past kMaxInflatedPayload.
            const TVerifyReport report = CheckDemoPayload(DemoPayloadOf(packet), PacketCheckOf(packet));
            inflated_ += report.Inflated;
            if (report.Outcome != TVerifyOutcome::Verified)
                return Refuse(at + " holds a packet whose payload fails its check (" +
                              std::string(VerifyOutcomeName(report.Outcome)) +
                              (report.ErrorText.empty() ? std::string() : ", " + report.ErrorText) + ")");
        }
        spans_.push_back({location, static_cast<size_t>(packet.data() - body_.data()), packet.size()});
        previous_ = location;
        checked_ += r.Size;
        ++records_;
    }
}

std::vector<TSegmentPacket> TSegmentStream::PacketsOver(std::string_view body) const {
    std::vector<TSegmentPacket> packets;
    if (Refused() || checked_ != body_.size() || body.size() != body_.size()) return packets;
    packets.reserve(spans_.size());
    for (const TSpan& span : spans_) packets.push_back({span.Location, body.substr(span.Offset, span.Size)});
    return packets;
}

TSegmentRead ReadSegment(std::string_view body, int32_t n, size_t maxBytes) {
    TSegmentRead read;
    if (body.size() > maxBytes) {
        read.Reason = std::to_string(body.size()) + " bytes, more than the bound of " + std::to_string(maxBytes);
        return read;
    }
    TSegmentStream stream(n, maxBytes);
    if (!stream.Feed(body) || !stream.Finish()) {
        read.Reason = stream.Reason();
        return read;
    }
    read.Packets = stream.PacketsOver(body);
    read.Sound = true;
    return read;
}

}  // namespace vistrel
