#pragma once
// The framework's exception classes. Every exception the components raise
// derives from host::Exception, whose Message() is the text shown to the user.

#include <stdexcept>
#include <string>

namespace host {

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// Raised by text-to-number conversions; message "'<text>' is not a valid integer value".
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

} // namespace host
