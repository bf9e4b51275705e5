#include "serial/driver/PosixCommApi.h"

#include "serial/driver/PosixPort.h"
#include "serial/driver/PosixPorts.h"
#include "serial/driver/PosixSync.h"
#include "serial/driver/PosixTermios.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace comm {

namespace posix {

namespace {

// The errno that ErrorFromErrno last turned into a code on this thread, and
// that code.
thread_local int t_errno = 0;
thread_local std::uint32_t t_errnoCode = ERROR_SUCCESS;

std::uint32_t MapErrno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENOTDIR:
    case ENXIO: // a device node without a device behind it
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:       // TIOCEXCL held by another opener
    case EWOULDBLOCK: // flock held by another opener (EAGAIN has the same value)
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case ENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case ENOTTY:
    case ERANGE:
    case EOPNOTSUPP:
        return ERROR_INVALID_PARAMETER;
    case EIO:
    case ENODEV:
    case EPIPE:
        return ERROR_DEVICE_REMOVED;
    case ECANCELED:
    case EINTR:
        return ERROR_OPERATION_ABORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

std::uint32_t ErrorFromErrno(int error) {
    t_errnoCode = MapErrno(error);
    t_errno = error;
    return t_errnoCode;
}

int ErrnoBehind(std::uint32_t error) {
    return error != ERROR_SUCCESS && error == t_errnoCode ? t_errno : 0;
}

std::string FileNamePath(const char* fileName) {
    if (fileName == nullptr)
        return {};
    std::string_view name(fileName);
    constexpr std::string_view kPrefix = "\\\\.\\";
    if (name.substr(0, kPrefix.size()) == kPrefix)
        name.remove_prefix(kPrefix.size());
    return DevicePath(std::string(name));
}

int ReadDriverBaud(int fd, std::uint32_t* baud) {
    return GetAnyBaud(fd, baud);
}

bool RequestedTermios(Handle port, termios* out) {
    const auto p = FindAs<Port>(port);
    const std::uint32_t error = p ? p->RequestedTermios(out) : ERROR_INVALID_HANDLE;
    if (error != ERROR_SUCCESS)
        SetLastErrorCode(error);
    return error == ERROR_SUCCESS;
}

namespace {

bool Fail(std::uint32_t error) {
    SetLastErrorCode(error);
    return false;
}

bool Result(std::uint32_t error) {
    return error == ERROR_SUCCESS ? true : Fail(error);
}

bool NoEvent(Handle event) {
    return event == 0 || event == INVALID_HANDLE_VALUE;
}

class PosixApi final : public ICommApi {
public:
    Handle CreateFileA(const char* fileName, std::uint32_t, std::uint32_t, std::uint32_t,
                       std::uint32_t) override {
        // An open's failure that came from no errno has none behind it.
        ErrorFromErrno(0);
        std::uint32_t error = ERROR_SUCCESS;
        auto port = Port::Open(FileNamePath(fileName), &error);
        if (!port) {
            SetLastErrorCode(error);
            return INVALID_HANDLE_VALUE;
        }
        return AddHandle(std::move(port));
    }

    bool CloseHandle(Handle object) override {
        const auto removed = RemoveHandle(object);
        if (!removed)
            return Fail(ERROR_INVALID_HANDLE);
        removed->OnHandleClosed();
        return true;
    }

    bool SetupComm(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        const auto p = FindAs<Port>(port);
        return p ? Result(p->Setup(inQueue, outQueue)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool SetCommState(Handle port, const DCB* dcb) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return dcb != nullptr ? Result(p->SetState(*dcb)) : Fail(ERROR_INVALID_PARAMETER);
    }

    bool GetCommState(Handle port, DCB* dcb) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return dcb != nullptr ? Result(p->GetState(dcb)) : Fail(ERROR_INVALID_PARAMETER);
    }

    bool SetCommTimeouts(Handle port, const COMMTIMEOUTS* timeouts) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return timeouts != nullptr ? Result(p->SetTimeouts(*timeouts))
                                   : Fail(ERROR_INVALID_PARAMETER);
    }

    bool GetCommTimeouts(Handle port, COMMTIMEOUTS* timeouts) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return timeouts != nullptr ? Result(p->GetTimeouts(timeouts))
                                   : Fail(ERROR_INVALID_PARAMETER);
    }

