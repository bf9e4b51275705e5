#pragma once
// Internal to the network backend: what the open of a network connection
// asks of the OS (PosixNetSocket.cpp, Win32NetSocket.cpp), below the steps
// that are the same everywhere (NetSocket.cpp: the look-up on a thread of
// its own with its deadline and AbortOpens, the walk over the addresses).

#include "serial/driver/NetPortName.h"
#include "serial/driver/NetSocket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace comm::net {

// One address of a host, as the OS gave it: a socket address of `family`
// (the OS's AF_INET or AF_INET6) in the first `length` bytes.
struct TSocketAddress {
    alignas(8) unsigned char bytes[128]{};
    std::size_t length = 0;
    int family = 0;
};

// ---- Given by the platform's file.

// The addresses of `host` at `port`: a literal of `kind` parsed, a name
// (hkName) looked up, and so blocking. ERROR_SUCCESS with at least one
// address, or the code of CreateFileA (WSAHOST_NOT_FOUND when there is
// none).
std::uint32_t OsLookup(const std::string& host, std::uint16_t port, THostKind kind,
                       std::vector<TSocketAddress>* out);
// The code of CreateFileA for a look-up failure the tests put in
// (TSocketFaults::lookup), read on the look-up thread.
std::uint32_t OsLookupFault(int code);
// The code of CreateFileA when no thread could be started for a look-up.
std::uint32_t OsThreadError(const std::system_error& e);

// ---- Given by NetSocket.cpp.

// The faults the tests put in (SetSocketFaults), as they are now.
TSocketFaults SocketFaults();
// The milliseconds left to `deadline`, rounded up, from 0 to INT_MAX.
int MsLeft(TNetSocket::Clock::time_point deadline);
// The open's steps once the platform has its wake-up: with `wake` called by
// AbortOpens, the host's addresses looked up (by `deadline`) and each tried
// by `connectOne` in turn until one connects (true). False with *error set
// as TNetSocket::Connect says.
bool ConnectToHost(const TNetPortName& name, TNetSocket::Clock::time_point deadline,
                   std::function<void()> wake,
                   const std::function<bool(const TSocketAddress&, std::uint32_t*)>& connectOne,
                   std::uint32_t* error);

} // namespace comm::net
