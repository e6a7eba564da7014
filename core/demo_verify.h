// The check every uploaded DEMOPACKET passes before it is stored: inflate its
// payload and compare the CRC-32 of the output with the header's check field.
// Called by the sender handling once per complete DEMOPACKET. Runs on the
// event thread; reuses one engine between calls, nothing else carries over.
// The work of one check is bounded: inflating stops once the output exceeds
// kMaxInflatedPayload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/zlib_stream.h"

namespace vistrel {

// The most output a payload may inflate to. A payload that inflates to more
// fails the check, and the engine stops at most one piece past this.
inline constexpr uint64_t kMaxInflatedPayload = uint64_t{16} << 20;

enum class TVerifyOutcome {
    Verified,          // whole payload read and consumed, CRC-32 matches
    ChecksumMismatch,  // whole payload read and consumed, CRC-32 differs
    NotDecompressed,   // the run stopped before the whole payload was consumed
    TooLarge,          // the output exceeded kMaxInflatedPayload
    EngineError,       // the engine reported an error (empty payload, invalid
                       // data, bad trailer, ...)
};

// What one check found and what it cost.
struct TVerifyReport {
    TVerifyOutcome Outcome = TVerifyOutcome::NotDecompressed;
    // Bytes the engine produced: the check's cost, whatever its outcome.
    uint64_t Inflated = 0;
    // With EngineError: the text of the engine's result code
    // ("ZLib Invalid Data"); empty otherwise.
    std::string ErrorText;
};

// payload: the packet's bytes from offset 16 up to its length field;
// check: the unsigned int32 at offset 8. Never throws for the payload's
// sake: an engine error is the EngineError outcome.
TVerifyReport CheckDemoPayload(std::string_view payload, uint32_t check);

// The same check, raising EZLibException for an engine error instead of
// answering EngineError.
TVerifyOutcome VerifyDemoPayload(std::string_view payload, uint32_t check);

// Text for log and test output: "Verified", "ChecksumMismatch",
// "NotDecompressed", "TooLarge", "EngineError".
std::string_view VerifyOutcomeName(TVerifyOutcome outcome) noexcept;

}  // namespace vistrel