    bool ClearCommError(Handle port, std::uint32_t* errors, COMSTAT* stat) override {
        const auto p = FindAs<Port>(port);
        return p ? Result(p->ClearError(errors, stat)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool GetCommModemStatus(Handle port, std::uint32_t* modemStatus) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return modemStatus != nullptr ? Result(p->ModemStatus(modemStatus))
                                      : Fail(ERROR_INVALID_PARAMETER);
    }

    bool PurgeComm(Handle port, std::uint32_t flags) override {
        const auto p = FindAs<Port>(port);
        return p ? Result(p->Purge(flags)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool SetCommMask(Handle port, std::uint32_t eventMask) override {
        const auto p = FindAs<Port>(port);
        return p ? Result(p->SetMask(eventMask)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool GetCommMask(Handle port, std::uint32_t* eventMask) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return eventMask != nullptr ? Result(p->GetMask(eventMask)) : Fail(ERROR_INVALID_PARAMETER);
    }

    bool WaitCommEvent(Handle port, std::uint32_t* eventMask, Overlapped* overlapped) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (eventMask == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        return Transfer(*p, overlapped, nullptr, [&](Overlapped* ov, auto event) {
            return p->WaitEvent(eventMask, ov, std::move(event));
        });
    }

    bool ReadFile(Handle port, void* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped* overlapped) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (buffer == nullptr && count != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        return Transfer(*p, overlapped, read, [&](Overlapped* ov, auto event) {
            return p->Read(buffer, count, read, ov, std::move(event));
        });
    }

    bool WriteFile(Handle port, const void* buffer, std::uint32_t count, std::uint32_t* written,
                   Overlapped* overlapped) override {
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (buffer == nullptr && count != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        return Transfer(*p, overlapped, written, [&](Overlapped* ov, auto event) {
            return p->Write(buffer, count, written, ov, std::move(event));
        });
    }

    bool GetOverlappedResult(Handle port, Overlapped* overlapped, std::uint32_t* transferred,
                             bool wait) override {
        if (overlapped == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        const auto p = FindAs<Port>(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (!p->OverlappedDone(overlapped, wait))
            return Fail(ERROR_IO_INCOMPLETE);
        if (transferred != nullptr)
            *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
        return Result(static_cast<std::uint32_t>(overlapped->Internal));
    }

    Handle CreateEventA(bool manualReset, bool initialState) override {
        return AddHandle(MakeEvent(manualReset, initialState));
    }

    bool SetEvent(Handle event) override {
        const auto e = FindAs<EventObject>(event);
        if (!e)
            return Fail(ERROR_INVALID_HANDLE);
        SignalEvent(*e);
        return true;
    }

    bool ResetEvent(Handle event) override {
        const auto e = FindAs<EventObject>(event);
        if (!e)
            return Fail(ERROR_INVALID_HANDLE);
        ClearEvent(*e);
        return true;
    }

    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override {
        return WaitForMultipleObjects(1, &object, false, milliseconds);
    }

    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool waitAll,
                                         std::uint32_t milliseconds) override {
        if (count == 0 || count > 64 || objects == nullptr) {
            SetLastErrorCode(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        std::shared_ptr<EventObject> events[64];
        for (std::uint32_t i = 0; i < count; ++i) {
            events[i] = FindAs<EventObject>(objects[i]);
            if (!events[i]) {
                SetLastErrorCode(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            for (std::uint32_t j = 0; waitAll && j < i; ++j) {
                if (events[j] == events[i]) {
                    SetLastErrorCode(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
        return WaitEvents(events, count, waitAll, milliseconds);
    }

    std::uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath,
                                  std::uint32_t max) override {
        // A bare name, as Windows takes it ("COM3", not "\\.\COM3").
        const std::string path = DevicePath(deviceName != nullptr ? deviceName : "");
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0) {
            SetLastErrorCode(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        // The path and the empty string that ends the list.
        const std::size_t needed = path.size() + 2;
        if (targetPath == nullptr || max < needed) {
            SetLastErrorCode(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(targetPath, path.c_str(), path.size() + 1);
        targetPath[path.size() + 1] = '\0';
        return static_cast<std::uint32_t>(needed);
    }

    std::uint32_t GetLastError() override { return LastError(); }
    void SetLastError(std::uint32_t error) override { SetLastErrorCode(error); }

    std::uint32_t GetTickCount() override {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                        static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<std::uint32_t>(ms);
    }

    void Sleep(std::uint32_t milliseconds) override {
        if (milliseconds == 0)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

private:
    // Runs one overlapped operation; with no Overlapped, runs it to the end.
    template <class Start>
    bool Transfer(Port& port, Overlapped* overlapped, std::uint32_t* count, Start start) {
        if (overlapped == nullptr) {
            Overlapped local;
            std::uint32_t error = start(&local, std::shared_ptr<EventObject>());
            if (error == ERROR_IO_PENDING) {
                port.OverlappedDone(&local, true);
                error = static_cast<std::uint32_t>(local.Internal);
                if (count != nullptr && error == ERROR_SUCCESS)
                    *count = static_cast<std::uint32_t>(local.InternalHigh);
            }
            return Result(error);
        }
        std::shared_ptr<EventObject> event;
        if (!NoEvent(overlapped->hEvent)) {
            event = FindAs<EventObject>(overlapped->hEvent);
            if (!event)
                return Fail(ERROR_INVALID_HANDLE);
        }
        return Result(start(overlapped, std::move(event)));
    }
};

} // namespace

} // namespace posix

ICommApi& NativeApi() {
    static posix::PosixApi* api = new posix::PosixApi;
    return *api;
}

} // namespace comm
