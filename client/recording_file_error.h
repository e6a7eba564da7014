// ERecordingFileError: a recording file that cannot be opened, read or
// written, or a file that is not a recording.
#pragma once

#include <string>

#include "base/exception.h"

namespace vistrel::client {

class ERecordingFileError : public Exception {
public:
    explicit ERecordingFileError(const std::string& message) : Exception("ERecordingFileError", message) {}
};

}  // namespace vistrel::client
