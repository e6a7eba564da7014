// Numbers taken from a request's path (a game's or a viewer's id, a segment's
// number): a whole decimal text, nothing before or after it.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>

namespace vistrel {

// The decimal text as a number in 0..max; false (value unchanged) for
// anything else: empty, signed, padded, too long, or above max.
inline bool ParsePathNumber(std::string_view text, int64_t max, int64_t& value) noexcept {
    if (text.empty() || text.size() > 19) return false;
    int64_t v = 0;
    const auto [at, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || at != text.data() + text.size() || v < 0 || v > max) return false;
    value = v;
    return true;
}

}  // namespace vistrel
