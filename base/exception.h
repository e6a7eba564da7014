// Base of every error this program raises on purpose. Log lines print an error
// as "<class name>: <message>" ("ESocketException: Error 10057 in function
// Send..."), so each error carries the class name it is reported under.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace vistrel {

class Exception : public std::runtime_error {
public:
    Exception(std::string className, const std::string& message)
        : std::runtime_error(message), class_name_(std::move(className)) {}

    const std::string& ClassName() const noexcept { return class_name_; }

private:
    std::string class_name_;
};

// The class name under which any caught error is reported: ours carry it,
// an allocation failure is "EOutOfMemory", anything else "Exception".
std::string ExceptionClassName(const std::exception& e);

// "<class name>: <message>", the form every error log line uses.
std::string DescribeException(const std::exception& e);

}  // namespace vistrel
