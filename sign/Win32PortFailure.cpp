// Why a port did not open, as far as Windows tells: whether the name is a COM
// port's at all, the system's own words for the open's error, and the
// error's name where this code base uses it.
#include "sign/PortFailure.h"

#include "sign/PortName.h"

#include <windows.h>

namespace sign {

namespace {

// The name of a Windows error that an open of a port gives, as windows.h
// spells it; empty for another.
const char* ErrorName(std::uint32_t error) {
#define RC_ERROR_NAME(code)                                                                        \
    case code:                                                                                     \
        return #code;
    switch (error) {
        RC_ERROR_NAME(ERROR_FILE_NOT_FOUND)
        RC_ERROR_NAME(ERROR_PATH_NOT_FOUND)
        RC_ERROR_NAME(ERROR_TOO_MANY_OPEN_FILES)
        RC_ERROR_NAME(ERROR_ACCESS_DENIED)
        RC_ERROR_NAME(ERROR_INVALID_HANDLE)
        RC_ERROR_NAME(ERROR_NOT_ENOUGH_MEMORY)
        RC_ERROR_NAME(ERROR_GEN_FAILURE)
        RC_ERROR_NAME(ERROR_SHARING_VIOLATION)
        RC_ERROR_NAME(ERROR_NOT_SUPPORTED)
        RC_ERROR_NAME(ERROR_INVALID_PARAMETER)
        RC_ERROR_NAME(ERROR_SEM_TIMEOUT)
        RC_ERROR_NAME(ERROR_INVALID_NAME)
        RC_ERROR_NAME(ERROR_OPERATION_ABORTED)
        RC_ERROR_NAME(ERROR_NO_SYSTEM_RESOURCES)
        RC_ERROR_NAME(ERROR_DEVICE_REMOVED)
    default:
        return "";
    }
#undef RC_ERROR_NAME
}

} // namespace

// Windows has no permission bits on COM ports: access denied means in use.
bool NoAccess(const std::string&) {
    return false;
}

TPortFacts PortFacts(const std::string& port, std::uint32_t osError) {
    TPortFacts facts = NameFacts(port);
    // A folder gives "access denied", a file or a device that is no serial
    // port may even open: the name says it is none.
    facts.NotADevice = !IsWindowsSerialPortName(port) && !IsNetworkPortName(port);
    std::string name = ErrorName(osError);
    if (name.empty())
        name = WinsockErrorName(osError);
    if (!name.empty())
        facts.ErrorName = name + ", OS error " + std::to_string(osError);
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, osError, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    if (n > 0 && text != nullptr) {
        facts.SystemText.assign(text, n);
        // The system's messages end in ".\r\n".
        while (!facts.SystemText.empty() &&
               (facts.SystemText.back() == '\n' || facts.SystemText.back() == '\r' ||
                facts.SystemText.back() == '.' || facts.SystemText.back() == ' '))
            facts.SystemText.pop_back();
    }
    if (text != nullptr)
        ::LocalFree(text);
    return facts;
}

} // namespace sign
