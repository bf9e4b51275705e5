#include "serial/driver/CommApi.h"

#include "serial/driver/NetBackend.h"
#include "serial/driver/NetPortName.h"

#include <array>
#include <string>
#include <string_view>

namespace comm {

// Defined by the platform's backend (PosixCommApi.cpp or Win32CommApi.cpp).
ICommApi& NativeApi();

namespace {

ICommApi* g_api = nullptr;

bool IsNetName(const char* fileName) {
    return net::IsNetPortName(BareName(fileName));
}

// The one entry: a network name's open and its presence go to the network
// backend, and so does every call on a network port's handle (told apart by
// value, with no lock); everything else goes to the backend in use.
class TRouter final : public TBaseServices {
public:
    Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes) override {
        return (IsNetName(fileName) ? net::Backend() : BaseApi())
            .CreateFileA(fileName, desiredAccess, shareMode, creationDisposition,
                         flagsAndAttributes);
    }
    bool CloseHandle(Handle object) override { return For(object).CloseHandle(object); }
    bool SetupComm(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        return For(port).SetupComm(port, inQueue, outQueue);
    }
    bool SetCommState(Handle port, const DCB* dcb) override {
        return For(port).SetCommState(port, dcb);
    }
    bool GetCommState(Handle port, DCB* dcb) override { return For(port).GetCommState(port, dcb); }
    bool SetCommTimeouts(Handle port, const COMMTIMEOUTS* timeouts) override {
        return For(port).SetCommTimeouts(port, timeouts);
    }
    bool GetCommTimeouts(Handle port, COMMTIMEOUTS* timeouts) override {
        return For(port).GetCommTimeouts(port, timeouts);
    }
    bool ClearCommError(Handle port, std::uint32_t* errors, COMSTAT* stat) override {
        return For(port).ClearCommError(port, errors, stat);
    }
    bool GetCommModemStatus(Handle port, std::uint32_t* modemStatus) override {
        return For(port).GetCommModemStatus(port, modemStatus);
    }
    bool PurgeComm(Handle port, std::uint32_t flags) override {
        return For(port).PurgeComm(port, flags);
    }
    bool SetCommMask(Handle port, std::uint32_t eventMask) override {
        return For(port).SetCommMask(port, eventMask);
    }
    bool GetCommMask(Handle port, std::uint32_t* eventMask) override {
        return For(port).GetCommMask(port, eventMask);
    }
    bool WaitCommEvent(Handle port, std::uint32_t* eventMask, Overlapped* overlapped) override {
        return For(port).WaitCommEvent(port, eventMask, overlapped);
    }
    bool ReadFile(Handle port, void* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped* overlapped) override {
        return For(port).ReadFile(port, buffer, count, read, overlapped);
    }
    bool WriteFile(Handle port, const void* buffer, std::uint32_t count, std::uint32_t* written,
                   Overlapped* overlapped) override {
        return For(port).WriteFile(port, buffer, count, written, overlapped);
    }
    bool GetOverlappedResult(Handle port, Overlapped* overlapped, std::uint32_t* transferred,
                             bool wait) override {
        return For(port).GetOverlappedResult(port, overlapped, transferred, wait);
    }
    std::uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath,
                                  std::uint32_t max) override {
        return (IsNetName(deviceName) ? net::Backend() : BaseApi())
            .QueryDosDeviceA(deviceName, targetPath, max);
    }

private:
    static ICommApi& For(Handle handle) {
        return net::IsNetHandle(handle) ? net::Backend() : BaseApi();
    }
};

} // namespace

ICommApi& BaseApi() {
    return g_api != nullptr ? *g_api : NativeApi();
}

ICommApi& Api() {
    static TRouter* router = new TRouter;
    return *router;
}

TNamePresence PortNamePresence(const char* portName) {
    const std::string_view name = BareName(portName);
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
    // A network name is never connected to find out: its backend answers
    // for the ports it has open, and a malformed one names nothing.
    if (net::IsNetPortName(bare))
        return TNamePresence::npAbsent;
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
