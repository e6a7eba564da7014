// Reading a game segment received from another relay (or from anything
// answering in its place): the packet records of locations 64n .. 64n+63,
// checked in full before anything of it is used. A segment is either sound
// as a whole or refused as a whole, with the reason the log line gives.
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

// Checks segment n's body: at most maxBytes; nothing but whole packet
// records with matching CRCs; locations inside 64n .. 64n+63 and strictly
// ascending; each packet a DEMOPACKET or DEMORESTART of 16 .. 16 MiB bytes
// whose length field is its size and whose location field is its record's
// location.
TSegmentRead ReadSegment(std::string_view body, int32_t n, size_t maxBytes);

}  // namespace vistrel
