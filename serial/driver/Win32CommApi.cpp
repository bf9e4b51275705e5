// The Windows backend: every call goes straight to its kernel32 function.
// Built only on Windows.
//
// CommApi.h comes before <windows.h>: its constant names are macros there, so
// after <windows.h> this file spells none of them with the comm:: prefix.
#include "serial/driver/CommApi.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace comm {

namespace {

// Our records are the Windows ones byte for byte, so they are copied (DCB,
// COMSTAT, COMMTIMEOUTS) or passed through (OVERLAPPED, whose address the
// driver keeps while the operation runs).
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(std::is_trivially_copyable_v<comm::DCB> &&
              std::is_trivially_copyable_v<comm::COMMTIMEOUTS> &&
              std::is_trivially_copyable_v<comm::COMSTAT>);
static_assert(sizeof(HANDLE) == sizeof(Handle));

static_assert(sizeof(::DCB) == sizeof(comm::DCB));
static_assert(offsetof(::DCB, DCBlength) == offsetof(comm::DCB, DCBlength));
static_assert(offsetof(::DCB, BaudRate) == offsetof(comm::DCB, BaudRate));
static_assert(offsetof(::DCB, wReserved) == offsetof(comm::DCB, wReserved));
static_assert(offsetof(::DCB, XonLim) == offsetof(comm::DCB, XonLim));
static_assert(offsetof(::DCB, XoffLim) == offsetof(comm::DCB, XoffLim));
static_assert(offsetof(::DCB, ByteSize) == offsetof(comm::DCB, ByteSize));
static_assert(offsetof(::DCB, Parity) == offsetof(comm::DCB, Parity));
static_assert(offsetof(::DCB, StopBits) == offsetof(comm::DCB, StopBits));
static_assert(offsetof(::DCB, XonChar) == offsetof(comm::DCB, XonChar));
static_assert(offsetof(::DCB, XoffChar) == offsetof(comm::DCB, XoffChar));
static_assert(offsetof(::DCB, ErrorChar) == offsetof(comm::DCB, ErrorChar));
static_assert(offsetof(::DCB, EofChar) == offsetof(comm::DCB, EofChar));
static_assert(offsetof(::DCB, EvtChar) == offsetof(comm::DCB, EvtChar));
static_assert(offsetof(::DCB, wReserved1) == offsetof(comm::DCB, wReserved1));

static_assert(sizeof(::COMMTIMEOUTS) == sizeof(comm::COMMTIMEOUTS));
static_assert(offsetof(::COMMTIMEOUTS, ReadIntervalTimeout) ==
              offsetof(comm::COMMTIMEOUTS, ReadIntervalTimeout));
static_assert(offsetof(::COMMTIMEOUTS, ReadTotalTimeoutMultiplier) ==
              offsetof(comm::COMMTIMEOUTS, ReadTotalTimeoutMultiplier));
static_assert(offsetof(::COMMTIMEOUTS, ReadTotalTimeoutConstant) ==
              offsetof(comm::COMMTIMEOUTS, ReadTotalTimeoutConstant));
static_assert(offsetof(::COMMTIMEOUTS, WriteTotalTimeoutMultiplier) ==
              offsetof(comm::COMMTIMEOUTS, WriteTotalTimeoutMultiplier));
static_assert(offsetof(::COMMTIMEOUTS, WriteTotalTimeoutConstant) ==
              offsetof(comm::COMMTIMEOUTS, WriteTotalTimeoutConstant));

static_assert(sizeof(::COMSTAT) == sizeof(comm::COMSTAT));
static_assert(offsetof(::COMSTAT, cbInQue) == offsetof(comm::COMSTAT, cbInQue));
static_assert(offsetof(::COMSTAT, cbOutQue) == offsetof(comm::COMSTAT, cbOutQue));

static_assert(sizeof(::OVERLAPPED) == sizeof(comm::Overlapped));
static_assert(offsetof(::OVERLAPPED, Internal) == offsetof(comm::Overlapped, Internal));
static_assert(offsetof(::OVERLAPPED, InternalHigh) == offsetof(comm::Overlapped, InternalHigh));
static_assert(offsetof(::OVERLAPPED, hEvent) == offsetof(comm::Overlapped, hEvent));

HANDLE ToWin(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}
Handle FromWin(HANDLE handle) {
    return reinterpret_cast<Handle>(handle);
}
OVERLAPPED* ToWin(Overlapped* overlapped) {
    return reinterpret_cast<OVERLAPPED*>(overlapped);
}
// The driver writes a completed count or event mask through this pointer
// when the operation ends, so it must be the caller's own variable.
DWORD* ToWin(std::uint32_t* value) {
    return reinterpret_cast<DWORD*>(value);
}

class Win32CommApi final : public ICommApi {
public:
    Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes) override {
        return FromWin(::CreateFileA(fileName, desiredAccess, shareMode, nullptr,
                                     creationDisposition, flagsAndAttributes, nullptr));
    }

    bool CloseHandle(Handle object) override { return ::CloseHandle(ToWin(object)) != FALSE; }

    bool SetupComm(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        return ::SetupComm(ToWin(port), inQueue, outQueue) != FALSE;
    }

