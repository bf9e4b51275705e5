// Unit CPort: the event thread and event delivery.

#include "serial/CPortThread.h"

#include "host/ExceptionDisplay.h"

#include <array>
#include <mutex>
#include <utility>
#include <vector>

namespace cport {

namespace {

// Each event with its bit of the driver's mask, in the order of TComEvent.
constexpr std::array<std::pair<TComEvent, std::uint32_t>, 10> kEventBits = {{
    {evRxChar, comm::EV_RXCHAR},
    {evTxEmpty, comm::EV_TXEMPTY},
    {evRxFlag, comm::EV_RXFLAG},
    {evRing, comm::EV_RING},
    {evBreak, comm::EV_BREAK},
    {evCTS, comm::EV_CTS},
    {evDSR, comm::EV_DSR},
    {evError, comm::EV_ERR},
    {evRLSD, comm::EV_RLSD},
    {evRx80Full, comm::EV_RX80FULL},
}};

// The order in which a batch is processed, and in which smWindowSync sends it.
constexpr std::array<TComEvent, 10> kDeliveryOrder = {
    evError, evRxChar, evTxEmpty, evBreak, evRing, evCTS, evDSR, evRxFlag, evRLSD, evRx80Full};

std::uint32_t MaskBit(TComEvent event) {
    for (const auto& [e, bit] : kEventBits)
        if (e == event)
            return bit;
    return 0;
}

// Completions that fail in a row before the body pauses between waits, and
// the pause (ms). A driver may fail every wait: Wine on a pseudo-terminal
// ends each pending wait with ERROR_OPERATION_ABORTED a few milliseconds
// after it started, and reports received bytes only to a wait that starts
// while they are queued. Retried at that pace, the events still come, without
// the loop spinning.
constexpr int kFailedWaitsBeforePause = 3;
constexpr std::uint32_t kRetryPauseMs = 10;

// The events of the modem lines, which a driver without them will not watch.
constexpr std::uint32_t kModemLineEvents =
    comm::EV_CTS | comm::EV_DSR | comm::EV_RING | comm::EV_RLSD;

// The thread object whose body runs on this thread, if any.
thread_local const TComThread* tRunningBody = nullptr;

// The block and mask of the body's event wait, on the heap: a wait that the
// driver does not end when the body stops is left to it, with them.
struct TWaitBlock {
    comm::Overlapped Overlapped;
    std::uint32_t Mask = 0;
};

void KeepForTheDriver(std::unique_ptr<TWaitBlock> block) {
    static std::mutex lock;
    static std::vector<std::unique_ptr<TWaitBlock>> kept;
    std::lock_guard<std::mutex> guard(lock);
    kept.push_back(std::move(block));
}

} // namespace

std::uint32_t ComEventsToMask(TComEvents events) {
    std::uint32_t mask = 0;
    for (const auto& [event, bit] : kEventBits)
        if (events.Contains(event))
            mask |= bit;
    return mask;
}

TComEvents MaskToComEvents(std::uint32_t mask) {
    TComEvents events;
    for (const auto& [event, bit] : kEventBits)
        if ((mask & bit) != 0)
            events.Include(event);
    return events;
}

// ---- TComThread ---------------------------------------------------------------------

TComThread::TComThread(TCustomComPort& port)
    : FComPort(port), FMask(ComEventsToMask(port.FEvents)) {
    JoinEndedThreads(); // where no GUI thread joins them
    comm::ICommApi& api = comm::Api();
    FStopEvent = api.CreateEventA(true, false);
    api.SetCommMask(FComPort.FHandle, FMask);
    FThread = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
    if (!FThread.joinable())
        return; // joined already (an adopted thread)
    if (!FStopSignalled)
        SignalStop();
    detail::WaitForThread(FThread);
}

bool TComThread::InsideDelivery() const {
    return FDeliveringOnGuiThread || tRunningBody == this;
}

void TComThread::StopFromItsDelivery() {
    FLeftPort = true;
    SignalStop();
    // The body is blocked in the delivery, with no wait pending on the port:
    // its last calls on the port are made here, on the still open handle.
    comm::ICommApi& api = comm::Api();
    FComPort.NoteOwnAbort();
    api.SetCommMask(FComPort.FHandle, 0);
    api.PurgeComm(FComPort.FHandle, comm::PURGE_TXCLEAR | comm::PURGE_RXCLEAR);
}

void TComThread::SignalStop() {
    comm::ICommApi& api = comm::Api();
    FStopSignalled = true;
    api.SetEvent(FStopEvent);
    api.Sleep(0);
}

void TComThread::Execute() {
    tRunningBody = this;
    comm::ICommApi& api = comm::Api();
    const comm::Handle port = FComPort.FHandle;
    auto block = std::make_unique<TWaitBlock>();
    comm::Overlapped& overlapped = block->Overlapped;
    std::uint32_t& mask = block->Mask;
    overlapped.hEvent = api.CreateEventA(true, true);
    const std::array<comm::Handle, 2> waitList = {FStopEvent, overlapped.hEvent};
    std::uint32_t ownAborts = 0; // the port's own aborts when the wait started
    int failedInARow = 0;
    bool pending = false;
    bool narrowed = false;
    for (;;) {
        if (failedInARow >= kFailedWaitsBeforePause &&
            api.WaitForSingleObject(FStopEvent, kRetryPauseMs) != comm::WAIT_TIMEOUT)
            break;
        ownAborts = FComPort.FOwnAborts;
        bool started = api.WaitCommEvent(port, &mask, &overlapped);
        std::uint32_t error = comm::ERROR_SUCCESS;
        if (!started) {
            error = api.GetLastError();
            started = error == comm::ERROR_IO_PENDING;
            // A driver without modem lines took the mask but will not watch
            // them: the rest is still worth waiting for. Once only, so that
            // a driver that refuses the rest too is not asked again and again.
            if (!started && error == comm::ERROR_NOT_SUPPORTED && !narrowed) {
                narrowed = true;
                const std::uint32_t rest = FMask & ~kModemLineEvents;
                if (rest != FMask && rest != 0 && api.SetCommMask(port, rest))
                    continue;
            }
        }
        pending = started;
        // A wait the driver will not even start (the device has gone, the
        // handle is broken) would leave the event as it was and the loop
        // spinning. Nothing more will come from such a port: wait for the
        // stop alone.
        if (!started) {
            FComPort.NoteFailure(error, ownAborts);
            api.WaitForSingleObject(FStopEvent, comm::INFINITE);
            break;
        }
        const std::uint32_t r =
            api.WaitForMultipleObjects(2, waitList.data(), false, comm::INFINITE);
        if (r != comm::WAIT_OBJECT_0 + 1)
            break;
        pending = false;
        std::uint32_t transferred = 0;
        if (api.GetOverlappedResult(port, &overlapped, &transferred, false)) {
            failedInARow = 0;
            FEvents = MaskToComEvents(mask);
            // Processing shows its own failures; anything else that escapes
            // the hand-over (the runtime's own) is shown too, and the thread
            // goes on delivering.
            try {
                DeliverEvents();
            } catch (...) {
                detail::ShowExceptionOnGuiThread(std::current_exception());
            }
            // Closed or destroyed inside that delivery: the port has made
            // the last calls on its handle and may be gone.
            if (FLeftPort)
                break;
        } else {
            // A driver may end every wait so (Wine on a pseudo-terminal:
            // ERROR_OPERATION_ABORTED); the port judges whether its device
            // has gone when asked.
            FComPort.NoteFailure(api.GetLastError(), ownAborts);
            ++failedInARow;
        }
    }
    bool abandoned = false;
    if (!FLeftPort) {
        FComPort.NoteOwnAbort();
        api.SetCommMask(port, 0); // also ends a wait that is still pending on the block
        api.PurgeComm(port, comm::PURGE_TXCLEAR | comm::PURGE_RXCLEAR);
        // A wait still pending completes into the block: the mask of 0 has
        // ended it. A driver whose device has gone may not end it at all:
        // the block is then left to it, and the body ends all the same.
        if (pending) {
            if (api.WaitForSingleObject(overlapped.hEvent, CancelGraceMs) == comm::WAIT_OBJECT_0) {
                std::uint32_t ignored = 0;
                api.GetOverlappedResult(port, &overlapped, &ignored, false);
            } else {
                abandoned = true;
                ++FComPort.FGivenUp;
            }
        }
    }
    // Adopted (FLeftPort): nobody waits for this body. From FEnded on it
    // touches nothing of this object, which a join may then free; a join
    // still waits for the two closes.
    const comm::Handle stopEvent = FStopEvent;
    const bool adopted = FLeftPort;
    if (adopted)
        FEnded = true;
    if (abandoned)
        KeepForTheDriver(std::move(block));
    else
        api.CloseHandle(overlapped.hEvent);
    api.CloseHandle(stopEvent);
    if (adopted)
        detail::PostToGuiThread(JoinEndedThreads);
}

void TComThread::DeliverEvents() {
    switch (FComPort.FSyncMethod) {
    case smThreadSync:
        detail::Synchronize([this] {
            FDeliveringOnGuiThread = true;
            try {
                FComPort.RaiseEvents(FEvents);
            } catch (...) {
                FDeliveringOnGuiThread = false;
                throw;
            }
            FDeliveringOnGuiThread = false;
        });
        break;
    case smWindowSync:
        SendEventsToWindow();
        break;
    case smNone:
        FComPort.RaiseEvents(FEvents);
        break;
    }
}

void TComThread::SendEventsToWindow() {
    for (TComEvent event : kDeliveryOrder)
        if (FEvents.Contains(event))
            FComPort.FSyncWindow->Send(CM_ComEvent, MaskBit(event), 0);
}

// ---- Threads stopped from inside their delivery -------------------------------------------

class TStoppedThreads {
public:
    TStoppedThreads() = default;
    TStoppedThreads(const TStoppedThreads&) = delete;
    TStoppedThreads& operator=(const TStoppedThreads&) = delete;
    // The program ends: whatever is left ends by itself (nothing of it waits
    // for anyone) and is joined here, without the runtime.
    ~TStoppedThreads() {
        std::vector<std::unique_ptr<TComThread>> left;
        {
            std::lock_guard guard(FLock);
            left.swap(FThreads);
        }
        for (auto& thread : left)
            if (thread->FThread.joinable() &&
                thread->FThread.get_id() != std::this_thread::get_id())
                thread->FThread.join();
    }

