#include "testing/recording_front_end.h"

#include "base/exception.h"

namespace vistrel::testing {

void TRecordingFrontEnd::ShowIntroPage() { Calls.push_back("intro"); }

void TRecordingFrontEnd::ExpandOptionTree() { Calls.push_back("expand"); }

void TRecordingFrontEnd::ReportError(const std::exception& e) {
    Errors.push_back(DescribeException(e));
    if (echo_) echo_(Errors.back());
}

}  // namespace vistrel::testing
