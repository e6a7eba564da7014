// TLogStream: the server log as Server-Sent Events, for one HTTP connection.
// Each log line is one event whose id is the line's sequence number (its
// place in the log, from 1) and whose data is the line as UTF-8. The stream
// reads the log when the connection can take more, so it holds at most one
// block of text of its own however far behind its reader is; with nothing
// new it parks the connection until the log grows (or a keep-alive comment
// is due, which finds readers that have gone). Made by TWebApi for
// /api/v1/log/stream and owned by the response sending it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/event_loop.h"
#include "console/console_lists.h"
#include "web/http_server.h"

namespace vistrel {

// What an event stream has pending, at most max bytes of it into buf, or a
// keep-alive comment when nothing has gone out for keepAlive (so proxies
// keep the connection); 0 when there is nothing to send yet.
std::ptrdiff_t SendPendingEvents(std::string& pending, char* buf, size_t max, TEventLoop::Clock::time_point now,
                                 TEventLoop::Clock::time_point& lastSent, std::chrono::seconds keepAlive);

class TLogStream : public THttpStream {
public:
    static constexpr std::chrono::seconds kKeepAlive{15};

    // Sends the lines after sequence number `after` (0: the whole log).
    TLogStream(const TLogLines& log, int64_t after, TEventLoop& loop);

    std::ptrdiff_t Read(char* buf, size_t max) override;

private:
    const TLogLines& log_;
    TEventLoop& loop_;
    int64_t next_;  // sequence number of the next line to send
    std::string pending_;
    bool greeted_ = false;
    TEventLoop::Clock::time_point last_sent_;
};

// "id: N\ndata: TEXT\n\n" for log line N (text as UTF-8).
std::string LogEvent(int64_t seq, const std::string& line);

}  // namespace vistrel
