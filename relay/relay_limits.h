// Bounds the relay puts on what one connection may make it hold. Read by the
// sender and viewer handling; the frame keeps the input bound as a setting so
// tests can lower it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/packet_framing.h"

namespace vistrel {

// Unconsumed input a connection may leave in its receive buffer: one packet
// of the largest size still being received, plus what one read can add.
// Above it the connection is closed; a connection stalled at a packet it can
// never get past would otherwise grow without end.
inline constexpr size_t kMaxUnhandledInput = (size_t{16} << 20) + (size_t{64} << 10);

}  // namespace vistrel
