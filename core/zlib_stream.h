// TZLib: runs a zlib inflate engine over an input byte range and keeps a
// CRC-32 of everything it produces. The run loop (`Execute`) decides, by its
// own stop rules, whether the whole input was read and consumed; the payload
// verification builds its outcomes on that answer, so the loop's semantics
// are part of the protocol. Owns its engine and output buffer; the input is
// a view the caller keeps alive for the run. One engine can be reused for
// many runs (Restart), which is what the verification does.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/exception.h"

namespace vistrel {

// "Error in Archiving Routines: " + the text of the result code.
class EZLibException : public Exception {
public:
    explicit EZLibException(std::string_view codeText);
};

// A result code of our own, next to zlib's (which end at -6): Execute was
// called without an input. Its text is "No Input Stream".
inline constexpr int kZNoInputStream = -7;

// Text of a zlib result code (2 .. -7); empty for Z_OK and unknown codes.
std::string_view ZLibResultText(int code) noexcept;

enum class TZLibMode { None, Decompress };

class TZLib {
public:
    // Piece size of the run, both for input and for output.
    static constexpr uint32_t kPieceSize = 65535;

    using TProgressEvent =
        std::function<void(TZLib& sender, int32_t totalIn, int32_t totalOut, int32_t currentIn, int32_t currentOut)>;

    TZLib();
    ~TZLib();
    TZLib(const TZLib&) = delete;
    TZLib& operator=(const TZLib&) = delete;

    // The input of the next run (InStream). Not copied: it must outlive Execute.
    void SetInput(std::string_view input) { input_ = input; }
    void ClearInput() { input_.reset(); }
    // Where produced bytes are appended (OutStream); nullptr: only the CRC is kept.
    void SetOutput(std::string* output) { output_ = output; }
    // The most output a run may produce: once a run has produced more, it
    // stops there, unfinished, with OutputLimitExceeded set. The engine
    // works at most one piece past the limit. Default: no limit.
    void SetOutputLimit(uint64_t bytes) { output_limit_ = bytes; }
    uint64_t OutputLimit() const noexcept { return output_limit_; }

    TZLibMode Mode() const noexcept { return mode_; }
    // Leaving Decompress ends the engine; entering it starts a fresh one
    // (Crc and counters 0, output emptied). Same mode: nothing happens.
    void SetMode(TZLibMode mode);
    // In Decompress: back to the state SetMode(Decompress) gives, reusing
    // the engine's memory. In None: starts the engine.
    void Restart();

    // Runs the engine over the whole input (its stop rules are listed in
    // zlib_stream.cpp). Returns Finished. Throws EZLibException for a
    // negative result code. CurrentOut is what the run produced, also after
    // an error.
    bool Execute(bool finish);

    uint32_t Crc() const noexcept { return crc_; }
    const std::string& ErrorText() const noexcept { return error_text_; }
    bool LastOK() const noexcept { return last_ok_; }
    bool Finished() const noexcept { return finished_; }
    // The last run stopped because it produced more than OutputLimit.
    bool OutputLimitExceeded() const noexcept { return limit_exceeded_; }
    int32_t CurrentIn() const noexcept { return current_in_; }
    int32_t CurrentOut() const noexcept { return current_out_; }
    int32_t TotalIn() const noexcept;
    int32_t TotalOut() const noexcept;

    TProgressEvent OnProgress;

private:
    struct Engine;
    int CheckResult(int code);
    void EndEngine();
    void FireProgress();
    void Emit(const char* data, size_t size);

    std::unique_ptr<Engine> engine_;
    TZLibMode mode_ = TZLibMode::None;
    std::optional<std::string_view> input_;
    std::string* output_ = nullptr;
    uint32_t crc_ = 0;
    std::string error_text_;
    bool last_ok_ = false;
    bool finished_ = false;
    bool limit_exceeded_ = false;
    uint64_t output_limit_ = UINT64_MAX;
    int32_t current_in_ = 0;
    int32_t current_out_ = 0;
};

}  // namespace vistrel
