#pragma once
// Internal to the driver: how comm::Api() (CommApi.cpp) routes between the
// backend in use and the network backend (NetCommApi.cpp). Nothing above
// the driver includes it.

#include "serial/driver/CommApi.h"

#include <string_view>

namespace comm {

// A port's name as the calls take it, without Windows' device prefix "\\.\"
// (which is optional); empty for a null name.
inline std::string_view BareName(const char* fileName) {
    std::string_view name = fileName != nullptr ? fileName : "";
    constexpr std::string_view kPrefix = "\\\\.\\";
    if (name.substr(0, kPrefix.size()) == kPrefix)
        name.remove_prefix(kPrefix.size());
    return name;
}

// The backend in use for everything but network ports: the platform's own,
// or the one a test set with SetApi. The network backend's events and last
// error are this backend's.
ICommApi& BaseApi();

// What the router (CommApi.cpp) and the network backend alike leave to
// BaseApi(): the events, the waits, the last error, the clock and Sleep.
class TBaseServices : public ICommApi {
public:
    Handle CreateEventA(bool manualReset, bool initialState) override {
        return BaseApi().CreateEventA(manualReset, initialState);
    }
    bool SetEvent(Handle event) override { return BaseApi().SetEvent(event); }
    bool ResetEvent(Handle event) override { return BaseApi().ResetEvent(event); }
    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
        return BaseApi().WaitForSingleObject(object, milliseconds);
    }
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool waitAll,
                                         std::uint32_t milliseconds) override {
        return BaseApi().WaitForMultipleObjects(count, objects, waitAll, milliseconds);
    }
    std::uint32_t GetLastError() override { return BaseApi().GetLastError(); }
    void SetLastError(std::uint32_t error) override { BaseApi().SetLastError(error); }
    std::uint32_t GetTickCount() override { return BaseApi().GetTickCount(); }
    void Sleep(std::uint32_t milliseconds) override { BaseApi().Sleep(milliseconds); }
};

namespace net {

// Network port handles end in the bits 01; the platform's handles, the
// POSIX backend's and the fake's are multiples of 4 (and
// INVALID_HANDLE_VALUE ends in 11), so a handle is told apart by its value.
constexpr bool IsNetHandle(Handle handle) {
    return (handle & 3) == 1;
}

// The network backend: CreateFileA and QueryDosDeviceA of network names,
// and every call on a network port's handle. Events, waits, GetLastError,
// SetLastError, GetTickCount and Sleep go to BaseApi().
ICommApi& Backend();

} // namespace net
} // namespace comm
