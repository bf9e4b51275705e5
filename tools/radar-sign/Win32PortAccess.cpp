#include "tools/radar-sign/PortAccess.h"

#include <windows.h>

#include <algorithm>

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

std::size_t PortsAtOnce(std::size_t ports) {
    return std::max<std::size_t>(1, std::min(ports, MaxPortsAtOnce));
}

TPcTime PcTimeNow() {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return {{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond}, t.wMilliseconds};
}

} // namespace radarsign
