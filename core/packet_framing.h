// Framing: where the packet at the front of a receive buffer ends. One pure
// function serves both ports, so every size rule of the wire protocol is
// applied in one place and the packet handlers only ever see whole packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel {

// The port a connection came in on: each knows its own packet types.
enum class TPort { Sender, Viewer };

enum class TFrameStatus {
    Complete,     // Size bytes at the front are one whole packet
    NeedMore,     // the packet is not all there yet
    Malformed,    // no sound packet can start here; Reason says why
    UnknownType,  // a type this port does not know: it stays at the front
                  // and nothing behind it can be framed
};

struct TFrame {
    TFrameStatus Status = TFrameStatus::NeedMore;
    // With Complete: the bytes the packet takes from the front.
    size_t Size = 0;
    // With Malformed: what the peer sent, as a log line says it after the
    // peer's address ("sent a DEMOPACKET with an invalid length of 8 bytes").
    std::string Reason;
};

// Fixed-size packets are framed by their size, never by their length field.
// DEMOPACKET and DEMORESTART are framed by their length field, which must lie
// in 16 .. kMaxDemoPacketLength. A USERINFO is whole at 32 bytes and takes up
// to 288 bytes, as many as are there.
TFrame FramePacket(std::string_view buf, TPort port);

// The largest DEMOPACKET or DEMORESTART accepted, header included.
inline constexpr int32_t kMaxDemoPacketLength = int32_t{16} << 20;

}  // namespace vistrel
