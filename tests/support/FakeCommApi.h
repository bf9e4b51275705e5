#pragma once
// A scriptable communications backend for tests: comm::FakeCommApi.
//
// It behaves like a Windows serial driver just far enough for the component's
// tests, records every call with its arguments, and lets a test decide what
// each call answers:
//   - ports exist, are absent or busy by name ("COM3"); an open port is
//     exclusive (a second CreateFileA fails with ERROR_ACCESS_DENIED);
//   - events (CreateEventA, SetEvent, ResetEvent, WaitForSingleObject,
//     WaitForMultipleObjects) are real and thread-safe: a thread blocks in a
//     wait until another thread signals, with no polling;
//   - input bytes fed by the test fill the port's input queue (cbInQue of
//     ClearCommError) and complete reads as the COMMTIMEOUTS that were set
//     decide; comm events raised by the test complete a pending WaitCommEvent
//     or are kept for the next one, as Windows does;
//   - writes complete at once, or stay pending until the test completes them;
//   - any call can fail with a chosen OS error code (FailNext, FailAlways);
//   - GetTickCount runs on a fake clock that the test advances, or that
//     advances by itself on every call; Sleep advances it and returns at once;
//     finite timeouts (waits, read and write timeouts) run on this clock too.
//
// Example:
//
//   comm::FakeCommApi fake;
//   comm::ScopedCommApi use(fake);          // comm::Api() is the fake until scope end
//   fake.AddPort("COM3");
//   fake.FailNext("SetCommTimeouts", comm::ERROR_GEN_FAILURE);
//   port.Open();                            // the code under test
//   auto dcb = fake.CallsNamed("SetCommState").at(0).dcb;   // what was passed
//   EXPECT_EQ(dcb->BaudRate, 9600u);
//   ASSERT_TRUE(fake.WaitForCommWait("COM3"));  // the event thread is waiting
//   fake.FeedInput("COM3", std::string("\xF7\x8C", 2)); // raises EV_RXCHAR
//
// Overlapped operations (WaitCommEvent, ReadFile, WriteFile) need an
// overlapped block, as the component always passes one (ERROR_INVALID_PARAMETER
// without); WaitCommEvent also fails so with a mask of 0 or while another wait
// is pending. While an operation runs, the block's Internal holds 0x103 (as on
// Windows); once it ends, the fake keeps the Win32 error code (0: success) in
// Internal and the count in InternalHigh, and signals hEvent.
//
// Threading: every member may be called from any thread; one mutex guards the
// whole state. Calls that block (waits, GetOverlappedResult with wait true,
// the WaitFor* helpers) release it while they block. Ports are named by the
// test without the "\\.\" prefix; names compare without regard to case.

#include "serial/driver/CommApi.h"
#include "serial/driver/DriverRules.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace comm {

// One recorded call. Integer arguments are in the order of the call's
// parameters without the handle; pointers to out-values are not recorded.
//   CreateFileA         text = file name; args = access, share, disposition, flags
//   SetupComm           args = in queue, out queue
//   SetCommState        dcb
//   SetCommTimeouts     timeouts
//   PurgeComm, SetCommMask        args = flags / mask
//   ReadFile, WriteFile args = count; WriteFile also text = the bytes
//   GetOverlappedResult args = wait (0/1)
//   CreateEventA        args = manual reset, initial state
//   SetEvent, ResetEvent, CloseHandle: handle
//   WaitForSingleObject handle; args = milliseconds
//   WaitForMultipleObjects handles; args = wait all, milliseconds
//   SetLastError, Sleep args = value
// result is the returned value (1/0 for BOOL results, the handle, the wait
// result); error is the last error the call left (0 when it succeeded).
struct FakeCall {
    std::string name;
    Handle handle = INVALID_HANDLE_VALUE;
    std::vector<std::uint64_t> args;
    std::string text;
    std::optional<DCB> dcb;
    std::optional<COMMTIMEOUTS> timeouts;
    std::vector<Handle> handles;
    const void* overlapped = nullptr;
    std::int64_t result = 0;
    std::uint32_t error = 0;
    bool injected = false; // failed by FailNext/FailAlways
    std::thread::id thread;

