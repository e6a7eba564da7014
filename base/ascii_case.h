// Names of protocols and formats (HTTP header names, "localhost", the
// settings file's "dword:") compare without regard to case, and only for
// the ASCII letters: the C library's tolower follows the locale, which the
// window's toolkit sets from the environment.
#pragma once

#include <string_view>

namespace vistrel {

constexpr char AsciiLower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::string_view::size_type i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

constexpr bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

}  // namespace vistrel
