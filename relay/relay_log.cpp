#include "relay/relay_log.h"

#include "console/console_lists.h"

namespace vistrel {

void TRelayLog::Line(std::string_view text) {
    std::string line = FormatLogTimestamp(std::time(nullptr));
    line += EscapeControlCharacters(text);
    ++line_count_;
    lines_.Append(std::move(line));
}

void TRelayLog::DebugLine(std::string_view text) {
    if (!debug_line_sink_) return;
    debug_line_sink_(FormatLogTimestamp(std::time(nullptr)) + EscapeControlCharacters(text));
}

std::string FormatLogTimestamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S ", &local);
    return text;
}

std::string_view WithoutLogTimestamp(std::string_view line) {
    static constexpr std::string_view kPattern = "0000/00/00 00:00:00 ";
    if (line.size() < kPattern.size()) return line;
    for (size_t i = 0; i < kPattern.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kPattern[i] == '0' ? !digit : line[i] != kPattern[i]) return line;
    }
    return line.substr(kPattern.size());
}

std::string EscapeControlCharacters(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        // C0, DEL and C1: a terminal reading the log as UTF-8 or Latin-1
        // would act on any of them (0x9B is a CSI).
        if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace vistrel
