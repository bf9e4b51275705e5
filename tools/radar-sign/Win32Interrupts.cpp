#include "tools/radar-sign/Interrupts.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>

namespace radarsign {

namespace {

// The stops by the numbers of the C runtime's signals; the console's closing
// by SIGHUP's number on POSIX, where a terminal that goes away sends it.
constexpr int StopCtrlC = SIGINT;
constexpr int StopCtrlBreak = SIGBREAK;
constexpr int StopClose = 1;
// The system gives a handler 5 s for the console's closing.
constexpr std::chrono::seconds CloseWait{4};

std::atomic<int> gStop{0};
std::mutex gLock;
std::condition_variable gOver;
std::function<void()>* gWake = nullptr; // while a TInterrupts lives

BOOL WINAPI OnControl(DWORD event) {
    int stop = 0;
    switch (event) {
    case CTRL_C_EVENT:
        stop = StopCtrlC;
        break;
    case CTRL_BREAK_EVENT:
        stop = StopCtrlBreak;
        break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        stop = StopClose;
        break;
    default:
        return FALSE;
    }
    std::unique_lock<std::mutex> lock(gLock);
    int none = 0;
    // After the first, the default handler ends the process at once.
    if (gWake == nullptr || !gStop.compare_exchange_strong(none, stop))
        return FALSE;
    (*gWake)();
    if (stop == StopClose)
        gOver.wait_for(lock, CloseWait, [] { return gWake == nullptr; });
    return TRUE;
}

} // namespace

TInterrupts::TInterrupts(std::function<void()> wake) : FWake(std::move(wake)) {
    {
        std::lock_guard<std::mutex> lock(gLock);
        gWake = &FWake;
    }
    ::SetConsoleCtrlHandler(OnControl, TRUE);
}

TInterrupts::~TInterrupts() {
    {
        std::lock_guard<std::mutex> lock(gLock);
        gWake = nullptr;
    }
    gOver.notify_all();
    if (gStop.load() == 0)
        ::SetConsoleCtrlHandler(OnControl, FALSE);
}

int TInterrupts::Stop() {
    return gStop.load();
}

void WithStopsBlocked(const std::function<void()>& start) {
    start();
}

std::string StopName(int stop) {
    switch (stop) {
    case StopCtrlC:
        return "Ctrl+C";
    case StopCtrlBreak:
        return "Ctrl+Break";
    case StopClose:
        return "the console's closing";
    default:
        return "signal " + std::to_string(stop);
    }
}

} // namespace radarsign
