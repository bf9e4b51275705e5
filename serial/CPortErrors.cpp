#include "serial/CPortErrors.h"

#include <array>
#include <string>

namespace cport {

namespace {

// One table for the whole program, indexed by code - 1. All texts are ASCII.
constexpr std::array<std::string_view, ComErrorLast> kComErrorMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

} // namespace

std::string ComErrorMessage(int errorCode) {
    if (errorCode < ComErrorFirst || errorCode > ComErrorLast)
        return "Unknown com port error " + std::to_string(errorCode);
    return std::string(kComErrorMessages[static_cast<std::size_t>(errorCode - ComErrorFirst)]);
}

EComPort::EComPort(int errorCode, std::int32_t osErrorCode)
    : host::Exception(ComErrorMessage(errorCode)), FOsErrorCode(osErrorCode),
      FErrorCode(errorCode) {}

} // namespace cport
