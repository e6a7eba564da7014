// The receive buffer of a relay connection: bytes read and not yet consumed.
// A parse pass reads packets from an offset and consumes them all at once at
// its end (one erase per pass, not one per packet). Used by the sender and the
// viewer data handlers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vistrel {

class TMainForm;
class TWSocketClient;

// Appends freshly read bytes; an empty buffer takes them over without a copy.
void AppendReceived(std::string& buffer, std::string data);

// Ends a parse pass: removes the first `consumed` bytes, releases the memory
// of a buffer left empty, and closes the connection (with a log line naming
// kind and peer) when what is left exceeds the frame's MaxUnhandledInput.
void FinishParse(TMainForm& form, TWSocketClient& conn, std::string& buffer, size_t consumed,
                 std::string_view kind);

}  // namespace vistrel
