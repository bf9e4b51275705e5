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

} // namespace radarsign
