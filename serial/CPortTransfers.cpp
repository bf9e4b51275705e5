// Unit CPort: reading and writing, with the bounded wait for a transfer, and
// the rule that tells a device gone from a failure that only looks like it.
//
// A driver whose device has gone says so in many ways: ERROR_DEVICE_REMOVED,
// ERROR_OPERATION_ABORTED (FTDI), ERROR_BAD_COMMAND (Prolific),
// ERROR_ACCESS_DENIED (CH340, modems), ERROR_GEN_FAILURE, ERROR_FILE_NOT_FOUND,
// or nothing at all (usbser.sys; under Wine a hung-up pseudo-terminal leaves
// a write pending for ever). Each of these codes also comes from a device
// that is there. So a failure is only a suspicion, which the port's name
// settles: a pulled adapter's COM name goes with it.

#include "serial/CPort.h"

#include "host/MessageLoop.h"
#include "serial/CPortErrors.h"
#include "serial/CPortThread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace cport {

namespace {

// Between two questions whether the port's name is still there, while a
// transfer without a deadline waits.
constexpr std::uint32_t kPresenceSliceMs = 250;

// Transfers given up on: the driver may still complete them, into their
// blocks and buffers, so they live as long as the program.
void KeepForTheDriver(TComTransfer* transfer) {
    static std::mutex lock;
    static std::vector<std::unique_ptr<TComTransfer>> kept;
    std::lock_guard<std::mutex> guard(lock);
    kept.emplace_back(transfer);
}

// Frees the record however the blocking operation ends.
class TransferGuard {
public:
    TransferGuard() { TCustomComPort::CreateTransfer(FTransfer); }
    ~TransferGuard() { TCustomComPort::DestroyTransfer(FTransfer); }
    TransferGuard(const TransferGuard&) = delete;
    TransferGuard& operator=(const TransferGuard&) = delete;
    TComTransfer* Get() const { return FTransfer; }

private:
    TComTransfer* FTransfer = nullptr;
};

// The count handed to the driver. A negative count moves nothing: as an
// unsigned count it would let the driver run gigabytes past the buffer.
std::uint32_t TransferCount(std::int32_t count) {
    return count > 0 ? static_cast<std::uint32_t>(count) : 0u;
}

std::uint32_t Dword(std::int32_t value) {
    return static_cast<std::uint32_t>(value);
}

// Writers off the GUI thread that wait for TxEmptyFlag. The event thread
// takes the lock only when one waits; the count is raised before the writer
// reads the flag under the lock, so a report between that read and the wait
// still finds it counted and wakes it.
struct TTxEmptyWaiters {
    std::mutex Lock;
    std::condition_variable Reported;
    std::atomic<int> Count{0};
};

TTxEmptyWaiters& TxEmptyWaiters() {
    static TTxEmptyWaiters waiters;
    return waiters;
}

void WaitForTxEmpty(std::chrono::milliseconds atMost) {
    TTxEmptyWaiters& w = TxEmptyWaiters();
    ++w.Count;
    {
        std::unique_lock<std::mutex> guard(w.Lock);
        w.Reported.wait_for(guard, atMost, [] { return TxEmptyFlag.load(); });
    }
    --w.Count;
}

} // namespace

namespace detail {

void ReportTxEmpty() {
    TxEmptyFlag = true;
    TTxEmptyWaiters& w = TxEmptyWaiters();
    if (w.Count.load() > 0) {
        std::lock_guard<std::mutex> guard(w.Lock);
        w.Reported.notify_all();
    }
}

} // namespace detail

bool FailureIsOwn(std::uint32_t osError, bool ownAbortSince) {
    return osError == comm::ERROR_OPERATION_ABORTED && ownAbortSince;
}

void TCustomComPort::NoteFailure(std::uint32_t osError, std::uint32_t ownAbortsAtStart) {
    if (osError == comm::ERROR_SUCCESS || !FConnected)
        return;
    if (!FailureIsOwn(osError, FOwnAborts != ownAbortsAtStart))
        FSuspicion = osError;
}

bool TCustomComPort::DeviceGone(bool waitTimedOut) {
    if (!FConnected || (FSuspicion == 0 && !waitTimedOut))
        return false;
    if (comm::PortNamePresence(FPort.c_str()) == comm::TNamePresence::npAbsent)
        return true;
    FSuspicion = 0;
    return false;
}

// ---- Transfers ---------------------------------------------------------------------