    // One readable line, e.g. "SetupComm(h=0x104, 4096, 2048) -> 1".
    std::string ToString() const;
};

class FakeCommApi : public ICommApi {
public:
    // How a WriteFile on an open port ends.
    enum class WriteMode {
        kDoneAtOnce,       // returns true with the whole count
        kPendingCompleted, // returns false/ERROR_IO_PENDING, already completed
        kPendingHeld,      // returns false/ERROR_IO_PENDING; CompleteWrite ends it
    };
    static constexpr int kAlways = -1;

    FakeCommApi();
    ~FakeCommApi() override;
    FakeCommApi(const FakeCommApi&) = delete;
    FakeCommApi& operator=(const FakeCommApi&) = delete;

    // ---- Ports ---------------------------------------------------------------
    // Makes a port exist (free). Its DCB starts as 9600,N,8,1 with DCBlength
    // 28, its timeouts zero, its mask 0, its modem status 0.
    void AddPort(std::string_view name);
    // The port no longer exists (a USB adapter pulled): CreateFileA and
    // QueryDosDeviceA answer ERROR_FILE_NOT_FOUND; an open handle goes on as
    // the driver's rules say of a device gone, with driverError as the
    // driver's code for it (rules::kDeviceGone; real drivers give 995, 22, 5,
    // 31, 2 too). ERROR_SUCCESS: a driver that fails nothing: what is pending
    // stays pending, later calls succeed, and nothing more arrives.
    void RemovePort(std::string_view name, std::uint32_t driverError = rules::kDeviceGone);
    // A busy port exists but CreateFileA answers ERROR_ACCESS_DENIED.
    void SetPortBusy(std::string_view name, bool busy = true);
    // The open handle of the port, or INVALID_HANDLE_VALUE.
    Handle PortHandle(std::string_view name) const;
    bool IsOpen(std::string_view name) const;

    // ---- Line and driver state --------------------------------------------------
    // Appends bytes to the input queue (dropped while the port is closed;
    // zero bytes dropped with the DCB's fNull), completes pending reads, and
    // (raiseEvents) raises EV_RXCHAR, plus EV_RXFLAG when a byte equals the
    // DCB's EvtChar, and EV_RX80FULL when the queue reaches 80 % of its
    // size. What the pending reads do not take and the input size (4096
    // bytes until SetupComm sets one) cannot hold is lost with CE_RXOVER.
    void FeedInput(std::string_view name, std::string_view bytes, bool raiseEvents = true);
    // Raises comm events: the bits in the port's mask complete a pending
    // WaitCommEvent with that mask, or are kept (OR-ed) for the next wait.
    void RaiseEvents(std::string_view name, std::uint32_t events);
    // What GetCommModemStatus answers (MS_* bits).
    void SetModemStatus(std::string_view name, std::uint32_t status);
    // Line errors (CE_* bits) OR-ed into the flags that ClearCommError
    // reports once and clears.
    void AddLineErrors(std::string_view name, std::uint32_t errors);
    // A cbInQue that ClearCommError reports instead of the input queue's
    // size; nullopt: the real size again.
    void SetInQueueCount(std::string_view name, std::optional<std::uint32_t> count);
    std::size_t InputQueued(std::string_view name) const;
    // Everything written to the port so far (completed writes), and the same
    // while clearing it.
    std::string Written(std::string_view name) const;
    std::string TakeWritten(std::string_view name);
    // The last values set (or the initial ones).
    DCB CommState(std::string_view name) const;
    COMMTIMEOUTS CommTimeouts(std::string_view name) const;
    std::uint32_t CommMask(std::string_view name) const;

    // ---- Transfers ---------------------------------------------------------------
    void SetWriteMode(WriteMode mode);
    // Whether a completed write raises EV_TXEMPTY (default true).
    void SetTxEmptyOnWrite(bool on);
    // A driver that ends no held write by its write timeouts (Wine on a
    // hung-up pseudo-terminal): only CompleteWrite, a purge or a close do.
    void SetWriteTimeoutsIgnored(bool ignored);
    // Ends the oldest pending write with count bytes (nullopt: all) and error
    // (0: success). False when none is pending.
    bool CompleteWrite(std::string_view name, std::optional<std::uint32_t> count = std::nullopt,
                       std::uint32_t error = 0);
    std::size_t PendingWrites(std::string_view name) const;
    std::size_t PendingReads(std::string_view name) const;
    bool CommWaitPending(std::string_view name) const;

