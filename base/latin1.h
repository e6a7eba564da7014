// Texts from the network are 8-bit Latin-1, as the clients send them; a
// terminal, a JSON answer or a browser wants UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vistrel {

// Each byte as the Latin-1 character it stands for, written as UTF-8.
std::string Latin1ToUtf8(std::string_view text);

// UTF-8 text (as the JSON API gives names) back to the Latin-1 bytes the
// clients use. A character beyond Latin-1 becomes '?', and so does each
// byte that does not start a well-formed character (overlong forms,
// surrogates and stray continuation bytes included), so no byte of a
// malformed text reaches a client as something it did not say.
std::string Utf8ToLatin1(std::string_view text);

// Whether the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing beyond U+10FFFF).
bool IsValidUtf8(std::string_view text) noexcept;

}  // namespace vistrel
