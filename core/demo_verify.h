// The check every uploaded DEMOPACKET passes before it is stored: inflate its
// payload and compare the CRC-32 of the output with the header's check field.
// Called by the sender handling once per complete DEMOPACKET. Runs on the
// event thread; reuses one engine between calls, nothing else carries over.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/zlib_stream.h"

namespace vistrel {

enum class TVerifyOutcome {
    Verified,          // whole payload read and consumed, CRC-32 matches
    ChecksumMismatch,  // whole payload read and consumed, CRC-32 differs
    NotDecompressed,   // the run stopped before the whole payload was consumed
};

// payload: the packet's bytes from offset 16 up to its length field;
// check: the unsigned int32 at offset 8. Throws EZLibException when the
// engine reports an error (empty payload, invalid data, bad trailer, ...).
TVerifyOutcome VerifyDemoPayload(std::string_view payload, uint32_t check);

// Text for log and test output: "Verified", "ChecksumMismatch", "NotDecompressed".
std::string_view VerifyOutcomeName(TVerifyOutcome outcome) noexcept;

}  // namespace vistrel
