#include "core/zlib_stream.h"

#include <zlib.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "core/crc32.h"

namespace vistrel {

namespace {

constexpr std::string_view kErrorPrefix = "Error in Archiving Routines: ";

}  // namespace

EZLibException::EZLibException(std::string_view codeText)
    : Exception("EZLibException", std::string(kErrorPrefix) + std::string(codeText)) {}

std::string_view ZLibResultText(int code) noexcept {
    switch (code) {
        case Z_NEED_DICT: return "ZLib Needs Dictionary";
        case Z_STREAM_END: return "ZLib Stream End";
        case Z_OK: return "";
        case Z_ERRNO: return "ZLib File Missing, or Corrupt";
        case Z_STREAM_ERROR: return "ZLib Stream Fault";
        case Z_DATA_ERROR: return "ZLib Invalid Data";
        case Z_MEM_ERROR: return "ZLib Insufficient Memory Report";
        case Z_BUF_ERROR: return "ZLib Buffer Fault";
        case Z_VERSION_ERROR: return "ZLib Version Conflict";
        case kZNoInputStream: return "No Input Stream";
        default: return "";
    }
}

// The engine and the output piece buffer, kept across runs so that a reused
// TZLib neither re-initialises zlib nor re-allocates its window.
struct TZLib::Engine {
    z_stream Stream{};
    bool Started = false;
    std::vector<unsigned char> Out = std::vector<unsigned char>(kPieceSize);
};

TZLib::TZLib() : engine_(std::make_unique<Engine>()) {}

TZLib::~TZLib() {
    if (engine_->Started) inflateEnd(&engine_->Stream);
}

int32_t TZLib::TotalIn() const noexcept { return static_cast<int32_t>(engine_->Stream.total_in); }
int32_t TZLib::TotalOut() const noexcept { return static_cast<int32_t>(engine_->Stream.total_out); }

int TZLib::CheckResult(int code) {
    error_text_ = std::string(ZLibResultText(code));
    last_ok_ = (code == Z_OK);
    if (code < 0) throw EZLibException(error_text_);
    return code;
}

void TZLib::EndEngine() {
    if (!engine_->Started) return;
    engine_->Started = false;
    CheckResult(inflateEnd(&engine_->Stream));
}

void TZLib::SetMode(TZLibMode mode) {
    if (mode == mode_) return;
    if (mode_ == TZLibMode::Decompress) {
        mode_ = TZLibMode::None;  // the engine is gone even if ending it reports an error
        EndEngine();
    }
    if (mode == TZLibMode::Decompress) {
        engine_->Stream = z_stream{};
        crc_ = 0;
        current_in_ = 0;
        current_out_ = 0;
        finished_ = false;
        CheckResult(inflateInit(&engine_->Stream));
        engine_->Started = true;
        if (output_) output_->clear();
    }
    mode_ = mode;
}

void TZLib::Restart() {
    if (mode_ != TZLibMode::Decompress) {
        SetMode(TZLibMode::Decompress);
        return;
    }
    z_stream& s = engine_->Stream;
    s.next_in = nullptr;
    s.avail_in = 0;
    crc_ = 0;
    current_in_ = 0;
    current_out_ = 0;
    finished_ = false;
    CheckResult(inflateReset(&s));
    if (output_) output_->clear();
}

void TZLib::FireProgress() {
    if (OnProgress) OnProgress(*this, TotalIn(), TotalOut(), current_in_, current_out_);
}

void TZLib::Emit(const char* data, size_t size) {
    crc_ = Crc32(crc_, std::string_view(data, size));
    if (output_) output_->append(data, size);
}

// The run loop. Its stop rules decide which uploaded packets the relay
// acknowledges and stores and which it refuses, so a sender must meet the
// same rules from every version of the relay; that is why they stay as they
// are, even those a plain inflate loop would not have:
//  - the input is handed over in pieces of at most kPieceSize bytes, the next
//    piece only once the engine has consumed the previous one; all-read turns
//    true when the last piece is handed over (no empty read after it);
//  - output is folded into the CRC when the piece buffer is full, or, once
//    all input has been handed over, after every call;
//  - the run ends as soon as all input is handed over and consumed, even if
//    the engine could still produce output from bits it holds;
//  - a stream end or a dictionary request before the last piece ends the run
//    unfinished; a stream end with input left over ends it unfinished too;
//  - a call after a dictionary request counts as a stream error;
//  - a run that has produced more than the output limit ends unfinished,
//    whatever input is left.
bool TZLib::Execute(bool /*finish: compression only*/) {
    if (!input_) CheckResult(kZNoInputStream);
    if (mode_ != TZLibMode::Decompress) CheckResult(Z_STREAM_ERROR);

    z_stream& s = engine_->Stream;
    const std::string_view in = *input_;
    const uLong startOut = s.total_out;
    char* const buffer = reinterpret_cast<char*>(engine_->Out.data());
    size_t pos = 0;
    bool allRead = false;
    bool leftOver = false;
    bool afterNeedDict = false;

    s.next_in = nullptr;
    s.avail_in = 0;
    s.next_out = engine_->Out.data();
    s.avail_out = kPieceSize;
    finished_ = false;
    limit_exceeded_ = false;

    auto finish = [&] {
        current_in_ = static_cast<int32_t>(in.size());
        current_out_ = static_cast<int32_t>(s.total_out - startOut);
        FireProgress();
    };

    try {
        for (;;) {
            if (!allRead && s.avail_in == 0) {
                const size_t n = std::min<size_t>(kPieceSize, in.size() - pos);
                // zlib never writes through next_in.
                s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data() + pos));
                s.avail_in = static_cast<uInt>(n);
                pos += n;
                allRead = (pos == in.size());
                current_in_ = static_cast<int32_t>(pos);
            }

            int code = afterNeedDict ? Z_STREAM_ERROR : inflate(&s, leftOver ? Z_SYNC_FLUSH : Z_NO_FLUSH);
            afterNeedDict = (code == Z_NEED_DICT);
            CheckResult(code);
            FireProgress();

            finished_ = allRead;
            leftOver = allRead && s.avail_in > 0;

            const size_t filled = kPieceSize - s.avail_out;
            if (s.avail_out == 0 || finished_) {
                Emit(buffer, filled);
                s.next_out = engine_->Out.data();
                s.avail_out = kPieceSize;
            }
            current_out_ = static_cast<int32_t>(s.total_out - startOut);
            if (s.total_out - startOut > output_limit_) {
                finished_ = false;
                limit_exceeded_ = true;
                break;
            }

            if (finished_ && !leftOver) break;
            if (code != Z_OK && !finished_) break;
            if (code == Z_STREAM_END && leftOver) {
                finished_ = false;
                break;
            }
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return finished_;
}

}  // namespace vistrel
