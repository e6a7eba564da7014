// Whole numbers read from text a person, a file or a peer wrote: the text is
// the number and nothing else, so "12 ", "+12", "0x1F", "" and "1e3" are not
// numbers, and one too large for its type is not read as something else.
#pragma once

#include <charconv>
#include <concepts>
#include <limits>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace vistrel {

// The decimal text as a number in min..max, a leading '-' only where min
// is negative (so "-0" is no count); false, with value unchanged, for
// anything else.
template <std::integral TInt>
bool ParseWholeNumber(std::string_view text, TInt& value,
                      std::type_identity_t<TInt> min = std::numeric_limits<TInt>::min(),
                      std::type_identity_t<TInt> max = std::numeric_limits<TInt>::max()) noexcept {
    if (text.empty() || (text.front() == '-' && std::cmp_greater_equal(min, 0))) return false;
    TInt parsed{};
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, parsed);
    if (ec != std::errc() || at != end || parsed < min || parsed > max) return false;
    value = parsed;
    return true;
}

// The hexadecimal text (digits and either case of a-f, no "0x") as a
// number; false, with value unchanged, for anything else or on overflow.
template <std::unsigned_integral TInt>
bool ParseHexNumber(std::string_view text, TInt& value) noexcept {
    if (text.empty()) return false;
    TInt parsed{};
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, parsed, 16);
    if (ec != std::errc() || at != end) return false;
    value = parsed;
    return true;
}

}  // namespace vistrel
