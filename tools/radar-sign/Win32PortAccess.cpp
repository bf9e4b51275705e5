#include "tools/radar-sign/PortAccess.h"

#include <windows.h>

namespace radarsign {

// COM names never reach the console.
bool IsConsole(const std::string&, const std::string&) {
    return false;
}

std::string SystemConsoleFile() {
    return {};
}

void KeepStandardStreams() {}

void RaiseOpenFileLimit() {}

TPcTime PcTimeNow() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return {{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond}, t.wMilliseconds};
}

} // namespace radarsign
