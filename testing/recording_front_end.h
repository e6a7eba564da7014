// TRecordingFrontEnd: the frame's front end for tests and load programs. It
// shows nothing; it records each call the frame makes ("intro", "expand")
// and each reported error as "<class name>: <message>", and can also pass
// an error on the moment it is reported.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "relay/main_form.h"

namespace vistrel::testing {

class TRecordingFrontEnd : public TFrontEnd {
public:
    using TErrorEcho = std::function<void(const std::string& error)>;

    TRecordingFrontEnd() = default;
    explicit TRecordingFrontEnd(TErrorEcho echo) : echo_(std::move(echo)) {}

    void ShowIntroPage() override;
    void ExpandOptionTree() override;
    void ReportError(const std::exception& e) override;

    std::vector<std::string> Calls;
    std::vector<std::string> Errors;

private:
    TErrorEcho echo_;
};

}  // namespace vistrel::testing
