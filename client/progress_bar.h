// TProgressBar: how far a long job has come, on stderr. On a terminal a bar
// redrawn in place (carriage return) at most ten times a second; elsewhere
// (a log file, a pipe) a plain line every few seconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vistrel::client {

// 1536 -> "1.5 KiB"; below 1 KiB the plain count of bytes.
std::string FormatBytes(uint64_t bytes);

class TProgressBar {
public:
    using TClock = std::chrono::steady_clock;

    // terminal: draw a bar in place; otherwise plain lines.
    TProgressBar(std::FILE* out, bool terminal);

    // done of total, with the bytes so far; shown if its time has come.
    void Update(size_t done, size_t total, uint64_t bytes);
    // Ends the bar's line on a terminal (after drawing the last state), so
    // what is printed next starts on a line of its own.
    void Finish(size_t done, size_t total, uint64_t bytes);

private:
    void Draw(size_t done, size_t total, uint64_t bytes);

    std::FILE* out_;
    bool terminal_;
    TClock::time_point start_;
    TClock::time_point last_;
};

}  // namespace vistrel::client
