// TBufferHolders: connections the relay's two servers do not hold whose
// output counts in the same connection buffers budget (the HTTP side's
// answers). The budget's accounting (TConnectionInput) adds what they hold
// and, over the budget, closes the largest holder of all, theirs or its own.
#pragma once

#include <cstddef>
#include <string>

namespace vistrel {

class TBufferHolders {
public:
    virtual ~TBufferHolders() = default;
    // What they hold together, kept as a running total.
    virtual size_t HeldBytes() const noexcept = 0;
    // What the one holding the most holds (0 when none holds anything), and
    // how a log line names it.
    virtual size_t LargestHolder(std::string& who) const = 0;
    // Closes that one at once: its bytes leave HeldBytes() before it returns.
    virtual void CloseLargestHolder() = 0;
};

}  // namespace vistrel
