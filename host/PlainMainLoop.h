#pragma once
// The plain binding of the GUI thread's message loop (host/MessageLoop.h),
// for command-line tools and tests without a GUI framework: the hand-over
// queue is the only message queue, and the thread that creates the loop is
// the GUI thread.
//
//   host::TPlainMainLoop loop;            // this thread is now the GUI thread
//   std::thread worker([] { host::Synchronize([] { /* runs on the GUI thread */ }); });
//   host::WaitForThreadServing(worker);  // serves the hand-over, then joins
//
// Construct and destroy it on the same thread. Destroying it runs the
// hand-overs still queued and puts back the binding that was installed before.

#include "host/MessageLoop.h"

#include <condition_variable>
#include <mutex>

namespace host {

class TPlainMainLoop final : public IMainLoop {
public:
    TPlainMainLoop();
    ~TPlainMainLoop() override;
    TPlainMainLoop(const TPlainMainLoop&) = delete;
    TPlainMainLoop& operator=(const TPlainMainLoop&) = delete;

    void Wake() override;
    void ProcessFrameworkMessages() override {}
    void WaitForWake(Clock::time_point deadline) override;

private:
    std::mutex FLock;
    std::condition_variable FWoken;
    bool FWakePending = false;
    IMainLoop* FPrevious = nullptr;
};

} // namespace host
