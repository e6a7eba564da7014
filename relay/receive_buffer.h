// The receive buffer of a relay connection: bytes read and not yet consumed.
// A parse pass reads packets from an offset and consumes them all at once at
// its end (one erase per pass, not one per packet). Used by the sender and the
// viewer data handlers. TMainForm counts every receive buffer's bytes in the
// connection buffers and closes the connection holding the most when all of
// them together exceed their budget (receive_buffer.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vistrel {

// Appends freshly read bytes; an empty buffer takes them over without a copy.
void AppendReceived(std::string& buffer, std::string data);

}  // namespace vistrel
