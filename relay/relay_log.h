// TRelayLog: the server log every part of the relay writes to. A line is
// "yyyy/mm/dd hh:mm:ss " + text, appended to the console's log lines (the
// window, the API and the daemon's stdout show them) and counted in the
// metrics. Debug lines are never kept: they go only to the debug line sink,
// and are built only while one is set.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace vistrel {

class TLogLines;

class TRelayLog {
public:
    // lineCount is the metrics' count of lines written.
    TRelayLog(TLogLines& lines, uint64_t& lineCount) : lines_(lines), line_count_(lineCount) {}

    // Control characters in text (C0, DEL, C1) are written escaped ("\x0A",
    // "\x9B"), so a text from the network can never start a line of its own
    // or steer the terminal showing it.
    void Line(std::string_view text);
    void DebugLine(std::string_view text);
    //   log.Debug([&] { return "Sent Viewer [" + name + "] ..."; });
    template <typename MakeText>
    void Debug(MakeText&& makeText) {
        if (debug_line_sink_) DebugLine(makeText());
    }
    bool DebugOn() const noexcept { return static_cast<bool>(debug_line_sink_); }
    // Receives debug lines (already timestamped); null turns them off.
    void SetDebugLineSink(std::function<void(const std::string& line)> sink) { debug_line_sink_ = std::move(sink); }

private:
    TLogLines& lines_;
    uint64_t& line_count_;
    std::function<void(const std::string& line)> debug_line_sink_;
};

// "yyyy/mm/dd hh:mm:ss " for the given local time.
std::string FormatLogTimestamp(std::time_t when);
// A log line's text after the "yyyy/mm/dd hh:mm:ss " it starts with; the
// whole line when it does not start with such a timestamp.
std::string_view WithoutLogTimestamp(std::string_view line);
// Control characters (C0, DEL and the C1 bytes 0x80-0x9F) as "\xHH";
// everything else unchanged.
std::string EscapeControlCharacters(std::string_view text);

}  // namespace vistrel
