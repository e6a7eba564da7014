#include "base/exception.h"

#include <new>

namespace vistrel {

std::string ExceptionClassName(const std::exception& e) {
    if (auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
    return "Exception";
}

std::string DescribeException(const std::exception& e) {
    return ExceptionClassName(e) + ": " + e.what();
}

}  // namespace vistrel
