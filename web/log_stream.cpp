#include "web/log_stream.h"

#include <algorithm>
#include <cstring>

#include "base/latin1.h"

namespace vistrel {

std::string LogEvent(int64_t seq, const std::string& line) {
    // Log lines hold no line breaks (control characters are written escaped).
    return "id: " + std::to_string(seq) + "\ndata: " + Latin1ToUtf8(line) + "\n\n";
}

TLogStream::TLogStream(const TLogLines& log, int64_t after, TEventLoop& loop)
    : log_(log), loop_(loop), next_(std::clamp<int64_t>(after, 0, log.Count()) + 1), last_sent_(loop.Now()) {}

std::ptrdiff_t SendPendingEvents(std::string& pending, char* buf, size_t max, TEventLoop::Clock::time_point now,
                                 TEventLoop::Clock::time_point& lastSent, std::chrono::seconds keepAlive) {
    if (pending.empty() && now - lastSent >= keepAlive) pending = ": keep-alive\n\n";
    if (pending.empty()) return 0;
    const size_t n = std::min(max, pending.size());
    std::memcpy(buf, pending.data(), n);
    pending.erase(0, n);
    lastSent = now;
    return static_cast<std::ptrdiff_t>(n);
}

std::ptrdiff_t TLogStream::Read(char* buf, size_t max) {
    if (!greeted_) {
        // How long a browser waits before reconnecting after a drop.
        pending_ = "retry: 2000\n\n";
        greeted_ = true;
    }
    // A reader that fell behind the lines kept goes on from the oldest kept.
    next_ = std::max(next_, log_.First() + 1);
    while (pending_.size() < max && next_ <= log_.Count()) {
        pending_ += LogEvent(next_, log_.Line(next_ - 1));
        ++next_;
    }
    return SendPendingEvents(pending_, buf, max, loop_.Now(), last_sent_, kKeepAlive);
}

}  // namespace vistrel
