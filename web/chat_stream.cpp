#include "web/chat_stream.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "base/latin1.h"
#include "web/log_stream.h"

namespace vistrel {

namespace {

using nlohmann::json;

json LineObject(const TChatLine& line) {
    const bool camera = line.From == TChatOrigin::Camera;
    return json{{"seq", line.Seq},
                {"from", camera ? "camera" : "viewer"},
                {"viewer", camera ? json(nullptr) : json(line.ViewerId)},
                {"game", line.GameId == 0 ? json(nullptr) : json(line.GameId)},
                {"name", Latin1ToUtf8(line.Name)},
                {"text", Latin1ToUtf8(line.Text)},
                {"time_ms", line.TimeMs}};
}

}  // namespace

std::string ChatLineJson(const TChatLine& line) { return LineObject(line).dump(); }

std::string ChatJson(const TChatRing& chat, int64_t after, int32_t max) {
    const int64_t count = chat.Count();
    // Lines older than those kept are gone: the page goes on from the oldest kept.
    const int64_t first = std::max(std::min(after, count), chat.First()) + 1;
    const int64_t last = std::min(count, first + max - 1);
    json lines = json::array();
    for (int64_t seq = first; seq <= last; ++seq) lines.push_back(LineObject(chat.Line(seq)));
    return json{{"lines", std::move(lines)},
                {"next", std::max<int64_t>(last, std::min(after, count))},
                {"last", count},
                {"more", last < count}}
        .dump();
}

TChatStream::TChatStream(const TChatRing& chat, int64_t after, TEventLoop& loop, std::shared_ptr<int> open)
    : chat_(chat),
      loop_(loop),
      open_(std::move(open)),
      next_(std::clamp<int64_t>(after, 0, chat.Count()) + 1),
      last_sent_(loop.Now()) {
    ++*open_;
}

TChatStream::~TChatStream() { --*open_; }

std::ptrdiff_t TChatStream::Read(char* buf, size_t max) {
    if (!greeted_) {
        pending_ = "retry: 2000\n\n";
        greeted_ = true;
    }
    next_ = std::max(next_, chat_.First() + 1);
    while (pending_.size() < max && next_ <= chat_.Count()) {
        // The JSON holds no line break: a control character is written escaped.
        pending_ += "id: " + std::to_string(next_) + "\ndata: " + ChatLineJson(chat_.Line(next_)) + "\n\n";
        ++next_;
    }
    return SendPendingEvents(pending_, buf, max, loop_.Now(), last_sent_, kKeepAlive);
}

}  // namespace vistrel
