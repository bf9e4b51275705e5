#pragma once
// The GUI thread's message loop as the components see it, independent of the
// GUI framework: the message pump (ProcessMessages), the hand-over of calls
// from worker threads to the GUI thread (Synchronize, PostToMainThread), the
// wait for a worker thread that keeps serving those hand-overs, and the sent
// messages of hidden windows (SendMessage, ReplyMessage, InSendMessage).
//
// A binding connects this to a real event loop and names the GUI thread:
//   host::TPlainMainLoop   (host/PlainMainLoop.h) a queue of its own, for
//                          tools and tests without a GUI framework;
//   host::qt::TQtMainLoop  (host/qt/QtMainLoop.h) the Qt event loop.
// The binding object is created on the GUI thread and installs itself; the
// components call only the functions below and never see the framework.
//
// Hand-overs (Synchronize calls, posted calls and messages sent to hidden
// windows from other threads) wait in one queue, first in, first out, and run
// on the GUI thread whenever it serves the queue: in the binding's event loop,
// in ProcessMessages, in RunLoopUntil and in the waits of WaitForThreadServing
// and WaitServingUntil. Without an installed binding there is no GUI thread to
// hand anything to: Synchronize and SendMessage run the call at once on the
// calling thread, and posted calls run at once too.
//
// Threading, per function:
//   GUI thread only:  ProcessMessages, RunLoopUntil, WaitServingUntil,
//                     THiddenWindow construction and destruction, ReplyMessage,
//                     InSendMessage (they do nothing, or just wait, elsewhere;
//                     see each).
//   Any thread:       Synchronize, PostToMainThread, QueueException,
//                     WakeMainThread, SendMessage, WaitForThreadServing,
//                     IsMainThread.
//   Blocking:         Synchronize and SendMessage from a worker (until the GUI
//                     thread has run / replied to them); WaitForThreadServing,
//                     WaitServingUntil, RunLoopUntil (until done or timeout).
//                     ProcessMessages never waits for new work.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

namespace host {

// What a binding offers the runtime. All but Wake run on the GUI thread.
class IMainLoop {
public:
    virtual ~IMainLoop() = default;
    // Makes the GUI thread's loop serve the hand-over queue soon, and ends a
    // WaitForWake in progress or the next one. Any thread; never blocks.
    virtual void Wake() = 0;
    // One pass over the framework's own waiting events (input, timers,
    // paints); does not wait for new ones.
    virtual void ProcessFrameworkMessages() = 0;
    // Blocks until Wake has been called (since the last WaitForWake ended) or
    // the framework has events, or until deadline.
    virtual void WaitForWake(std::chrono::steady_clock::time_point deadline) = 0;
};

// Makes loop the installed binding (nullptr: none) and the calling thread the
// GUI thread; returns the previous binding. Hand-overs still queued when the
// binding is removed run first, on the calling thread, so no worker is left
// blocked. Called by the bindings' constructors and destructors.
IMainLoop* SetMainLoop(IMainLoop* loop);
IMainLoop* MainLoop();
// For bindings, on the GUI thread: runs the hand-overs queued before the call
// (not those they queue), and nothing else.
void ServeHandOvers();
// Whether the calling thread is the GUI thread of the installed binding.
bool IsMainThread();

// One pass on the GUI thread: runs every hand-over queued before the call,
// then the framework's waiting events. Never waits for new work. On another
// thread it does nothing (a worker must not run the GUI thread's work).
void ProcessMessages();

// Runs call on the GUI thread and blocks until it has run there. An exception
// that call raises is carried back and raised again here. On the GUI thread
// (or with no binding installed) call runs at once.
void Synchronize(const std::function<void()>& call);

// Queues call to run on the GUI thread and returns at once (also on the GUI
// thread itself: it runs at the next pass). An exception that call raises is
// shown with the application's exception display.
void PostToMainThread(std::function<void()> call);
// Hands an exception to the application's exception display on the GUI
// thread (host/ExceptionDisplay.h); returns at once.
void QueueException(std::exception_ptr error);

// Hand-overs queued and not yet started. Any thread; for tests and diagnostics.
std::size_t PendingHandOvers();

// Makes the GUI thread recheck the condition of RunLoopUntil or
// WaitServingUntil; call it after changing what the condition reads.
void WakeMainThread();

// Waits until thread has ended and joins it. On the GUI thread it serves
// hand-overs and sent messages while it waits (so a worker blocked in
// Synchronize or SendMessage can finish); it blocks, never spins, and serves
// nothing else. A thread that is not joinable returns at once.
void WaitForThreadServing(std::thread& thread);

using Clock = std::chrono::steady_clock;
inline constexpr std::chrono::milliseconds kForever = std::chrono::milliseconds::max();

// GUI thread: serves hand-overs and sent messages (not framework events) until
// ready() is true; ready is checked before and after each hand-over and after
// each WakeMainThread. False when timeout passed first. Elsewhere it only
// waits for ready, woken by WakeMainThread.
bool WaitServingUntil(const std::function<bool()>& ready,
                      std::chrono::milliseconds timeout = kForever);

// GUI thread: runs the whole loop (hand-overs and framework events) until
// ready() is true or timeout has passed; returns ready(). For tools and tests.
bool RunLoopUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

// ---- Hidden windows and sent messages ----------------------------------------

struct TMessage {
    std::uint32_t Msg = 0;
    std::uintptr_t WParam = 0;
    std::intptr_t LParam = 0;
    std::intptr_t Result = 0; // set by the procedure; what SendMessage returns
};

// A window without a face that receives sent messages on the GUI thread. Its
// procedure runs on the GUI thread for every message sent to it.
// Construction and destruction on the GUI thread. Destroying it releases
// every sender still waiting for it (their SendMessage returns 0); the window
// must not be destroyed inside its own procedure.
class THiddenWindow {
public:
    using TWindowProc = std::function<void(TMessage&)>;
    explicit THiddenWindow(TWindowProc procedure);
    ~THiddenWindow();
    THiddenWindow(const THiddenWindow&) = delete;
    THiddenWindow& operator=(const THiddenWindow&) = delete;

    struct State; // shared with the senders

private:
    std::shared_ptr<State> FState;
    friend std::intptr_t SendMessage(THiddenWindow& window, std::uint32_t msg,
                                     std::uintptr_t wParam, std::intptr_t lParam);
};

// Sends a message to window and returns the procedure's result. From the GUI
// thread the procedure is called directly. From another thread the message is
// queued for the GUI thread and the caller blocks until the procedure has
// called ReplyMessage or returned (or the window was destroyed: 0). The
// window must exist when the call starts.
std::intptr_t SendMessage(THiddenWindow& window, std::uint32_t msg, std::uintptr_t wParam,
                          std::intptr_t lParam);

// Inside a window procedure: whether the message being processed was sent
// from another thread. False outside a procedure.
bool InSendMessage();
// Inside a window procedure for a message sent from another thread: releases
// the sender now, with result, while the procedure goes on. Returns false
// (doing nothing) when there is no such sender or it was released already.
bool ReplyMessage(std::intptr_t result);

} // namespace host
