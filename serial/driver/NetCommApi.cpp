// The network backend's calls: the names, the handles, and each call sent
// to its port (NetPort.h). The behaviour is described in NetCommApi.h.

#include "serial/driver/NetCommApi.h"

#include "serial/driver/NetBackend.h"
#include "serial/driver/NetPort.h"
#include "serial/driver/NetPortName.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace comm::net {

namespace {

bool Fail(std::uint32_t error) {
    BaseApi().SetLastError(error);
    return false;
}

bool Result(std::uint32_t error) {
    return error == ERROR_SUCCESS ? true : Fail(error);
}

class TNetApi final : public TBaseServices {
public:
    Handle CreateFileA(const char* fileName, std::uint32_t, std::uint32_t, std::uint32_t,
                       std::uint32_t) override {
        const TNetPortNameResult parsed = ParseNetPortName(BareName(fileName));
        if (!parsed.Name) {
            Fail(ERROR_INVALID_NAME);
            return INVALID_HANDLE_VALUE;
        }
        // One handle a port, as a COM port has: a second open of a name in
        // use here is refused before anything is connected (a device server
        // would take a second connection for another client of the line).
        // The process is stopping: nothing more is connected.
        if (OpensAborted()) {
            Fail(ERROR_OPERATION_ABORTED);
            return INVALID_HANDLE_VALUE;
        }
        const std::string name = FormatNetPortName(*parsed.Name);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!names_.insert(name).second) {
                Fail(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
        }
        std::uint32_t error = ERROR_SUCCESS;
        auto port = TNetPort::Open(*parsed.Name, BaseApi(), &error);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!port) {
            names_.erase(name);
            Fail(error);
            return INVALID_HANDLE_VALUE;
        }
        const Handle handle = (next_.fetch_add(1) << 2) | 1;
        ports_.emplace(handle, std::move(port));
        return handle;
    }

