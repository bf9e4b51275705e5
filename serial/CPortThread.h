#pragma once
// Unit CPort: the event thread of an open port, TComThread, and the mapping
// between the component's events and the driver's event mask.
//
// A port that is open with a non-empty Events set owns one TComThread. The
// thread waits in the driver (one overlapped WaitCommEvent and one wait on two
// objects per batch; it polls only a driver that fails wait after wait, every
// 10 ms) and hands each batch of events to the port's processing on the
// thread SyncMethod selects:
//   smThreadSync  the GUI thread, through the runtime's hand-over; the event
//                 thread blocks until the batch has been processed;
//   smWindowSync  the GUI thread, one message CM_ComEvent per event sent to
//                 the port's SyncWindow; the GUI thread releases the event thread
//                 before it processes the event;
//   smNone        the event thread itself.
//
// A driver that cannot watch the modem lines refuses every wait whose mask
// holds one of them (ERROR_NOT_SUPPORTED at once): the thread then sets the
// mask without EV_CTS, EV_DSR, EV_RING and EV_RLSD, once, and waits for the
// other events; those four are not delivered on that port.
//
// Construction (GUI thread) sets the driver's event mask from Events and
// starts the thread; destruction signals the stop event and waits for the
// body to end while serving the GUI thread's hand-overs and sent messages, so
// a thread blocked in a delivery can finish it. The body clears the mask and
// purges both queues before it ends; the port's handle stays open until then.
//
// A thread cannot be waited for by the delivery it is blocked in (a handler
// that closes or destroys its port under smThreadSync or smNone). Such a
// close calls StopFromItsDelivery instead: the port makes the body's last
// calls on the handle itself and hands the thread to AdoptStoppedThread. The
// body no longer touches the port; once the delivery has returned it closes
// its two events and ends, and is joined then.

#include "serial/CPort.h"
#include "serial/driver/CommApi.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

namespace host {
class THiddenWindow;
} // namespace host

namespace cport {

// The driver's event mask for a set of events, and back; mask bits that stand
// for no event are dropped.
std::uint32_t ComEventsToMask(TComEvents events);
TComEvents MaskToComEvents(std::uint32_t mask);

class TComThread {
public:
    // Creates the stop event, sets the driver's mask to the port's Events and
    // starts the thread. The port must be open and must outlive the thread.
    explicit TComThread(TCustomComPort& port);
    // SignalStop, then waits for the body to end (serving hand-overs meanwhile).
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    // Tells the body to end: sets the stop event and yields.
    void SignalStop();

    // Whether the caller runs inside this thread's delivery: a handler on the
    // GUI thread that the thread waits for (smThreadSync), or the thread
    // itself (smNone, or any method without a GUI thread). Such a caller
    // cannot wait for the thread to end.
    bool InsideDelivery() const;
    // For a close from inside the delivery (InsideDelivery): tells the body to
    // stop and to leave the port alone from now on, then clears the driver's
    // mask and purges both queues as the body would have. The port's handle
    // may then be closed at once. The object goes to AdoptStoppedThread.
    void StopFromItsDelivery();

private:
    friend class TStoppedThreads;
    void Execute();
    void DeliverEvents();
    void SendEventsToWindow();

    TCustomComPort& FComPort;  // not used once FLeftPort is set: it may be gone
    const std::uint32_t FMask; // the driver's mask for the port's Events at construction
    comm::Handle FStopEvent = comm::INVALID_HANDLE_VALUE;
    TComEvents FEvents;                  // the batch being delivered; written and read by the body
    bool FDeliveringOnGuiThread = false; // by the thread that runs the hand-over
    std::atomic<bool> FStopSignalled{false};
    std::atomic<bool> FLeftPort{false}; // set by StopFromItsDelivery
    std::atomic<bool> FEnded{false};    // by an adopted body, which then touches nothing of this
    std::thread FThread;
};

// Takes a thread stopped by StopFromItsDelivery. It is joined once its body
// has ended: on the GUI thread, which the body asks for as its last act, and
// otherwise at the next TComThread construction or when the program ends.
void AdoptStoppedThread(std::unique_ptr<TComThread> thread);
// Joins the adopted threads whose body has ended (never the caller's own).
void JoinEndedThreads();
// Adopted threads not joined yet. For tests and diagnostics.
std::size_t StoppedThreadsNotJoined();

// The message the event thread sends to the port's SyncWindow under
// smWindowSync, one per event, with the event's OS mask bit as wParam
// (WM_USER + 1 on Windows).
inline constexpr std::uint32_t CM_ComEvent = 0x0401;

// The hidden message window of smWindowSync: CM_ComEvent sent to it from the
// event thread reaches the port's EventWindowProc on the GUI thread.
class TSyncWindow {
public:
    explicit TSyncWindow(TCustomComPort& port);
    ~TSyncWindow();
    TSyncWindow(const TSyncWindow&) = delete;
    TSyncWindow& operator=(const TSyncWindow&) = delete;

    // Sends a message and blocks until the window procedure has replied
    // (or returned). Any thread.
    std::intptr_t Send(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

private:
    TCustomComPort& FComPort;
    std::unique_ptr<host::THiddenWindow> FWindow;
};

} // namespace cport

namespace cport::detail {

// The GUI runtime as the component uses it.
// One pass over the GUI thread's waiting messages and pending hand-overs.
void ProcessMessages();
// Runs call on the GUI thread and blocks until it has run; an exception it
// raises is raised again here. On the GUI thread it runs call at once.
void Synchronize(const std::function<void()>& call);
// Waits until thread has ended, serving the GUI thread's hand-overs and sent
// messages meanwhile when called on the GUI thread; then joins it.
void WaitForThread(std::thread& thread);
// Shows an exception with the application's exception display on the GUI
// thread; from another thread it is handed over and this call returns.
void ShowExceptionOnGuiThread(std::exception_ptr error);
// Queues call to run on the GUI thread at its next pass and returns at once.
// Without a GUI thread nothing is queued and call does not run.
void PostToGuiThread(std::function<void()> call);
// CreateFileA for a port, as the component opens it ("\\.\" in front, read
// and write, overlapped). A network port's open connects, and blocks for up to
// the connect time-out: on the GUI thread of an installed binding it runs on a
// worker thread while the GUI thread goes on processing its messages (input,
// paints, timers, hand-overs), blocking between them. The handle is returned
// and GetLastError set on the calling thread as if the open had run there.
// Every other name, and every other thread, opens directly.
comm::Handle CreatePortFile(const std::string& portName);
// Sets TxEmptyFlag and wakes the writers waiting for it. Any thread.
void ReportTxEmpty();

} // namespace cport::detail
