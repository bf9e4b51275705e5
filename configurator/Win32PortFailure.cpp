// Why a port did not open, as far as Windows tells: the system's own words
// for the open's error.
#include "configurator/PortFailure.h"

#include <windows.h>

namespace sign {

// Windows has no permission bits on COM ports: access denied means in use.
bool NoAccess(const std::string&) {
    return false;
}

TPortFacts PortFacts(const std::string&, std::uint32_t osError) {
    TPortFacts facts;
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
