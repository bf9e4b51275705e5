#include "sign/PortFailure.h"

#include "serial/driver/CommApi.h"

namespace sign {

namespace {

// Windows error codes of an open that the serial component's table does not
// name (serial/driver/CommApi.h).
constexpr std::uint32_t ErrorPathNotFound = 3;
constexpr std::uint32_t ErrorTooManyOpenFiles = 4;
constexpr std::uint32_t ErrorSemTimeout = 121;
constexpr std::uint32_t ErrorInvalidName = 123;
constexpr std::uint32_t ErrorNoSystemResources = 1450;

} // namespace

std::string OpenFailureText(std::uint32_t osError, const TPortFacts& facts) {
    const std::string code =
        " (" + (facts.ErrorName.empty() ? "OS error " + std::to_string(osError) : facts.ErrorName) +
        ")";
    // The component answers "file not found" for whatever is not a device.
    if (facts.NotADevice)
        return "not a serial port";
    switch (osError) {
    case comm::ERROR_FILE_NOT_FOUND:
    case ErrorPathNotFound:
        return "no such port";
    case comm::ERROR_ACCESS_DENIED:
    case comm::ERROR_SHARING_VIOLATION:
        return facts.NoAccess ? "permission denied: add yourself to the dialout group"
                              : "in use by another program";
    case comm::ERROR_INVALID_PARAMETER:
        return "not a serial port";
    case comm::ERROR_DEVICE_REMOVED:
        return "the device has gone";
    case ErrorInvalidName:
        return "not a valid port name";
    case ErrorTooManyOpenFiles:
        return "too many open files" + code;
    case comm::ERROR_NOT_ENOUGH_MEMORY:
    case ErrorNoSystemResources:
        return facts.OutOfFiles ? "too many open files" + code
                                : "not enough memory or system resources" + code;
    case ErrorSemTimeout:
        return "the device does not respond" + code;
    case comm::ERROR_OPERATION_ABORTED:
        return "the open was interrupted" + code;
    default:
        break;
    }
    // The POSIX backend gives "general failure" for every system error it
    // does not name, running out of file descriptors among them.
    if (facts.OutOfFiles)
        return "too many open files" + code;
    if (!facts.SystemText.empty())
        return "cannot be opened: " + facts.SystemText + code;
    if (osError == comm::ERROR_GEN_FAILURE)
        return "the device does not work" + code;
    return "cannot be opened for an unknown reason" + code;
}

std::string OpenFailureText(std::uint32_t osError, const std::string& port) {
    return OpenFailureText(osError, PortFacts(port, osError));
}

} // namespace sign
