#include "web/segment_body.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vistrel {

TSegmentBody::TSegmentBody(TGameHost& host, int32_t gameId, int64_t openedMs, std::vector<TSegmentRecord> records)
    : host_(host), game_id_(gameId), opened_ms_(openedMs), records_(std::move(records)) {
    for (const TSegmentRecord& record : records_) size_ += kPacketRecordHeadSize + record.Size;
}

bool TSegmentBody::Pin() {
    const TSegmentRecord& record = records_[next_];
    TActiveGameList* game = host_.FindGameById(game_id_);
    if (!game || game->OpenedMs() != opened_ms_ || record.Location >= game->Count()) return false;
    const TSharedBytes& packet = game->SharedData(record.Location);
    if (packet.Size() != record.Size || packet.Empty() || game->PacketRecordCrc(record.Location) != record.Crc)
        return false;
    packet_ = packet;
    EncodePacketRecordHead(head_, record.Location, record.Size, record.Crc);
    return true;
}

std::ptrdiff_t TSegmentBody::Read(uint64_t pos, char* buf, size_t max) {
    if (pos != sent_) return -1;
    size_t written = 0;
    while (written < max && next_ < records_.size()) {
        if (offset_ == 0 && !Pin()) return -1;
        const size_t recordSize = kPacketRecordHeadSize + packet_.Size();
        if (offset_ < kPacketRecordHeadSize) {
            const size_t n = std::min(max - written, kPacketRecordHeadSize - offset_);
            std::memcpy(buf + written, head_ + offset_, n);
            written += n;
            offset_ += n;
        }
        if (offset_ >= kPacketRecordHeadSize && written < max) {
            const size_t at = offset_ - kPacketRecordHeadSize;
            const size_t n = std::min(max - written, packet_.Size() - at);
            std::memcpy(buf + written, packet_.Data() + at, n);
            written += n;
            offset_ += n;
        }
        if (offset_ == recordSize) {
            // Sent on: the packet is the registry's (or nobody's) again.
            packet_ = TSharedBytes();
            offset_ = 0;
            ++next_;
        }
    }
    if (written == 0) return -1;
    sent_ += written;
    return static_cast<std::ptrdiff_t>(written);
}

}  // namespace vistrel
