#pragma once
// The framework's exception classes. Every exception the components raise
// derives from host::Exception, whose Message() is the text shown to the user.

#include <memory>
#include <stdexcept>
#include <string>

namespace host {

// Message() is the whole text, zero bytes included (a converted text may hold
// them); what() gives it as a C string, so it ends at the first zero byte.
class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message)
        : std::runtime_error(message), FMessage(std::make_shared<const std::string>(message)) {}
    std::string Message() const { return *FMessage; }

private:
    std::shared_ptr<const std::string> FMessage; // shared: copying an exception never throws
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
