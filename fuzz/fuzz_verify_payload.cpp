// Input: 4 bytes of check field (little-endian), then the payload.
// The verification must never crash or leak, and must answer the same input
// the same way again (its engine is reused between calls).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/demo_verify.h"
#include "core/protocol.h"

namespace {

std::string Outcome(std::string_view payload, uint32_t check) {
    try {
        return std::string(vistrel::VerifyOutcomeName(vistrel::VerifyDemoPayload(payload, check)));
    } catch (const vistrel::EZLibException& e) {
        return vistrel::DescribeException(e);
    }
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
