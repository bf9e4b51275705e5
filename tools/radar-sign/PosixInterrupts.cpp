#include "tools/radar-sign/Interrupts.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h> // sigabbrev_np, a GNU extension
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>
#include <utility>

namespace radarsign {

namespace {

constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<int> gStop{0};
static_assert(std::atomic<int>::is_always_lock_free, "read and written in a signal handler");
// The pipe's end that the handler writes to; -1 when none.
std::atomic<int> gWakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");
// The actions found at the start, put back at the end.
struct sigaction gPrevious[sizeof StopSignals / sizeof StopSignals[0]];
bool gInstalled[sizeof StopSignals / sizeof StopSignals[0]] = {};

sigset_t StopSet() {
    sigset_t set;
    ::sigemptyset(&set);
    for (const int s : StopSignals)
        ::sigaddset(&set, s);
    return set;
}

// Only async-signal-safe calls here.
extern "C" void OnStop(int signal) {
    const int savedErrno = errno;
    int none = 0;
    if (gStop.compare_exchange_strong(none, signal)) {
        // The next stop signal ends the process at once.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        ::sigemptyset(&fallback.sa_mask);
        for (const int s : StopSignals)
            ::sigaction(s, &fallback, nullptr);
        const int fd = gWakeFd.load();
        if (fd >= 0) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
        }
    }
    errno = savedErrno;
}

} // namespace

TInterrupts::TInterrupts(std::function<void()> wake) : FWake(std::move(wake)) {
    if (::pipe2(FPipe, O_CLOEXEC) == 0) {
        // The handler must never block on it.
        ::fcntl(FPipe[1], F_SETFL, ::fcntl(FPipe[1], F_GETFL) | O_NONBLOCK);
        gWakeFd = FPipe[1];
        WithStopsBlocked([this] {
            FWatcher = std::thread([this] {
                for (;;) {
                    char byte = 0;
                    const ssize_t n = ::read(FPipe[0], &byte, 1);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0 || byte == 0)
                        return; // the destructor's byte
                    if (FWake)
                        FWake();
                }
            });
        });
    }
    // Without the pipe the waits still see Stop() at their next wake-up.
    struct sigaction action {};
    action.sa_handler = OnStop;
    action.sa_mask = StopSet(); // one handler at a time
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(StopSignals); ++i) {
        struct sigaction previous {};
        if (::sigaction(StopSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        gPrevious[i] = previous;
        gInstalled[i] = ::sigaction(StopSignals[i], &action, nullptr) == 0;
    }
}

TInterrupts::~TInterrupts() {
    // A stop that came has put the default actions in place already.
    for (std::size_t i = 0; i < std::size(StopSignals); ++i)
        if (gInstalled[i] && gStop.load() == 0)
            ::sigaction(StopSignals[i], &gPrevious[i], nullptr);
    for (bool& installed : gInstalled)
        installed = false;
    gWakeFd = -1;
    if (FWatcher.joinable()) {
        const char stop = 0;
        while (::write(FPipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        FWatcher.join();
    }
    for (int& fd : FPipe)
        if (fd >= 0)
            ::close(std::exchange(fd, -1));
}

int TInterrupts::Stop() {
    return gStop.load();
}

void WithStopsBlocked(const std::function<void()>& start) {
    const sigset_t stops = StopSet();
    sigset_t previous;
    ::pthread_sigmask(SIG_BLOCK, &stops, &previous);
    start();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

std::string StopName(int stop) {
    // The C library's name of the signal ("TERM"), as kill(1) and the shell
    // say it, with its prefix.
    if (const char* name = ::sigabbrev_np(stop))
        return std::string("SIG") + name;
    return "signal " + std::to_string(stop);
}

} // namespace radarsign
