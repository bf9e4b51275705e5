#pragma once
// Internal to the driver: how comm::Api() (CommApi.cpp) routes between the
// backend in use and the network backend (NetCommApi.cpp). Nothing above
// the driver includes it.

#include "serial/driver/CommApi.h"

namespace comm {

// The backend in use for everything but network ports: the platform's own,
// or the one a test set with SetApi. The network backend's events and last
// error are this backend's.
ICommApi& BaseApi();

namespace net {

// Network port handles end in the bits 01; the platform's handles, the
// POSIX backend's and the fake's are multiples of 4 (and
// INVALID_HANDLE_VALUE ends in 11), so a handle is told apart by its value.
constexpr bool IsNetHandle(Handle handle) {
    return (handle & 3) == 1;
}

// The network backend: CreateFileA and QueryDosDeviceA of network names,
// and every call on a network port's handle. Events, waits, GetLastError,
// SetLastError, GetTickCount and Sleep go to BaseApi().
ICommApi& Backend();

} // namespace net
} // namespace comm
