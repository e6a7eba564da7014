#include "client/progress_bar.h"

namespace vistrel::client {

namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(5);
constexpr int kBarWidth = 30;

}  // namespace

std::string FormatBytes(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

TProgressBar::TProgressBar(std::FILE* out, bool terminal)
    : out_(out), terminal_(terminal), start_(TClock::now()), last_(start_) {}

void TProgressBar::Update(size_t done, size_t total, uint64_t bytes) {
    const TClock::time_point now = TClock::now();
    if (now - last_ < (terminal_ ? TClock::duration(kTerminalInterval) : TClock::duration(kLineInterval))) return;
    last_ = now;
    Draw(done, total, bytes);
}

void TProgressBar::Finish(size_t done, size_t total, uint64_t bytes) {
    if (!terminal_) return;
    Draw(done, total, bytes);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void TProgressBar::Draw(size_t done, size_t total, uint64_t bytes) {
    const double seconds = std::chrono::duration<double>(TClock::now() - start_).count();
    const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    if (terminal_) {
        std::string bar(kBarWidth, ' ');
        const int filled = static_cast<int>(share * kBarWidth);
        for (int i = 0; i < filled && i < kBarWidth; ++i) bar[static_cast<size_t>(i)] = '#';
        // The line is cleared to its end (ESC [ K): a shorter line leaves nothing behind.
        std::fprintf(out_, "\r[%s] %3d%%  %zu/%zu packets  %s  %.1f s\x1b[K", bar.c_str(),
                     static_cast<int>(share * 100), done, total, FormatBytes(bytes).c_str(), seconds);
    } else {
        std::fprintf(out_, "%zu/%zu packets (%d%%), %s, %.0f s\n", done, total, static_cast<int>(share * 100),
                     FormatBytes(bytes).c_str(), seconds);
    }
    std::fflush(out_);
}

}  // namespace vistrel::client
