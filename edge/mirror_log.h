// TMirrorLog: the edge's lines in the server log. Lines about the mirror as
// a whole (where from, the origin's outages) always go out; lines about one
// game or one segment are paced, since an origin listing thousands of games,
// or refusing segment after segment, would otherwise fill the log (and the
// log's line numbers) as fast as it can answer. Past the pace they are
// counted, and the count is told with the next line that goes out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/event_loop.h"
#include "relay/game_host.h"
#include "relay/token_bucket.h"

namespace vistrel {

class TMirrorLog {
public:
    TMirrorLog(TGameHost& host, TEventLoop& loop) : host_(host), loop_(loop) {}

    // A line about the mirror as a whole.
    void Line(std::string_view text);
    // A line about one game or one segment: 50 at once, then 5 a second.
    void Paced(std::string_view text);
    // Tells the lines left out, if the pace allows a line now (so a count
    // is told even when no paced line follows).
    void TellLeftOutWhenDue();
    uint64_t LeftOut() const noexcept { return left_out_total_; }

private:
    void TellLeftOut();

    TGameHost& host_;
    TEventLoop& loop_;
    TTokenBucket pace_;
    uint64_t left_out_ = 0;
    uint64_t left_out_total_ = 0;
};

}  // namespace vistrel
