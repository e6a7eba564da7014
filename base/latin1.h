// Texts from the network are 8-bit Latin-1, as the clients send them; a
// terminal, a JSON answer or a browser wants UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace vistrel {

// Each byte as the Latin-1 character it stands for, written as UTF-8.
std::string Latin1ToUtf8(std::string_view text);

}  // namespace vistrel
