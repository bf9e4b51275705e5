#pragma once
// Internal to the POSIX backend: the handle table shared by ports and events,
// event objects, waits on them, and the per-thread last error.

#include "serial/driver/CommApi.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace comm::posix {

// Anything a handle can name. Ports and events derive from it.
class Object {
public:
    virtual ~Object() = default;
    // Called once, when the last handle to the object is closed (the object
    // itself may live on while another thread still uses it).
    virtual void OnHandleClosed() {}
    // Lets a thread that waits for an event this object will signal do the
    // object's work itself instead of sleeping while another thread does it
    // and then wakes it (one wake-up instead of two on the critical path).
    // Blocks at most timeoutMs (-1: no limit) or until wakeFd is readable.
    // False when there is nothing to do this way: the caller sleeps instead.
    virtual bool Pump(int /*wakeFd*/, int /*timeoutMs*/) { return false; }
};

struct EventWaiter;

// A manual- or auto-reset event. Its state is guarded by one process-wide
// mutex (inside PosixSync.cpp); use the functions below.
class EventObject final : public Object {
public:
    EventObject(bool manualReset, bool initialState)
        : manualReset_(manualReset), signaled_(initialState) {}

    const bool manualReset_;
    bool signaled_;
    std::vector<EventWaiter*> waiters_;
    // The object whose pending operation will signal this event (see Pump).
    std::weak_ptr<Object> pump_;
};

// The handle table. Handles are never reused within a process, so a stale
// handle is refused instead of reaching a new object.
Handle AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> FindHandle(Handle handle);
// Removes the handle and returns its object (null when there is none).
std::shared_ptr<Object> RemoveHandle(Handle handle);

template <class T> std::shared_ptr<T> FindAs(Handle handle) {
    return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// Event objects. One process-wide mutex guards every event's state; each
// waiting thread has a condition variable of its own that the events it
// waits for notify, so a wait never polls.
std::shared_ptr<EventObject> MakeEvent(bool manualReset, bool initialState);
// Signalling also forgets the event's pump.
void SignalEvent(EventObject& event);
void ClearEvent(EventObject& event);
// Names the object whose pending operation will signal the event.
void SetEventPump(EventObject& event, std::weak_ptr<Object> pump);

// Waits for one (waitAll false) or all of the events. milliseconds may be
// INFINITE. Returns WAIT_OBJECT_0 + index, or WAIT_TIMEOUT.
std::uint32_t WaitEvents(const std::shared_ptr<EventObject>* events, std::uint32_t count,
                         bool waitAll, std::uint32_t milliseconds);

// The calling thread's last error.
std::uint32_t LastError();
void SetLastErrorCode(std::uint32_t error);

} // namespace comm::posix
