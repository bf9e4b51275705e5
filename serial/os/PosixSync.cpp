#include "serial/os/PosixSync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

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
};

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
    for (EventWaiter* waiter : event.waiters_)
        waiter->cv.notify_one();
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
