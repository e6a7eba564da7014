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
#include <cstdint>
#include <string>

#include "console/console_lists.h"
#include "net/event_loop.h"
#include "web/http_server.h"

namespace vistrel {

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
