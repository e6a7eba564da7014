// The operator page served at "/": one self-contained HTML page (its styles
// and script inline, nothing fetched from elsewhere) that shows the games
// list, the user list and the live server log through the JSON API, with
// Halt, Delete and Kick buttons that ask for the remote admin password once
// per browser session. Its text is web/operator_page.html, built into the
// program.
#pragma once

#include <string_view>

namespace vistrel {

std::string_view OperatorPageHtml() noexcept;

}  // namespace vistrel