void TCustomComPort::CreateTransfer(TComTransfer*& transfer) {
    transfer = new TComTransfer;
    // Signalled until a transfer starts: a transfer the OS refuses before
    // starting leaves it so, and waiting on it then returns at once.
    transfer->Overlapped.hEvent = comm::Api().CreateEventA(true, true);
}

void TCustomComPort::DestroyTransfer(TComTransfer*& transfer) {
    if (transfer == nullptr)
        return;
    if (transfer->Abandoned) {
        KeepForTheDriver(transfer);
    } else {
        comm::Api().CloseHandle(transfer->Overlapped.hEvent);
        delete transfer;
    }
    transfer = nullptr;
}

std::int32_t TCustomComPort::BeginWrite(const void* buffer, std::int32_t count,
                                        TComTransfer* transfer) {
    if (transfer == nullptr)
        throw EComPort::CreateWithoutOsCode(CError_InvalidAsync);
    transfer->Kind = tkWrite;
    transfer->Count = TransferCount(count);
    transfer->OwnAborts = FOwnAborts;
    TxEmptyFlag = false;
    comm::ICommApi& api = comm::Api();
    std::uint32_t written = 0;
    // A refused write is not raised: the caller learns it from the reply
    // that does not come (and WaitForTransfer returns at once). On an open
    // port it is a suspicion all the same.
    if (!api.WriteFile(FHandle, buffer, transfer->Count, &written, &transfer->Overlapped)) {
        const std::uint32_t error = api.GetLastError();
        if (error != comm::ERROR_IO_PENDING)
            NoteFailure(error, transfer->OwnAborts);
    }
    const auto result = static_cast<std::int32_t>(written);
    // Up to one tick for the event thread to report the transmit queue empty.
    // The GUI thread processes its messages meanwhile (the report may come
    // through them). Elsewhere nothing is processed: the writer blocks, a
    // millisecond at most at a time, woken by the report.
    if (host::IsMainThread()) {
        detail::ProcessMessages();
        if (!TxEmptyFlag) {
            const std::uint32_t t0 = api.GetTickCount();
            for (;;) {
                detail::ProcessMessages();
                if (static_cast<std::int32_t>(api.GetTickCount() - t0) >= 1 || TxEmptyFlag)
                    break;
            }
        }
    } else if (!TxEmptyFlag) {
        const std::uint32_t t0 = api.GetTickCount();
        while (!TxEmptyFlag && static_cast<std::int32_t>(api.GetTickCount() - t0) < 1)
            WaitForTxEmpty(std::chrono::milliseconds(1));
    }
    return result;
}

