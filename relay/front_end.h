// TFrontEnd: what the relay frame needs from whichever program shows it. The
// daemon answers on stderr, the window with Qt.
#pragma once

#include <exception>

namespace vistrel {

class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;
    virtual void ShowIntroPage() {}
    virtual void ExpandOptionTree() {}
    // The program's general error report, used for start-up, timer ticks and
    // operator commands. The program goes on afterwards.
    virtual void ReportError(const std::exception& e) = 0;
};

}  // namespace vistrel
