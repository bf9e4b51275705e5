// Unit CPort: the event thread and event delivery.

#include "serial/CPortThread.h"

#include "host/ExceptionDisplay.h"

#include <array>
#include <utility>

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

// Completions that fail in a row before the body takes the port for gone.
constexpr int kFailedWaitsBeforeParking = 3;

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

TComThread::TComThread(TCustomComPort& port) : FComPort(port) {
    comm::ICommApi& api = comm::Api();
    FStopEvent = api.CreateEventA(true, false);
    api.SetCommMask(FComPort.FHandle, ComEventsToMask(FComPort.FEvents));
    FThread = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
    if (!FThread.joinable())
        return; // reaped: the body has ended and closed its events
    SignalStop();
    if (FThread.joinable() && FThread.get_id() == std::this_thread::get_id())
        FThread.detach(); // destroyed by its own delivery: the body ends by itself
    else
        detail::WaitForThread(FThread);
}

bool TComThread::InsideDelivery() const {
    return FDeliveringOnGuiThread || FThread.get_id() == std::this_thread::get_id();
}

void TComThread::StopAndReleaseHandleLater() {
    FReleasesHandle = true;
    SignalStop();
}

bool TComThread::Reap() {
    if (InsideDelivery())
        return false;
    detail::WaitForThread(FThread);
    return true;
}

void TComThread::SignalStop() {
    comm::ICommApi& api = comm::Api();
    api.SetEvent(FStopEvent);
    api.Sleep(0);
}

void TComThread::Execute() {
    comm::ICommApi& api = comm::Api();
    const comm::Handle port = FComPort.FHandle;
    comm::Overlapped overlapped;
    overlapped.hEvent = api.CreateEventA(true, true);
    const std::array<comm::Handle, 2> waitList = {FStopEvent, overlapped.hEvent};
    std::uint32_t mask = 0;
    int failedInARow = 0;
    bool pending = false;
    for (;;) {
        bool started = false;
        if (failedInARow < kFailedWaitsBeforeParking) {
            started = api.WaitCommEvent(port, &mask, &overlapped) ||
                      api.GetLastError() == comm::ERROR_IO_PENDING;
        }
        pending = started;
        // A wait the driver will not even start (the device has gone, the
        // handle is broken) would leave the event as it was and the loop
        // spinning; as would waits that fail again and again. Nothing more
        // will come from such a port: wait for the stop alone.
        if (!started) {
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
        } else {
            ++failedInARow;
        }
    }
    api.SetCommMask(port, 0); // also ends a wait that is still pending on the block
    api.PurgeComm(port, comm::PURGE_TXCLEAR | comm::PURGE_RXCLEAR);
    // A wait still pending completes into the block and mask on this stack:
    // the mask of 0 has ended it; make sure the driver is done with them.
    if (pending) {
        std::uint32_t ignored = 0;
        api.GetOverlappedResult(port, &overlapped, &ignored, true);
    }
    api.CloseHandle(overlapped.hEvent);
    api.CloseHandle(FStopEvent);
    // Closed from inside a delivery: the port could not wait for this body,
    // so the handle is released here, after its last use.
    if (FReleasesHandle)
        api.CloseHandle(port);
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
            FComPort.FSyncWindow->Send(0x0401, MaskBit(event), 0);
}

} // namespace cport