    // ---- Failures ------------------------------------------------------------------
    // The call named `call` (e.g. "SetupComm") fails with OS code `error`:
    // after `skip` calls that succeed, `times` calls fail (kAlways: all).
    // A failed call returns its failure value (false, INVALID_HANDLE_VALUE
    // from CreateFileA, 0 from CreateEventA, WAIT_FAILED from waits), sets the
    // last error and changes nothing; a refused overlapped operation leaves
    // its event as it was. GetLastError, SetLastError, GetTickCount and Sleep
    // cannot fail.
    void Fail(std::string_view call, std::uint32_t error, int times, int skip = 0);
    void FailNext(std::string_view call, std::uint32_t error) { Fail(call, error, 1); }
    void FailAlways(std::string_view call, std::uint32_t error) { Fail(call, error, kAlways); }
    void ClearFailures();

    // ---- Clock ------------------------------------------------------------------------
    std::uint32_t Now() const;
    void SetClock(std::uint32_t ticks);
    void AdvanceClock(std::uint32_t ms);
    // step > 0: every GetTickCount call advances the clock by step after
    // answering; 0: only AdvanceClock/SetClock/Sleep move it.
    void SetAutoAdvance(std::uint32_t step);

    // ---- Recording ----------------------------------------------------------------------
    std::vector<FakeCall> Calls() const;
    std::vector<FakeCall> CallsNamed(std::string_view name) const;
    std::size_t CallCount(std::string_view name) const;
    // Names of the calls in order, leaving out the given names (e.g.
    // {"GetLastError", "GetTickCount"}).
    std::vector<std::string> CallNames(const std::vector<std::string>& except = {}) const;
    // Every call, one ToString() line each.
    std::string Trace() const;
    void ClearCalls();
    // Handles (ports and events) created and not yet closed.
    std::size_t OpenHandles() const;
    bool IsSignalled(Handle event) const;

    // ---- Waiting for the code under test (real time, for the test thread) -------------
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout kDefaultTimeout{20000};
    // Until `count` calls named `name` have been made in all.
    bool WaitForCalls(std::string_view name, std::size_t count, Timeout timeout = kDefaultTimeout);
    // Until a WaitCommEvent is pending on the port.
    bool WaitForCommWait(std::string_view name, Timeout timeout = kDefaultTimeout);
    // Until at least one read / write is pending on the port.
    bool WaitForPendingRead(std::string_view name, Timeout timeout = kDefaultTimeout);
    bool WaitForPendingWrite(std::string_view name, Timeout timeout = kDefaultTimeout);

    // ---- ICommApi -----------------------------------------------------------------------
    Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                       std::uint32_t creationDisposition,
                       std::uint32_t flagsAndAttributes) override;
    bool CloseHandle(Handle object) override;
    bool SetupComm(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool SetCommState(Handle port, const DCB* dcb) override;
    bool GetCommState(Handle port, DCB* dcb) override;
    bool SetCommTimeouts(Handle port, const COMMTIMEOUTS* timeouts) override;
    bool GetCommTimeouts(Handle port, COMMTIMEOUTS* timeouts) override;
    bool ClearCommError(Handle port, std::uint32_t* errors, COMSTAT* stat) override;
    bool GetCommModemStatus(Handle port, std::uint32_t* modemStatus) override;
    bool PurgeComm(Handle port, std::uint32_t flags) override;
    bool SetCommMask(Handle port, std::uint32_t eventMask) override;
    bool GetCommMask(Handle port, std::uint32_t* eventMask) override;
    bool WaitCommEvent(Handle port, std::uint32_t* eventMask, Overlapped* overlapped) override;
    bool ReadFile(Handle port, void* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped* overlapped) override;
    bool WriteFile(Handle port, const void* buffer, std::uint32_t count, std::uint32_t* written,
                   Overlapped* overlapped) override;
    bool GetOverlappedResult(Handle port, Overlapped* overlapped, std::uint32_t* transferred,
                             bool wait) override;
    Handle CreateEventA(bool manualReset, bool initialState) override;
    bool SetEvent(Handle event) override;
    bool ResetEvent(Handle event) override;
    std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) override;
    std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool waitAll,
                                         std::uint32_t milliseconds) override;
    // The existing ports' names, each with a device path of the fake's own.
    std::uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath,
                                  std::uint32_t max) override;
    std::uint32_t GetLastError() override;
    void SetLastError(std::uint32_t error) override;
    std::uint32_t GetTickCount() override;
    void Sleep(std::uint32_t milliseconds) override;

