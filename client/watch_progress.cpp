#include "client/watch_progress.h"

#include <algorithm>
#include <string>

#include "base/whole_number.h"
#include "client/progress_bar.h"

namespace vistrel::client {

namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(100);
constexpr auto kLineInterval = std::chrono::seconds(5);
// The relay's notices, as it words them (relay/catch_up.cpp, relay/broadcast_delay.cpp).
constexpr std::string_view kLiveNotice = "You are watching the game live now";
constexpr std::string_view kDelayStarts = "the game starts in ";

}  // namespace

TWatchProgress::TWatchProgress(std::FILE* out, bool terminal, TClock::time_point now)
    : out_(out), terminal_(terminal), start_(now), last_packet_(now), last_draw_(now), not_before_(now) {}

void TWatchProgress::Packet(int32_t location, size_t packets, uint64_t bytes, TClock::time_point now) {
    last_packet_ = now;
    next_location_ = std::max(next_location_, location + 1);
    packets_ = packets;
    bytes_ = bytes;
}

void TWatchProgress::Notice(std::string_view text, TClock::time_point now) {
    if (text == kLiveNotice) {
        not_before_ = now;
        last_packet_ = now - kQuiet;
        return;
    }
    const size_t at = text.find(kDelayStarts);
    if (at == std::string_view::npos) return;
    std::string_view seconds = text.substr(at + kDelayStarts.size());
    seconds = seconds.substr(0, seconds.find(' '));
    uint32_t wait = 0;
    // At most the longest delay a relay holds (an hour), whatever it says.
    if (ParseWholeNumber(seconds, wait, 0, 3600)) not_before_ = std::max(not_before_, now + std::chrono::seconds(wait));
}

void TWatchProgress::Tick(TClock::time_point now) {
    if (!caught_up_ && now >= not_before_ && now - last_packet_ >= kQuiet) {
        caught_up_ = true;
        if (!terminal_) {
            std::fprintf(out_, "caught up: %zu packets, %s, %s\n", packets_, FormatBytes(bytes_).c_str(),
                         Where().c_str());
            std::fflush(out_);
            last_draw_ = now;
            return;
        }
        Draw(now);
        return;
    }
    if (now - last_draw_ < (terminal_ ? TClock::duration(kTerminalInterval) : TClock::duration(kLineInterval))) return;
    Draw(now);
}

void TWatchProgress::Finish(TClock::time_point now) {
    if (!terminal_) return;
    Draw(now);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void TWatchProgress::Draw(TClock::time_point now) {
    last_draw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const char* state = caught_up_ ? "caught up" : "catching up";
    if (terminal_) {
        // The line is cleared to its end (ESC [ K): a shorter line leaves nothing behind.
        std::fprintf(out_, "\r%zu packets  %s  %s  %s  %.1f s\x1b[K", packets_, FormatBytes(bytes_).c_str(),
                     Where().c_str(), state, seconds);
    } else {
        std::fprintf(out_, "%zu packets, %s, %s, %s, %.0f s\n", packets_, FormatBytes(bytes_).c_str(), Where().c_str(),
                     state, seconds);
    }
    std::fflush(out_);
}

std::string TWatchProgress::Where() const {
    std::string where = "next location " + std::to_string(next_location_);
    if (visible_ >= 0) where += " of " + std::to_string(visible_);
    return where;
}

}  // namespace vistrel::client
