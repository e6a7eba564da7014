// TSegmentBody: a segment's body (the packet records of its stored
// locations, as TOriginRoutes serves them) made while it is sent, straight
// from the stored packets' shared buffers. Nothing is built or copied up
// front; each record's CRC is the one the registry keeps per stored packet;
// only the packet being sent is kept alive, so a crowd of readers of a large
// segment holds little more than its send buffers. A packet that changed or
// went since the answer was made (its game deleted, the packet replaced or
// paged out) ends the body with an error: nothing else is ever sent under
// the answer's tag and length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/shared_bytes.h"
#include "core/recording_format.h"
#include "relay/game_host.h"
#include "web/http_server.h"

namespace vistrel {

// One record of a segment: its location, its packet's size and the record's
// CRC.
struct TSegmentRecord {
    int32_t Location = 0;
    uint32_t Size = 0;
    uint32_t Crc = 0;
};

class TSegmentBody : public THttpBody {
public:
    TSegmentBody(TGameHost& host, int32_t gameId, int64_t openedMs, std::vector<TSegmentRecord> records);

    uint64_t Size() const noexcept override { return size_; }
    std::ptrdiff_t Read(uint64_t pos, char* buf, size_t max) override;
    size_t Holding() const noexcept override { return packet_.Size(); }

private:
    // The packet of the record at next_ from the registry, still the one
    // the answer was made of; false when it is not.
    bool Pin();

    TGameHost& host_;
    int32_t game_id_;
    int64_t opened_ms_;
    std::vector<TSegmentRecord> records_;
    uint64_t size_ = 0;
    uint64_t sent_ = 0;
    // The record being sent: its index, how far into it, its head, and its
    // packet (empty between records).
    size_t next_ = 0;
    size_t offset_ = 0;
    char head_[kPacketRecordHeadSize] = {};
    TSharedBytes packet_;
};

}  // namespace vistrel
