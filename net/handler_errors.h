// THandlerErrors: the errors the socket layer catches and goes on after
// without handing them to a background-error handler (a data handler that
// throws, a failing error handler, a flush that fails while closing). Each is
// counted, and described to a sink that the owner may log at debug level, so
// none is lost without a trace. Owned by a TWSocketServer for itself and its
// connections; net/ knows no log, the owner decides what a description
// becomes.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string_view>

namespace vistrel {

class THandlerErrors {
public:
    using TSink = std::function<void(std::string_view description)>;

    // sink is read at each error (it may be set or changed at any time) and
    // must outlive this object.
    explicit THandlerErrors(const TSink& sink) : sink_(sink) {}

    // Errors noted since the start, reported or not.
    uint64_t Count() const { return count_; }

    // Counts an error caught in step ("OnDataAvailable", ...); e is null for
    // an exception of no standard type. The sink hears "<step> (socket N):
    // <class name>: <message>" unless report is false (a socket being
    // destroyed, whose owner may be half gone). Never throws: a failing sink
    // counts once more and is not heard again for that error.
    void Note(std::string_view step, int socket, const std::exception* e, bool report = true) noexcept;

private:
    const TSink& sink_;
    uint64_t count_ = 0;
};

}  // namespace vistrel
