#include "serial/driver/CommApi.h"

#include <array>
#include <string>
#include <string_view>

namespace comm {

// Defined by the platform's backend (PosixCommApi.cpp or Win32CommApi.cpp).
ICommApi& NativeApi();

namespace {
ICommApi* g_api = nullptr;
} // namespace

ICommApi& Api() {
    return g_api != nullptr ? *g_api : NativeApi();
}

TNamePresence PortNamePresence(const char* portName) {
    std::string_view name = portName != nullptr ? portName : "";
    constexpr std::string_view kPrefix = "\\\\.\\";
    if (name.substr(0, kPrefix.size()) == kPrefix)
        name.remove_prefix(kPrefix.size());
    if (name.empty())
        return TNamePresence::npAbsent;
    const std::string bare(name);
    ICommApi& api = Api();
    std::array<char, 1024> target{};
    if (api.QueryDosDeviceA(bare.c_str(), target.data(),
                            static_cast<std::uint32_t>(target.size())) != 0)
        return TNamePresence::npPresent;
    const std::uint32_t error = api.GetLastError();
    // A long target (a device path of its driver) still says the name is there.
    if (error == ERROR_INSUFFICIENT_BUFFER)
        return TNamePresence::npPresent;
    if (error != ERROR_FILE_NOT_FOUND)
        return TNamePresence::npUnknown;
    // Not in the DOS device namespace. Wine keeps its COM names (links in
    // the prefix's dosdevices folder) outside it, so the name is opened
    // too, asking for no access: a port that is there opens, or is refused
    // as busy (ours holds it); a pulled one is not found.
    const Handle probe = api.CreateFileA(("\\\\.\\" + bare).c_str(), 0, 0, OPEN_EXISTING, 0);
    if (probe != INVALID_HANDLE_VALUE) {
        api.CloseHandle(probe);
        return TNamePresence::npPresent;
    }
    switch (api.GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return TNamePresence::npAbsent;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return TNamePresence::npPresent;
    default:
        return TNamePresence::npUnknown;
    }
}

ICommApi* SetApi(ICommApi* api) {
    ICommApi* previous = g_api;
    g_api = api;
    return previous;
}

} // namespace comm
