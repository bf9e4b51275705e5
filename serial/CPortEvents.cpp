// Unit CPort: the port's events, as the event thread hands them over, and
// the handlers they fire.

#include "serial/CPort.h"

#include "host/ExceptionDisplay.h"
#include "host/MessageLoop.h"
#include "serial/CPortErrors.h"
#include "serial/CPortThread.h"

namespace cport {

// ---- Notifications and event processing --------------------------------------------------

void TCustomComPort::HandleBeforeOpen() {
    FireBeforeOpen();
}
void TCustomComPort::HandleAfterOpen() {
    FireAfterOpen();
    ReportSignals(true);
}
void TCustomComPort::HandleBeforeClose() {
    ReportSignals(false);
    FireBeforeClose();
}
void TCustomComPort::HandleAfterClose() {
    FireAfterClose();
}

void TCustomComPort::ReportSignals(bool open) {
    if (open) {
        HandleCTSChange();
        HandleDSRChange();
        HandleRLSDChange();
    } else {
        FireCTSChange(false);
        FireDSRChange(false);
        FireRLSDChange(false);
    }
}

void TCustomComPort::HandleError() {
    const TComErrors errors = ReadLineErrors();
    if (!errors.Empty())
        FireError(errors);
}
void TCustomComPort::HandleRxChar() {
    const std::int32_t count = InQueueCount();
    if (count > 0)
        FireRxChar(count);
}
void TCustomComPort::HandleTxEmpty() {
    FireTxEmpty();
}
void TCustomComPort::HandleBreak() {
    FireBreak();
}
void TCustomComPort::HandleRing() {
    FireRing();
}
void TCustomComPort::HandleCTSChange() {
    FireCTSChange(ModemSignals().Contains(lsCTS));
}
void TCustomComPort::HandleDSRChange() {
    FireDSRChange(ModemSignals().Contains(lsDSR));
}
void TCustomComPort::HandleRxFlag() {
    FireRxFlag();
}
void TCustomComPort::HandleRLSDChange() {
    FireRLSDChange(ModemSignals().Contains(lsRLSD));
}
void TCustomComPort::HandleRx80Full() {
    FireRx80Full();
}

namespace {

using TProcessing = void (TCustomComPort::*)();

// One processing of a port's events on the calling thread's stack: a batch
// (RaiseEvents) or one message of smWindowSync. A Close of the port on the
// same thread, from a handler of that processing or of one it serves, ends
// it: the rest is not processed, and the port is not touched again, since it
// may have been destroyed. Seen only by the thread whose stack it is on.
class TDelivery {
public:
    explicit TDelivery(const TCustomComPort* port) : FPort(port), FOuter(tInnermost) {
        tInnermost = this;
    }
    ~TDelivery() { tInnermost = FOuter; }
    TDelivery(const TDelivery&) = delete;
    TDelivery& operator=(const TDelivery&) = delete;

    bool Live() const { return FLive; }

