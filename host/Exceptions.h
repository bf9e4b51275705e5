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

// Raised by text-to-number conversions ("'<text>' is not a valid integer value")
// and by the settings copy when a class cannot be copied into another
// ("Cannot assign a <source class> to a <destination class>").
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Raised by the registry class (host/Registry.h); the message names the value,
// e.g. "Failed to get data for 'Buffer.OutputSize'".
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// Raised by the INI-file class (host/IniFile.h) when the file cannot be read
// or written; the message names the file and the reason.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

} // namespace host
