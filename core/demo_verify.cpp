#include "core/demo_verify.h"

namespace vistrel {

namespace {

// One engine per thread, restarted for every payload: zlib's state and
// window and the output piece buffer are reused instead of re-allocated.
// The payload is read in place; the output only feeds the CRC.
TZLib& Engine() {
    thread_local TZLib engine;
    return engine;
}

}  // namespace

VerifyOutcome VerifyDemoPayload(std::string_view payload, uint32_t check) {
    TZLib& zlib = Engine();
    zlib.Restart();
    zlib.SetInput(payload);
    bool finished = false;
    try {
        finished = zlib.Execute(false);
    } catch (...) {
        zlib.ClearInput();  // never keep a view of a buffer we do not own
        throw;
    }
    zlib.ClearInput();
    if (!finished) return VerifyOutcome::NotDecompressed;
    return zlib.Crc() == check ? VerifyOutcome::Verified : VerifyOutcome::ChecksumMismatch;
}

std::string_view VerifyOutcomeName(VerifyOutcome outcome) noexcept {
    switch (outcome) {
        case VerifyOutcome::Verified: return "Verified";
        case VerifyOutcome::ChecksumMismatch: return "ChecksumMismatch";
        case VerifyOutcome::NotDecompressed: return "NotDecompressed";
    }
    return "";
}

}  // namespace vistrel
