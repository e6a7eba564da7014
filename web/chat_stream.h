// TChatStream: the relay's chat lines (TChatRing) as Server-Sent Events, for
// one HTTP connection, as TLogStream sends the log: each line one event whose
// id is its sequence number and whose data is the line as one JSON object
// (ChatLineJson), read from the ring only when the connection can take more,
// parked while there is nothing new. Each stream holds one of a bounded
// number of places (TWebApi::kMaxChatStreams): the count it is given is
// raised while it lives.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "net/event_loop.h"
#include "relay/chat_ring.h"
#include "web/http_server.h"

namespace vistrel {

class TChatStream : public THttpStream {
public:
    static constexpr std::chrono::seconds kKeepAlive{15};

    // Sends the lines after sequence number `after` (0: all those kept).
    TChatStream(const TChatRing& chat, int64_t after, TEventLoop& loop, std::shared_ptr<int> open);
    ~TChatStream() override;
    TChatStream(const TChatStream&) = delete;
    TChatStream& operator=(const TChatStream&) = delete;

    std::ptrdiff_t Read(char* buf, size_t max) override;

private:
    const TChatRing& chat_;
    TEventLoop& loop_;
    std::shared_ptr<int> open_;
    int64_t next_;
    std::string pending_;
    bool greeted_ = false;
    TEventLoop::Clock::time_point last_sent_;
};

// One line as the API gives it: seq, from ("viewer" or "camera"), viewer (its
// id, null for a camera), game (null for the viewers of no game), name and
// text (as UTF-8, each byte taken as Latin-1), time_ms.
std::string ChatLineJson(const TChatLine& line);
// GET /api/v1/chat: at most `max` lines after sequence number `after`, with
// next, last and more as GET /api/v1/log gives them.
std::string ChatJson(const TChatRing& chat, int64_t after, int32_t max);

}  // namespace vistrel
