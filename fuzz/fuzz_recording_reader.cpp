// Arbitrary bytes read as a recording the way start-up and the tools read
// one: the header, then StepRecord after StepRecord, damage skipped whole
// and searches over heads a writer makes. Every read stays within the buffer,
// the walk always moves forward, and no byte is ever covered by two CRCs:
// the work is linear, whatever the bytes. The same bytes as a camera's packet
// in a record the writer tore at any point never yield a record of their own.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/protocol.h"
#include "core/recording_format.h"

using namespace vistrel;

namespace {

// Walks buf's records; returns how many were read whole.
size_t Walk(std::string_view buf) {
    size_t records = 0;
    uint64_t crcBytes = 0;
    const size_t size = buf.size();
    while (!buf.empty()) {
        const TRecordStepRead step = StepRecord(buf, true);
        size_t advance = 0;
        switch (step.Step) {
            case TRecordStep::NeedMore: std::abort();  // never at the end
            case TRecordStep::Torn: return records;
            case TRecordStep::Record: {
                const TRecordRead& read = step.Read;
                if (read.Size != step.Size || read.Size > buf.size() || read.Size < kRecordHeadSize) std::abort();
                TGameDescription description;
                int32_t location = 0;
                std::string_view packet;
                if (read.Kind == static_cast<uint32_t>(TRecordKind::Description) &&
                    ReadDescriptionPayload(read.Payload, description)) {
                    (void)EncodeDescriptionRecord(description);
                } else if (read.Kind == static_cast<uint32_t>(TRecordKind::Packet) &&
                           ReadPacketPayload(read.Payload, location, packet)) {
                    // A record read back is the record written.
                    if (EncodePacketRecord(location, packet) != buf.substr(0, read.Size)) std::abort();
                } else if (int64_t ackMs = 0; read.Kind == static_cast<uint32_t>(TRecordKind::TimedPacket) &&
                                              ReadTimedPacketPayload(read.Payload, location, ackMs, packet)) {
                    if (EncodeTimedPacketRecord(location, ackMs, packet) != buf.substr(0, read.Size)) std::abort();
                }
                ++records;
                crcBytes += step.Size;
                advance = step.Size;
                break;
            }
            case TRecordStep::Skip:
                crcBytes += step.Size;
                advance = step.Size;
                break;
            case TRecordStep::Search: advance = FindRecordHead(buf, 1, true); break;
        }
        if (advance == 0 || advance > buf.size()) std::abort();
        buf.remove_prefix(advance);
        if (crcBytes > size) std::abort();
    }
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view buf(reinterpret_cast<const char*>(data), size);
    const THeaderRead header = ReadRecordingHeader(buf);
    if (header.Status == THeaderStatus::Valid) {
        // A sound header survives being written again. The reserved word is
        // not read, so the bytes may differ there (and in the CRC over it):
        // what is compared is what a reader takes from it.
        const THeaderRead again = ReadRecordingHeader(EncodeRecordingHeader(header.Header, header.Version));
        if (again.Status != THeaderStatus::Valid || again.Version != header.Version ||
            again.Header.GameId != header.Header.GameId || again.Header.OpenedMs != header.Header.OpenedMs)
            std::abort();
        buf.remove_prefix(kRecordingHeaderSize);
    }
    (void)Walk(buf);

    // The input as the payload of a camera's packet, its record torn at a
    // point the input picks: only the description before it is a record.
    if (size < 2) return 0;
    const std::string_view payload(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::string packet(PacketSize::DemoHeader, '\0');
    WriteInt32(packet, PacketOffset::Type, PacketType::DEMOPACKET);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(PacketSize::DemoHeader + payload.size()));
    packet.append(payload);
    const std::string description = EncodeDescriptionRecord(TGameDescription{1, "name", "mod", "cam", "addr"});
    const std::string file = description + EncodeTimedPacketRecord(0, 1, packet);
    const size_t cut = description.size() + (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) %
                                                (file.size() - description.size());
    if (Walk(std::string_view(file).substr(0, cut)) != 1 || Walk(file) != 2) std::abort();
    return 0;
}
