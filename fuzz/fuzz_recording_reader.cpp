// Arbitrary bytes read as a recording the way start-up reads one: the header,
// then record after record, skipping damage and resynchronising. Every read
// stays within the buffer and the walk always moves forward.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/recording_format.h"

using namespace vistrel;

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
    while (!buf.empty()) {
        const TRecordRead read = ReadRecord(buf);
        size_t step = 0;
        switch (read.Status) {
            case TRecordStatus::NeedMore: return 0;
            case TRecordStatus::Complete: {
                if (read.Size > buf.size() || read.Size < kRecordHeadSize) std::abort();
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
                step = read.Size;
                break;
            }
            case TRecordStatus::BadCrc:
            case TRecordStatus::Malformed: step = FindNextRecord(buf); break;
        }
        if (step == 0 || step > buf.size()) std::abort();
        buf.remove_prefix(step);
    }
    return 0;
}
