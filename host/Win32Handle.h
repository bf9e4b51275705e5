#pragma once
// A kernel handle with one owner, closed when the owner goes (Windows only:
// for the Win32*.cpp files; host/PosixFd.h is its POSIX twin).

#include <windows.h>

namespace host {

class THandle {
public:
    explicit THandle(HANDLE h = INVALID_HANDLE_VALUE) : FHandle(h) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() { Close(); }
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
    // Closes the handle now, for a caller that wants CloseHandle's result
    // (where a write error can show); true when there was none to close.
    bool Close() {
        const bool ok = !Valid() || CloseHandle(FHandle) != 0;
        FHandle = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE FHandle;
};

} // namespace host