    // Ends this thread's deliveries of port; whether there was one.
    static bool EndAll(const TCustomComPort* port) {
        bool any = false;
        for (TDelivery* d = tInnermost; d != nullptr; d = d->FOuter) {
            if (d->FPort == port) {
                d->FLive = false;
                any = true;
            }
        }
        return any;
    }

private:
    static inline thread_local TDelivery* tInnermost = nullptr;
    const TCustomComPort* FPort;
    TDelivery* FOuter;
    bool FLive = true;
};

} // namespace

void TCustomComPort::DropDeliveries() {
    if (TDelivery::EndAll(this))
        FEventsDropped = true;
}

void TCustomComPort::RaiseEvents(TComEvents events) {
    static constexpr std::array<std::pair<TComEvent, TProcessing>, 10> order = {{
        {evError, &TCustomComPort::HandleError},
        {evRxChar, &TCustomComPort::HandleRxChar},
        {evTxEmpty, &TCustomComPort::HandleTxEmpty},
        {evBreak, &TCustomComPort::HandleBreak},
        {evRing, &TCustomComPort::HandleRing},
        {evCTS, &TCustomComPort::HandleCTSChange},
        {evDSR, &TCustomComPort::HandleDSRChange},
        {evRxFlag, &TCustomComPort::HandleRxFlag},
        {evRLSD, &TCustomComPort::HandleRLSDChange},
        {evRx80Full, &TCustomComPort::HandleRx80Full},
    }};
    const TDelivery delivery(this);
    for (const auto& [event, processing] : order) {
        // A handler closed or destroyed the port: the rest of the batch goes.
        if (!delivery.Live())
            return;
        if (!events.Contains(event))
            continue;
        // One event's failure (a refused query, a handler that raised) is shown
        // and must not stop the others or the event thread.
        try {
            (this->*processing)();
        } catch (...) {
            detail::ShowExceptionOnGuiThread(std::current_exception());
        }
    }
}

std::intptr_t TCustomComPort::EventWindowProc(std::uint32_t message, std::uintptr_t wParam,
                                              std::intptr_t lParam) {
    (void)lParam;
    if (message != CM_ComEvent)
        return 0; // the default procedure: nothing to do for a window without a face
    try {
        // Release the event thread before processing: it goes on waiting for
        // the driver while the handlers run here.
        if (host::InSendMessage())
            host::ReplyMessage(0);
        // Nothing of this port is touched after the processing: a handler
        // may have destroyed it.
        if (FConnected && !FEventsDropped) {
            const TDelivery delivery(this);
            ProcessWindowEvent(wParam);
        }
    } catch (...) {
        host::ShowException(std::current_exception());
    }
    return 0;
}

void TCustomComPort::ProcessWindowEvent(std::uintptr_t wParam) {
    TProcessing processing = nullptr;
    switch (wParam) {
    case comm::EV_RXCHAR:
        processing = &TCustomComPort::HandleRxChar;
        break;
    case comm::EV_RXFLAG:
        processing = &TCustomComPort::HandleRxFlag;
        break;
    case comm::EV_TXEMPTY:
        processing = &TCustomComPort::HandleTxEmpty;
        break;
    case comm::EV_CTS:
        processing = &TCustomComPort::HandleCTSChange;
        break;
    case comm::EV_DSR:
        processing = &TCustomComPort::HandleDSRChange;
        break;
    case comm::EV_RLSD:
        processing = &TCustomComPort::HandleRLSDChange;
        break;
    case comm::EV_BREAK:
        processing = &TCustomComPort::HandleBreak;
        break;
    case comm::EV_ERR:
        processing = &TCustomComPort::HandleError;
        break;
    case comm::EV_RING:
        processing = &TCustomComPort::HandleRing;
        break;
    case comm::EV_RX80FULL:
        processing = &TCustomComPort::HandleRx80Full;
        break;
    default:
        return;
    }
    (this->*processing)();
}

// ---- Firing operations ----------------------------------------------------------------

namespace {

// Calls a handler through a copy of it, as through a method pointer: the
// handler may destroy the port (whose member it is) or assign the event a
// new handler, and its own state lives until it returns.
template <typename THandler, typename... TArgs>
void CallHandler(const THandler& handler, TArgs... args) {
    const THandler running = handler;
    running(args...);
}

} // namespace

void TCustomComPort::FireAfterClose() {
    if (OnAfterClose)
        CallHandler(OnAfterClose, this);
}
void TCustomComPort::FireAfterOpen() {
    if (OnAfterOpen)
        CallHandler(OnAfterOpen, this);
}
void TCustomComPort::FireBeforeClose() {
    if (OnBeforeClose)
        CallHandler(OnBeforeClose, this);
}
void TCustomComPort::FireBeforeOpen() {
    if (OnBeforeOpen)
        CallHandler(OnBeforeOpen, this);
}
void TCustomComPort::FireRxChar(std::int32_t count) {
    if (OnRxChar) {
        CallHandler(OnRxChar, this, count);
        return;
    }
    // Nobody takes the bytes: read and drop them so the input queue does not keep them.
    std::string dropped;
    ReadString(count, dropped);
}
void TCustomComPort::FireRxBuf(const void* buffer, std::int32_t count) {
    if (OnRxBuf)
        CallHandler(OnRxBuf, this, buffer, count);
}
void TCustomComPort::FireTxEmpty() {
    detail::ReportTxEmpty();
    if (OnTxEmpty)
        CallHandler(OnTxEmpty, this);
}
void TCustomComPort::FireBreak() {
    if (OnBreak)
        CallHandler(OnBreak, this);
}
void TCustomComPort::FireRing() {
    if (OnRing)
        CallHandler(OnRing, this);
}
void TCustomComPort::FireRxFlag() {
    if (OnRxFlag)
        CallHandler(OnRxFlag, this);
}
void TCustomComPort::FireCTSChange(bool onOff) {
    if (OnCTSChange)
        CallHandler(OnCTSChange, this, onOff);
}
void TCustomComPort::FireDSRChange(bool onOff) {
    if (OnDSRChange)
        CallHandler(OnDSRChange, this, onOff);
}
void TCustomComPort::FireError(TComErrors errors) {
    if (OnError)
        CallHandler(OnError, this, errors);
}
void TCustomComPort::FireRLSDChange(bool onOff) {
    if (OnRLSDChange)
        CallHandler(OnRLSDChange, this, onOff);
}
void TCustomComPort::FireRx80Full() {
    if (OnRx80Full)
        CallHandler(OnRx80Full, this);
}

} // namespace cport