std::int32_t TCustomComPort::Write(const void* buffer, std::int32_t count) {
    TransferGuard t;
    // The record's own copy: a write given up on may still be read by the
    // driver. No buffer stays none, for the driver to refuse.
    const void* bytes = buffer;
    if (buffer != nullptr && count > 0) {
        t.Get()->Bytes.assign(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        bytes = t.Get()->Bytes.data();
    }
    BeginWrite(bytes, count, t.Get());
    return WaitForTransfer(t.Get());
}

std::int32_t TCustomComPort::BeginRead(void* buffer, std::int32_t count, TComTransfer* transfer) {
    if (transfer == nullptr)
        throw EComPort::CreateWithoutOsCode(CError_InvalidAsync);
    transfer->Kind = tkRead;
    transfer->Count = TransferCount(count);
    transfer->OwnAborts = FOwnAborts;
    comm::ICommApi& api = comm::Api();
    std::uint32_t read = 0;
    if (!api.ReadFile(FHandle, buffer, transfer->Count, &read, &transfer->Overlapped)) {
        const std::uint32_t error = api.GetLastError();
        if (error != comm::ERROR_IO_PENDING) {
            NoteFailure(error, transfer->OwnAborts);
            throw EComPort::Create(CError_ReadFailed, static_cast<std::int32_t>(error));
        }
    }
    return static_cast<std::int32_t>(read);
}

std::int32_t TCustomComPort::BeginReadString(std::string& str, std::int32_t count,
                                             TComTransfer* transfer) {
    if (count <= 0) {
        str.clear();
        return 0;
    }
    str.assign(static_cast<std::size_t>(count), '\0');
    return BeginRead(str.data(), count, transfer);
}

void TCustomComPort::ReadString(std::int32_t count, std::string& str) {
    TransferGuard t;
    // Into the record's own buffer: a read given up on may still be filled.
    std::string& local = t.Get()->Bytes;
    BeginReadString(local, count, t.Get());
    const std::int32_t n = WaitForTransfer(t.Get());
    // Only the bytes that arrived: padding with zero bytes would fabricate
    // data that a caller cannot tell from received zeros.
    str.assign(local, 0,
               static_cast<std::size_t>(
                   std::clamp<std::int32_t>(n, 0, static_cast<std::int32_t>(local.size()))));
}

std::int32_t TCustomComPort::ReadBlock(void* buffer, std::int32_t count) {
    TransferGuard t;
    std::string& local = t.Get()->Bytes;
    local.assign(TransferCount(count), '\0');
    BeginRead(local.data(), count, t.Get());
    const std::int32_t n = std::clamp<std::int32_t>(WaitForTransfer(t.Get()), 0,
                                                    static_cast<std::int32_t>(local.size()));
    std::copy_n(local.data(), n, static_cast<char*>(buffer));
    return n;
}

std::optional<std::uint64_t> TCustomComPort::TransferDeadline(const TComTransfer& transfer) const {
    const std::uint64_t count = transfer.Count;
    const TComTimeouts& t = *FTimeouts;
    std::uint64_t total = 0;
    if (transfer.Kind == tkWrite) {
        total = Dword(t.WriteTotalMultiplier()) * count + Dword(t.WriteTotalConstant());
    } else {
        const std::uint32_t interval = Dword(t.ReadInterval());
        const std::uint32_t multiplier = Dword(t.ReadTotalMultiplier());
        const std::uint32_t constant = Dword(t.ReadTotalConstant());
        if (interval == comm::MAXDWORD && multiplier == 0 && constant == 0)
            return 0; // ends at once with what is queued
        total = interval == comm::MAXDWORD && multiplier == comm::MAXDWORD
                    ? constant
                    : std::uint64_t{multiplier} * count + constant;
    }
    if (total == 0)
        return std::nullopt;
    return total;
}

std::uint32_t TCustomComPort::CancelTransfer(TComTransfer& transfer) {
    comm::ICommApi& api = comm::Api();
    NoteOwnAbort();
    api.PurgeComm(FHandle, transfer.Kind == tkWrite ? comm::PURGE_TXABORT : comm::PURGE_RXABORT);
    const std::uint32_t r = api.WaitForSingleObject(transfer.Overlapped.hEvent, CancelGraceMs);
    if (r != comm::WAIT_OBJECT_0) {
        transfer.Abandoned = true;
        ++FGivenUp;
    }
    // Past its deadline: whatever the driver says now, the port's own cancel
    // explains it; the overrun itself is the suspicion.
    if (FConnected)
        FSuspicion = comm::ERROR_TIMEOUT;
    return r;
}

std::int32_t TCustomComPort::WaitForTransfer(TComTransfer* transfer) {
    if (transfer == nullptr)
        throw EComPort::CreateWithoutOsCode(CError_InvalidAsync);
    comm::ICommApi& api = comm::Api();
    const comm::Handle done = transfer->Overlapped.hEvent;
    const std::optional<std::uint64_t> deadline = TransferDeadline(*transfer);
    const std::uint32_t first = deadline ? static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                               *deadline + TransferGraceMs, comm::INFINITE - 1))
                                         : kPresenceSliceMs;
    std::uint32_t r = api.WaitForSingleObject(done, first);
    while (r == comm::WAIT_TIMEOUT && !deadline &&
           comm::PortNamePresence(FPort.c_str()) != comm::TNamePresence::npAbsent)
        r = api.WaitForSingleObject(done, kPresenceSliceMs);
    if (r == comm::WAIT_TIMEOUT)
        r = CancelTransfer(*transfer);
    std::uint32_t n = 0;
    if (r == comm::WAIT_OBJECT_0 &&
        !api.GetOverlappedResult(FHandle, &transfer->Overlapped, &n, false))
        NoteFailure(api.GetLastError(), transfer->OwnAborts);
    if (transfer->Kind == tkRead)
        InQueueCount();
    return static_cast<std::int32_t>(n);
}

void TCustomComPort::AbortTransfers() {
    NoteOwnAbort();
    comm::Api().PurgeComm(FHandle, comm::PURGE_TXABORT | comm::PURGE_RXABORT);
}

std::int32_t TCustomComPort::InQueueCount() {
    comm::ICommApi& api = comm::Api();
    std::uint32_t errors = 0;
    comm::COMSTAT stat;
    if (!api.ClearCommError(FHandle, &errors, &stat)) {
        const std::uint32_t error = api.GetLastError();
        NoteFailure(error, FOwnAborts);
        throw EComPort::Create(CError_ClearComFailed, static_cast<std::int32_t>(error));
    }
    return static_cast<std::int32_t>(stat.cbInQue);
}

} // namespace cport
