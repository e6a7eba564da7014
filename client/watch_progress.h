// TWatchProgress: what vistrel-watch shows while it records, and when it has
// caught up. On a terminal one line redrawn in place at most ten times a
// second (packets, bytes, the next location, catching up or caught up);
// elsewhere a plain line every few seconds and one when it catches up.
//
// The viewer port never says how many packets a game holds, but a relay
// sends a viewer that is behind one packet every tick (500 ms), so three
// ticks without one mean the relay has sent all it may show now. Two of the
// relay's notices are taken as well: "You are watching the game live now"
// (with catch-up on) says so at once, and a broadcast delay's "the game
// starts in N s" says nothing can come before then.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace vistrel::client {

class TWatchProgress {
public:
    using TClock = std::chrono::steady_clock;

    // The quiet that means caught up: three of the relay's ticks.
    static constexpr TClock::duration kQuiet = std::chrono::milliseconds(1500);

    // terminal: redraw in place; otherwise plain lines. now: when the
    // game's description arrived, from which the quiet is counted.
    TWatchProgress(std::FILE* out, bool terminal, TClock::time_point now);

    // A packet was written for location; packets and bytes are the file's totals.
    void Packet(int32_t location, size_t packets, uint64_t bytes, TClock::time_point now);
    // How many locations of the game viewers may see now, where the relay's
    // HTTP API said (vistrel-watch --api); shown beside the next location.
    void Visible(int32_t locations) noexcept { visible_ = locations; }
    // A SENDTEXT from the relay itself (its name slot empty).
    void Notice(std::string_view text, TClock::time_point now);
    // After every wait: notes a quiet long enough and redraws when due.
    void Tick(TClock::time_point now);
    // Ends the line on a terminal, so the summary starts on its own.
    void Finish(TClock::time_point now);

    bool CaughtUp() const noexcept { return caught_up_; }

private:
    void Draw(TClock::time_point now);
    // "next location 4", or "next location 4 of 9" once the API said.
    std::string Where() const;

    std::FILE* out_;
    bool terminal_;
    TClock::time_point start_;
    TClock::time_point last_packet_;
    TClock::time_point last_draw_;
    // A broadcast delay's start: not caught up before it.
    TClock::time_point not_before_;
    bool caught_up_ = false;
    int32_t next_location_ = 0;
    int32_t visible_ = -1;  // unknown
    size_t packets_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace vistrel::client