    bool SetCommState(Handle port, const comm::DCB* dcb) override {
        ::DCB native;
        std::memcpy(&native, dcb, sizeof native);
        return ::SetCommState(ToWin(port), &native) != FALSE;
    }

    bool GetCommState(Handle port, comm::DCB* dcb) override {
        ::DCB native;
        std::memset(&native, 0, sizeof native);
        native.DCBlength = sizeof native;
        if (::GetCommState(ToWin(port), &native) == FALSE) {
            return false;
        }
        std::memcpy(static_cast<void*>(dcb), &native, sizeof native);
        return true;
    }

    bool SetCommTimeouts(Handle port, const comm::COMMTIMEOUTS* timeouts) override {
        ::COMMTIMEOUTS native;
        std::memcpy(&native, timeouts, sizeof native);
        return ::SetCommTimeouts(ToWin(port), &native) != FALSE;
    }

    bool GetCommTimeouts(Handle port, comm::COMMTIMEOUTS* timeouts) override {
        ::COMMTIMEOUTS native;
        if (::GetCommTimeouts(ToWin(port), &native) == FALSE) {
            return false;
        }
        std::memcpy(static_cast<void*>(timeouts), &native, sizeof native);
        return true;
    }

    bool ClearCommError(Handle port, std::uint32_t* errors, comm::COMSTAT* stat) override {
        DWORD nativeErrors = 0;
        ::COMSTAT nativeStat;
        std::memset(&nativeStat, 0, sizeof nativeStat);
        if (::ClearCommError(ToWin(port), &nativeErrors, &nativeStat) == FALSE) {
            return false;
        }
        if (errors != nullptr) {
            *errors = nativeErrors;
        }
        if (stat != nullptr) {
            std::memcpy(static_cast<void*>(stat), &nativeStat, sizeof nativeStat);
        }
        return true;
    }

    bool GetCommModemStatus(Handle port, std::uint32_t* modemStatus) override {
        DWORD status = 0;
        if (::GetCommModemStatus(ToWin(port), &status) == FALSE) {
            return false;
        }
        *modemStatus = status;
        return true;
    }

    bool PurgeComm(Handle port, std::uint32_t flags) override {
        return ::PurgeComm(ToWin(port), flags) != FALSE;
    }

    bool SetCommMask(Handle port, std::uint32_t eventMask) override {
        return ::SetCommMask(ToWin(port), eventMask) != FALSE;
    }

    bool GetCommMask(Handle port, std::uint32_t* eventMask) override {
        DWORD mask = 0;
        if (::GetCommMask(ToWin(port), &mask) == FALSE) {
            return false;
        }
        *eventMask = mask;
        return true;
    }

    bool WaitCommEvent(Handle port, std::uint32_t* eventMask, Overlapped* overlapped) override {
        return ::WaitCommEvent(ToWin(port), ToWin(eventMask), ToWin(overlapped)) != FALSE;
    }

    bool ReadFile(Handle port, void* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped* overlapped) override {
        return ::ReadFile(ToWin(port), buffer, count, ToWin(read), ToWin(overlapped)) != FALSE;
    }

    bool WriteFile(Handle port, const void* buffer, std::uint32_t count, std::uint32_t* written,
                   Overlapped* overlapped) override {
        return ::WriteFile(ToWin(port), buffer, count, ToWin(written), ToWin(overlapped)) != FALSE;
    }

    bool GetOverlappedResult(Handle port, Overlapped* overlapped, std::uint32_t* transferred,
                             bool wait) override {
        return ::GetOverlappedResult(ToWin(port), ToWin(overlapped), ToWin(transferred),
                                     wait ? TRUE : FALSE) != FALSE;
    }

    Handle CreateEventA(bool manualReset, bool initialState) override {
        return FromWin(::CreateEventA(nullptr, manualReset ? TRUE : FALSE,
                                      initialState ? TRUE : FALSE, nullptr));
    }

    bool SetEvent(Handle event) override { return ::SetEvent(ToWin(event)) != FALSE; }

    bool ResetEvent(Handle event) override { return ::ResetEvent(ToWin(event)) != FALSE; }

    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
        return ::WaitForSingleObject(ToWin(object), milliseconds);
    }

    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool waitAll,
                                         std::uint32_t milliseconds) override {
        if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        HANDLE native[MAXIMUM_WAIT_OBJECTS];
        for (std::uint32_t i = 0; i < count; ++i) {
            native[i] = ToWin(objects[i]);
        }
        return ::WaitForMultipleObjects(count, native, waitAll ? TRUE : FALSE, milliseconds);
    }

    std::uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath,
                                  std::uint32_t max) override {
        return ::QueryDosDeviceA(deviceName, targetPath, max);
    }

    std::uint32_t GetLastError() override { return ::GetLastError(); }
    void SetLastError(std::uint32_t error) override { ::SetLastError(error); }
    std::uint32_t GetTickCount() override { return ::GetTickCount(); }
    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

} // namespace

ICommApi& NativeApi() {
    static Win32CommApi api;
    return api;
}

} // namespace comm
