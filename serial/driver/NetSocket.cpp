// The steps of a network port's open that are the same on every OS: the
// look-up on a thread of its own, waited for until the deadline or
// AbortOpens, and the walk over the host's addresses. The OS calls are the
// platform's file's (NetSocketOs.h). See NetSocket.h.

#include "serial/driver/NetSocket.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetSocketOs.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace comm::net {

namespace {

std::mutex g_faultsMutex;
TSocketFaults g_faults;

// One look-up, shared by the open that waits for it and the thread that
// makes it: whichever ends last frees it.
struct TLookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::uint32_t error = ERROR_SUCCESS;
    std::vector<TSocketAddress> addresses;
};

// The addresses of the name's host: a literal parsed here, a name looked up
// on a thread of its own, waited for until the deadline.
std::uint32_t Resolve(const TNetPortName& name, TNetSocket::Clock::time_point deadline,
                      std::vector<TSocketAddress>* out) {
    if (name.HostKind != THostKind::hkName)
        return OsLookup(name.Host, name.Port, name.HostKind, out);
    auto lookup = std::make_shared<TLookup>();
    try {
        std::thread([lookup, host = name.Host, port = name.Port, fault = SocketFaults().lookup] {
            std::uint32_t error = ERROR_SUCCESS;
            std::vector<TSocketAddress> addresses;
            const int injected = fault ? fault(host) : 0;
            if (injected != 0)
                error = OsLookupFault(injected);
            else
                error = OsLookup(host, port, THostKind::hkName, &addresses);
            std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->error = error;
            lookup->addresses = std::move(addresses);
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error& e) {
        return OsThreadError(e);
    }
    // AbortOpens wakes this wait (the watch goes after the lock is let go).
    const TOpenWatch watch([lookup] {
        std::lock_guard<std::mutex> lock(lookup->mutex);
        lookup->done.notify_all();
    });
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline,
                                 [&] { return lookup->finished || OpensAborted(); }))
        return WSATRY_AGAIN; // the name server did not answer in time
    if (!lookup->finished)
        return ERROR_OPERATION_ABORTED;
    if (lookup->error == ERROR_SUCCESS)
        *out = std::move(lookup->addresses);
    return lookup->error;
}

} // namespace

void SetSocketFaults(TSocketFaults faults) {
    std::lock_guard<std::mutex> lock(g_faultsMutex);
    g_faults = std::move(faults);
}

TSocketFaults SocketFaults() {
    std::lock_guard<std::mutex> lock(g_faultsMutex);
    return g_faults;
}

int MsLeft(TNetSocket::Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - TNetSocket::Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

bool ConnectToHost(const TNetPortName& name, TNetSocket::Clock::time_point deadline,
                   std::function<void()> wake,
                   const std::function<bool(const TSocketAddress&, std::uint32_t*)>& connectOne,
                   std::uint32_t* error) {
    // From here AbortOpens ends the open: the look-up by its own wake-up,
    // the connect by the socket's (the watch goes before the caller's
    // wake-up does).
    const TOpenWatch watch(std::move(wake));
    if (OpensAborted()) {
        *error = ERROR_OPERATION_ABORTED;
        return false;
    }
    std::vector<TSocketAddress> addresses;
    if (const std::uint32_t e = Resolve(name, deadline, &addresses); e != ERROR_SUCCESS) {
        *error = e;
        return false;
    }
    *error = WSAHOST_NOT_FOUND;
    for (const TSocketAddress& address : addresses) {
        if (OpensAborted()) {
            *error = ERROR_OPERATION_ABORTED;
            break;
        }
        if (TNetSocket::Clock::now() >= deadline) {
            *error = WSAETIMEDOUT;
            break;
        }
        if (connectOne(address, error))
            return true;
        // No descriptor left is no address's fault: the next fails the same.
        if (*error == ERROR_GEN_FAILURE || *error == ERROR_NOT_ENOUGH_MEMORY ||
            *error == ERROR_OPERATION_ABORTED)
            break;
    }
    return false;
}

} // namespace comm::net
