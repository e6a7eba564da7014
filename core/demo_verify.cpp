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

TVerifyReport CheckDemoPayload(std::string_view payload, uint32_t check) {
    TZLib& zlib = Engine();
    TVerifyReport report;
    try {
        zlib.Restart();
    } catch (const EZLibException&) {
        // The engine could not be (re)started: nothing was inflated.
        report.Outcome = TVerifyOutcome::EngineError;
        report.ErrorText = zlib.ErrorText();
        return report;
    }
    zlib.SetOutputLimit(kMaxInflatedPayload);
    zlib.SetInput(payload);
    bool finished = false;
    bool failed = false;
    try {
        finished = zlib.Execute(false);
    } catch (const EZLibException&) {
        failed = true;
    }
    zlib.ClearInput();  // never keep a view of a buffer we do not own
    report.Inflated = static_cast<uint64_t>(zlib.CurrentOut() > 0 ? zlib.CurrentOut() : 0);
    if (failed) {
        report.Outcome = TVerifyOutcome::EngineError;
        report.ErrorText = zlib.ErrorText();
        return report;
    }
    if (zlib.OutputLimitExceeded())
        report.Outcome = TVerifyOutcome::TooLarge;
    else if (!finished)
        report.Outcome = TVerifyOutcome::NotDecompressed;
    else
        report.Outcome = zlib.Crc() == check ? TVerifyOutcome::Verified : TVerifyOutcome::ChecksumMismatch;
    return report;
}

TVerifyOutcome VerifyDemoPayload(std::string_view payload, uint32_t check) {
    const TVerifyReport report = CheckDemoPayload(payload, check);
    if (report.Outcome == TVerifyOutcome::EngineError) throw EZLibException(report.ErrorText);
    return report.Outcome;
}

std::string_view VerifyOutcomeName(TVerifyOutcome outcome) noexcept {
    switch (outcome) {
        case TVerifyOutcome::Verified: return "Verified";
        case TVerifyOutcome::ChecksumMismatch: return "ChecksumMismatch";
        case TVerifyOutcome::NotDecompressed: return "NotDecompressed";
        case TVerifyOutcome::TooLarge: return "TooLarge";
        case TVerifyOutcome::EngineError: return "EngineError";
    }
    return "";
}

}  // namespace vistrel