    bool CloseHandle(Handle object) override {
        std::shared_ptr<TNetPort> port;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto it = ports_.find(object);
            if (it == ports_.end())
                return Fail(ERROR_INVALID_HANDLE);
            port = std::move(it->second);
            ports_.erase(it);
        }
        port->Close();
        std::lock_guard<std::mutex> lock(mutex_);
        names_.erase(port->Name());
        return true;
    }

    bool SetupComm(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        const auto p = Find(port);
        return p ? Result(p->Setup(inQueue, outQueue)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool SetCommState(Handle port, const DCB* dcb) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return dcb != nullptr ? Result(p->SetState(*dcb)) : Fail(ERROR_INVALID_PARAMETER);
    }

    bool GetCommState(Handle port, DCB* dcb) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return dcb != nullptr ? Result(p->GetState(dcb)) : Fail(ERROR_INVALID_PARAMETER);
    }

    bool SetCommTimeouts(Handle port, const COMMTIMEOUTS* timeouts) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return timeouts != nullptr ? Result(p->SetTimeouts(*timeouts))
                                   : Fail(ERROR_INVALID_PARAMETER);
    }

    bool GetCommTimeouts(Handle port, COMMTIMEOUTS* timeouts) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return timeouts != nullptr ? Result(p->GetTimeouts(timeouts))
                                   : Fail(ERROR_INVALID_PARAMETER);
    }

    bool ClearCommError(Handle port, std::uint32_t* errors, COMSTAT* stat) override {
        const auto p = Find(port);
        return p ? Result(p->ClearError(errors, stat)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool GetCommModemStatus(Handle port, std::uint32_t* modemStatus) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return modemStatus != nullptr ? Result(p->ModemStatus(modemStatus))
                                      : Fail(ERROR_INVALID_PARAMETER);
    }

    bool PurgeComm(Handle port, std::uint32_t flags) override {
        const auto p = Find(port);
        return p ? Result(p->Purge(flags)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool SetCommMask(Handle port, std::uint32_t eventMask) override {
        const auto p = Find(port);
        return p ? Result(p->SetMask(eventMask)) : Fail(ERROR_INVALID_HANDLE);
    }

    bool GetCommMask(Handle port, std::uint32_t* eventMask) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        return eventMask != nullptr ? Result(p->GetMask(eventMask)) : Fail(ERROR_INVALID_PARAMETER);
    }

    bool WaitCommEvent(Handle port, std::uint32_t* eventMask, Overlapped* overlapped) override {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (eventMask == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        return Transfer(*p, overlapped, nullptr,
                        [&](Overlapped* ov) { return p->WaitEvent(eventMask, ov); });
    }

    bool ReadFile(Handle port, void* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped* overlapped) override {
        return Move(port, buffer, count, read, overlapped,
                    [&](TNetPort& p, Overlapped* ov) { return p.Read(buffer, count, read, ov); });
    }

    bool WriteFile(Handle port, const void* buffer, std::uint32_t count, std::uint32_t* written,
                   Overlapped* overlapped) override {
        return Move(port, buffer, count, written, overlapped, [&](TNetPort& p, Overlapped* ov) {
            return p.Write(buffer, count, written, ov);
        });
    }

    bool GetOverlappedResult(Handle port, Overlapped* overlapped, std::uint32_t* transferred,
                             bool wait) override {
        if (overlapped == nullptr)
            return Fail(ERROR_INVALID_PARAMETER);
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (!p->OverlappedDone(overlapped, wait))
            return Fail(ERROR_IO_INCOMPLETE);
        if (transferred != nullptr)
            *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
        return Result(static_cast<std::uint32_t>(overlapped->Internal));
    }

    std::uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath,
                                  std::uint32_t max) override {
        const std::string_view bare = BareName(deviceName);
        const TNetPortNameResult parsed = ParseNetPortName(bare);
        if (!parsed.Name) {
            Fail(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        const std::string name = FormatNetPortName(*parsed.Name);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [handle, port] : ports_) {
                if (port->Name() == name && port->Gone()) {
                    Fail(ERROR_FILE_NOT_FOUND);
                    return 0;
                }
            }
        }
        // The name itself, and the empty string that ends the list.
        const std::size_t needed = bare.size() + 2;
        if (targetPath == nullptr || max < needed) {
            Fail(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(targetPath, bare.data(), bare.size());
        targetPath[bare.size()] = '\0';
        targetPath[bare.size() + 1] = '\0';
        return static_cast<std::uint32_t>(needed);
    }

private:
    std::shared_ptr<TNetPort> Find(Handle handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = ports_.find(handle);
        return it != ports_.end() ? it->second : nullptr;
    }

    // Runs one overlapped operation; with no Overlapped, runs it to the end.
    // ReadFile and WriteFile: the handle and the buffer checked, then
    // `start(port, overlapped)` as Transfer says.
    template <class Start>
    bool Move(Handle port, const void* buffer, std::uint32_t count, std::uint32_t* moved,
              Overlapped* overlapped, Start start) {
        const auto p = Find(port);
        if (!p)
            return Fail(ERROR_INVALID_HANDLE);
        if (buffer == nullptr && count != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        return Transfer(*p, overlapped, moved, [&](Overlapped* ov) { return start(*p, ov); });
    }

    template <class Start>
    bool Transfer(TNetPort& port, Overlapped* overlapped, std::uint32_t* count, Start start) {
        if (overlapped != nullptr)
            return Result(start(overlapped));
        Overlapped local;
        std::uint32_t error = start(&local);
        if (error == ERROR_IO_PENDING) {
            port.OverlappedDone(&local, true);
            error = static_cast<std::uint32_t>(local.Internal);
            if (count != nullptr && error == ERROR_SUCCESS)
                *count = static_cast<std::uint32_t>(local.InternalHigh);
        }
        return Result(error);
    }

    std::atomic<std::intptr_t> next_{1};
    std::mutex mutex_;
    std::unordered_map<Handle, std::shared_ptr<TNetPort>> ports_;
    std::unordered_set<std::string> names_; // the ports open or opening, by name
};

} // namespace

ICommApi& Backend() {
    static TNetApi* api = new TNetApi;
    return *api;
}

} // namespace comm::net
