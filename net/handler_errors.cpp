#include "net/handler_errors.h"

#include <string>

#include "base/exception.h"

namespace vistrel {

void THandlerErrors::Note(std::string_view step, int socket, const std::exception* e, bool report) noexcept {
    ++count_;
    if (!report || !sink_) return;
    try {
        std::string description(step);
        description += " (socket " + std::to_string(socket) + "): ";
        description += e ? DescribeException(*e) : std::string("Exception: Unknown exception");
        sink_(description);
    } catch (...) {
        // The sink is the last resort; its own failure can only be counted.
        ++count_;
    }
}

}  // namespace vistrel
