#include "host/PlainMainLoop.h"

namespace host {

TPlainMainLoop::TPlainMainLoop() {
    FPrevious = SetMainLoop(this);
}

TPlainMainLoop::~TPlainMainLoop() {
    SetMainLoop(FPrevious);
}

void TPlainMainLoop::Wake() {
    std::lock_guard guard(FLock);
    FWakePending = true;
    FWoken.notify_all();
}

void TPlainMainLoop::WaitForWake(Clock::time_point deadline) {
    std::unique_lock guard(FLock);
    const auto woken = [this] { return FWakePending; };
    if (deadline == Clock::time_point::max()) {
        FWoken.wait(guard, woken);
    } else {
        FWoken.wait_until(guard, deadline, woken);
    }
    FWakePending = false;
}

} // namespace host
