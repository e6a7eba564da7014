// Reading a game segment received from another relay (or from anything
// answering in its place): the packet records of locations 64n .. 64n+63,
// each checked as soon as its last byte has arrived, so that a bad record
// ends the transfer at once instead of after the whole body. A segment is
// either sound as a whole or refused as a whole, with the reason the log
// line gives.
//
// A mirrored packet is checked as a camera's upload is: a DEMOPACKET's
// payload must inflate, within kMaxInflatedPayload, to bytes whose CRC-32 is
// its check field. The record's CRC protects only what the origin, or a cache
// in its place, chose to send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

// Locations per segment, as the origin routes serve them.
inline constexpr int32_t kEdgeSegmentLocations = 64;

// One stored packet of a segment: its location and the whole DEMOPACKET or
// DEMORESTART, header included (a view into the segment's body).
struct TSegmentPacket {
    int32_t Location = 0;
    std::string_view Packet;
};

struct TSegmentRead {
    bool Sound = false;
    // Why the segment was refused ("" when sound).
    std::string Reason;
    std::vector<TSegmentPacket> Packets;  // location order; empty when refused
};

// A segment read as its body arrives. Checks: at most maxBytes; nothing but
// whole packet records with matching CRCs; locations inside 64n .. 64n+63 and
// strictly ascending; each packet a DEMOPACKET or DEMORESTART of 16 .. 16 MiB
// bytes whose length field is its size and whose location field is its
// record's location; each DEMOPACKET's payload as a camera's.
class TSegmentStream {
public:
    TSegmentStream(int32_t n, size_t maxBytes);

    // Takes the next bytes of the body and checks every record they
    // complete. False once the segment is refused; nothing more is taken.
    bool Feed(std::string_view bytes);
    // The body has ended: false when it is refused (a record cut short).
    bool Finish();

    bool Refused() const noexcept { return !reason_.empty(); }
    const std::string& Reason() const noexcept { return reason_; }
    // The body's bytes kept so far.
    size_t Held() const noexcept { return body_.size(); }
    // What the payload checks have inflated so far: their cost.
    uint64_t Inflated() const noexcept { return inflated_; }
    // The packets of a segment that Finish() found sound, as views into the
    // kept body: valid while the stream lives and takes nothing more.
    std::vector<TSegmentPacket> Packets() const { return PacketsOver(body_); }
    // The same as views into body, a copy of the bytes fed.
    std::vector<TSegmentPacket> PacketsOver(std::string_view body) const;

private:
    void CheckRecords();
    void Refuse(std::string reason);

    struct TSpan {
        int32_t Location = 0;
        size_t Offset = 0;
        size_t Size = 0;
    };

    int32_t n_;
    size_t max_bytes_;
    std::string body_;
    size_t checked_ = 0;  // bytes of whole records checked
    int records_ = 0;
    int64_t previous_ = 0;
    uint64_t inflated_ = 0;
    std::vector<TSpan> spans_;
    std::string reason_;
};

// Checks segment n's whole body at once (TSegmentStream).
TSegmentRead ReadSegment(std::string_view body, int32_t n, size_t maxBytes);

}  // namespace vistrel