    void Add(std::unique_ptr<TComThread> thread) {
        std::lock_guard guard(FLock);
        FThreads.push_back(std::move(thread));
    }

    void JoinEnded() {
        std::vector<std::unique_ptr<TComThread>> ended;
        {
            std::lock_guard guard(FLock);
            auto keep = FThreads.begin();
            for (auto& thread : FThreads) {
                if (thread->FEnded && thread->FThread.get_id() != std::this_thread::get_id())
                    ended.push_back(std::move(thread));
                else
                    *keep++ = std::move(thread);
            }
            FThreads.erase(keep, FThreads.end());
        }
        // An ended body has only to return: the joins are short.
        for (auto& thread : ended)
            thread->FThread.join();
    }

    std::size_t Count() {
        std::lock_guard guard(FLock);
        return FThreads.size();
    }

private:
    std::mutex FLock;
    std::vector<std::unique_ptr<TComThread>> FThreads;
};

namespace {

TStoppedThreads& StoppedThreads() {
    static TStoppedThreads threads;
    return threads;
}

} // namespace

void AdoptStoppedThread(std::unique_ptr<TComThread> thread) {
    StoppedThreads().Add(std::move(thread));
}

void JoinEndedThreads() {
    StoppedThreads().JoinEnded();
}

std::size_t StoppedThreadsNotJoined() {
    return StoppedThreads().Count();
}

} // namespace cport
