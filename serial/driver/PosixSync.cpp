#include "serial/driver/PosixSync.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <unistd.h>
#include <unordered_map>
#include <vector>
#if __has_include(<sys/eventfd.h>)
#include <sys/eventfd.h>
#endif

namespace comm::posix {

namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<Handle, std::shared_ptr<Object>> objects;
    // Multiples of 4 as on Windows; 0 and -1 are never handed out.
    Handle next = 4;
};

Table& TheTable() {
    static Table* table = new Table; // never destroyed: handles may outlive static destruction
    return *table;
}

std::mutex& SyncMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

thread_local std::uint32_t t_lastError = ERROR_SUCCESS;

} // namespace

struct EventWaiter {
    std::condition_variable cv;
    int fd = -1; // while pumping: the thread's eventfd, written to wake it
};

namespace {

// One eventfd per thread that has pumped, to wake it out of poll().
int ThreadWakeFd() {
#if defined(EFD_CLOEXEC) && defined(EFD_NONBLOCK)
    struct WakeFd {
        int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        ~WakeFd() {
            if (fd >= 0)
                ::close(fd);
        }
    };
    static thread_local WakeFd wake;
    return wake.fd;
#else
    return -1; // no pumping: waiters sleep on their condition variable
#endif
}

// The wake-up descriptor of the calling thread while it pumps, else -1.
thread_local int t_pumpingFd = -1;

void WakeWaiter(EventWaiter& waiter) {
    if (waiter.fd >= 0) {
        if (waiter.fd == t_pumpingFd)
            return; // the pumping thread itself signalled: it is awake
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(waiter.fd, &one, sizeof one);
    } else {
        waiter.cv.notify_one();
    }
}

} // namespace

Handle AddHandle(std::shared_ptr<Object> object) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const Handle handle = table.next;
    table.next += 4;
    table.objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<Object> FindHandle(Handle handle) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.objects.find(handle);
    return it == table.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> RemoveHandle(Handle handle) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto it = table.objects.find(handle);
    if (it == table.objects.end())
        return nullptr;
    std::shared_ptr<Object> object = std::move(it->second);
    table.objects.erase(it);
    return object;
}

std::shared_ptr<EventObject> MakeEvent(bool manualReset, bool initialState) {
    return std::make_shared<EventObject>(manualReset, initialState);
}

void SignalEvent(EventObject& event) {
    std::lock_guard<std::mutex> lock(SyncMutex());
    event.signaled_ = true;
    event.pump_.reset();
    for (EventWaiter* waiter : event.waiters_)
        WakeWaiter(*waiter);
}

void SetEventPump(EventObject& event, std::weak_ptr<Object> pump) {
    std::lock_guard<std::mutex> lock(SyncMutex());
    event.pump_ = std::move(pump);
}

void ClearEvent(EventObject& event) {
    std::lock_guard<std::mutex> lock(SyncMutex());
    event.signaled_ = false;
}

std::uint32_t WaitEvents(const std::shared_ptr<EventObject>* events, std::uint32_t count,
                         bool waitAll, std::uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const bool forever = milliseconds == INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);

    std::unique_lock<std::mutex> lock(SyncMutex());
    EventWaiter waiter;
    bool registered = false;
    bool pumpRefused = false;
    const auto unregister = [&] {
        if (!registered)
            return;
        for (std::uint32_t i = 0; i < count; ++i) {
            auto& list = events[i]->waiters_;
            list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        }
    };
    for (;;) {
        if (waitAll) {
            const bool all = std::all_of(events, events + count,
                                         [](const auto& event) { return event->signaled_; });
            if (all) {
                for (std::uint32_t i = 0; i < count; ++i) {
                    if (!events[i]->manualReset_)
                        events[i]->signaled_ = false;
                }
                unregister();
                return WAIT_OBJECT_0;
            }
        } else {
            for (std::uint32_t i = 0; i < count; ++i) {
                if (events[i]->signaled_) {
                    if (!events[i]->manualReset_)
                        events[i]->signaled_ = false;
                    unregister();
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (!forever && Clock::now() >= deadline) {
            unregister();
            return WAIT_TIMEOUT;
        }
        if (!registered) {
            for (std::uint32_t i = 0; i < count; ++i)
                events[i]->waiters_.push_back(&waiter);
            registered = true;
        }
        if (!waitAll && !pumpRefused) {
            std::shared_ptr<Object> pump;
            for (std::uint32_t i = 0; i < count && !pump; ++i)
                pump = events[i]->pump_.lock();
            const int wakeFd = pump ? ThreadWakeFd() : -1;
            if (wakeFd >= 0) {
                int ms = -1;
                if (!forever) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                    ms = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
                }
                waiter.fd = wakeFd;
                t_pumpingFd = wakeFd;
                lock.unlock();
                pumpRefused = !pump->Pump(wakeFd, ms);
                pump.reset();
                lock.lock();
                t_pumpingFd = -1;
                waiter.fd = -1;
                continue;
            }
        }
        pumpRefused = false;
        if (forever)
            waiter.cv.wait(lock);
        else
            waiter.cv.wait_until(lock, deadline);
    }
}

std::uint32_t LastError() {
    return t_lastError;
}

void SetLastErrorCode(std::uint32_t error) {
    t_lastError = error;
}

} // namespace comm::posix
