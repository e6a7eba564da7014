// Input: 4 bytes of check field (little-endian), then the payload.
// The verification must never crash or leak, and must answer the same input
// the same way again (its engine is reused between calls), and its work must
// stay within one piece past the output limit.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/demo_verify.h"
#include "core/protocol.h"

namespace {

std::string Outcome(std::string_view payload, uint32_t check) {
    const vistrel::TVerifyReport report = vistrel::CheckDemoPayload(payload, check);
    if (report.Inflated > vistrel::kMaxInflatedPayload + vistrel::TZLib::kPieceSize) std::abort();
    return std::string(vistrel::VerifyOutcomeName(report.Outcome)) + " " + report.ErrorText + " " +
           std::to_string(report.Inflated);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const uint32_t check = vistrel::ReadUInt32(input, 0);
    const std::string_view payload = size >= 4 ? input.substr(4) : std::string_view{};
    const std::string first = Outcome(payload, check);
    const std::string second = Outcome(payload, check);
    if (first != second) std::abort();
    return 0;
}