private:
    struct Event;
    struct Port;
    struct Read;
    struct Write;
    struct Waiter {
        std::vector<std::shared_ptr<Event>> events;
        bool all = false;
        std::optional<std::uint32_t> result;
    };
    struct Failure {
        std::uint32_t error = 0;
        int times = 0;
        int skip = 0;
    };
    using Lock = std::unique_lock<std::mutex>;

    // Calls are numbered from the first ever made; ClearCalls keeps counting.
    std::size_t Record(FakeCall call);
    FakeCall* Recorded(std::size_t sequence);
    void Finish(std::size_t sequence, std::int64_t result, std::uint32_t error);
    std::uint32_t Wait(const char* name, std::uint32_t count, const Handle* objects, bool waitAll,
                       std::uint32_t milliseconds);
    std::optional<std::uint32_t> Injected(const std::string& call);
    void SetError(std::uint32_t error);
    Port* FindPort(std::string_view name) const;
    Port& PortNamed(std::string_view name) const;
    Port* PortOf(Handle handle) const;
    std::shared_ptr<Event> EventOf(Handle handle) const;
    Handle NewHandle();

    // State changes; all run with mutex_ held.
    void Signal(const std::shared_ptr<Event>& event);
    bool Satisfy(Waiter& waiter);
    void Complete(Overlapped* ov, const std::shared_ptr<Event>& event, std::uint32_t error,
                  std::uint32_t count);
    void RaiseLocked(Port& port, std::uint32_t events);
    void ServeReads(Port& port);
    void ExpireTimeouts();
    void AbortAll(Port& port, std::uint32_t error);
    void FinishWrite(Port& port, Write& write, std::uint32_t count, std::uint32_t error);
    void AdvanceLocked(std::uint32_t ms);
    bool WaitRealTime(Lock& lock, Timeout timeout, const std::function<bool()>& ready);

    mutable std::mutex mutex_;
    std::condition_variable changed_; // any state change; waiters recheck
    std::map<std::string, std::unique_ptr<Port>> ports_;
    std::map<Handle, std::shared_ptr<Event>> events_;
    std::list<Waiter*> waiters_; // blocked in a wait, oldest first
    Handle nextHandle_ = 0x100;
    std::map<std::string, Failure, std::less<>> failures_;
    std::map<std::thread::id, std::uint32_t> lastError_;
    std::vector<FakeCall> calls_;
    std::size_t callsCleared_ = 0;
    std::uint32_t clock_ = 1000;
    std::int64_t elapsed_ = 0; // the clock's moves added up, without wrapping
    std::uint32_t autoStep_ = 0;
    WriteMode writeMode_ = WriteMode::kDoneAtOnce;
    bool txEmptyOnWrite_ = true;
    bool writeTimeoutsIgnored_ = false;
};

// Makes an API the one comm::Api() returns for the life of this object, and
// restores the previous one afterwards.
class ScopedCommApi {
public:
    explicit ScopedCommApi(ICommApi& api) : previous_(SetApi(&api)) {}
    ~ScopedCommApi() { SetApi(previous_); }
    ScopedCommApi(const ScopedCommApi&) = delete;
    ScopedCommApi& operator=(const ScopedCommApi&) = delete;

private:
    ICommApi* previous_;
};

} // namespace comm
