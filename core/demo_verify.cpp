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

TVerifyOutcome VerifyDemoPayload(std::string_view payload, uint32_t check) {
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
    if (!finished) return TVerifyOutcome::NotDecompressed;
    return zlib.Crc() == check ? TVerifyOutcome::Verified : TVerifyOutcome::ChecksumMismatch;
}

std::string_view VerifyOutcomeName(TVerifyOutcome outcome) noexcept {
    switch (outcome) {
        case TVerifyOutcome::Verified: return "Verified";
        case TVerifyOutcome::ChecksumMismatch: return "ChecksumMismatch";
        case TVerifyOutcome::NotDecompressed: return "NotDecompressed";
    }
    return "";
}

}  // namespace vistrel
