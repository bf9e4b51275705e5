#pragma once
// Internal to the network backend: the one connection of a network port to
// its device server, and the only code of the backend that is the OS's
// (PosixNetSocket.cpp: BSD sockets; Win32NetSocket.cpp: Winsock), below
// the steps of the open that are the same on both (NetSocket.cpp, through
// NetSocketOs.h).
//
// Connect looks the host up (an IPv4 or IPv6 literal never is: it is
// parsed) and connects to each of its addresses in turn, all within one
// deadline. getaddrinfo has no time-out of its own: the look-up runs on a
// thread of its own, and the open stops waiting for it at the deadline;
// what a late answer writes is kept alive by that thread alone.
//
// After the connect the socket is non-blocking, Nagle's delay off (a
// sign's frames are small and a reply waits for them), and it sends no
// SIGPIPE. Send and Receive never block; Wait blocks the I/O thread until
// the socket can go on, another thread calls Wake, or a time-out passes.
// Per socket: the socket and one wake-up object (an eventfd on Linux, a
// pipe on other Unixes, a WSAEVENT on Windows), so that a fleet of ports
// open at once costs two descriptors a port.

#include "serial/driver/NetPortName.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace comm::net {

class TNetSocket {
public:
    using Clock = std::chrono::steady_clock;

    enum class TIo {
        ioDone,       // *moved bytes moved (at least one)
        ioWouldBlock, // nothing can move now
        ioClosed,     // the server closed or reset the connection, or it failed
    };

    // Connects to the host and port of `name` by `deadline`. Null with
    // *error set as CommApi.h's CreateFileA says for a network name:
    // WSAHOST_NOT_FOUND, WSATRY_AGAIN (also: the look-up did not answer by
    // the deadline), WSAECONNREFUSED, WSAENETUNREACH, WSAEHOSTUNREACH,
    // WSAETIMEDOUT, ERROR_GEN_FAILURE (no descriptor left: on POSIX
    // comm::posix::ErrnoBehind tells EMFILE or ENFILE),
    // ERROR_NOT_ENOUGH_MEMORY, ERROR_OPERATION_ABORTED (AbortOpens: the
    // look-up and the connect wait on wake-ups it sets). With several
    // addresses the last one's error is reported, and WSAETIMEDOUT once the
    // deadline has passed.
    static std::unique_ptr<TNetSocket> Connect(const TNetPortName& name, Clock::time_point deadline,
                                               std::uint32_t* error);
    ~TNetSocket();

    TIo Send(const std::uint8_t* data, std::size_t size, std::size_t* moved);
    TIo Receive(std::uint8_t* data, std::size_t size, std::size_t* moved);
    // Returns when the socket is readable (with `read`) or writable (with
    // `write`), has failed or been closed, Wake was called since the last
    // Wait, or timeoutMs passed (-1: no limit). True when the socket said it
    // failed or was closed (even unasked: the caller then reads to the end);
    // otherwise it says nothing of which: the caller tries what it wants.
    bool Wait(bool read, bool write, int timeoutMs);
    // Ends the current or the next Wait. Any thread.
    void Wake();

    TNetSocket(const TNetSocket&) = delete;
    TNetSocket& operator=(const TNetSocket&) = delete;

private:
    struct TImpl;
    explicit TNetSocket(std::unique_ptr<TImpl> impl);
    std::unique_ptr<TImpl> impl_;
};

// An open under way, woken by AbortOpens (NetCommApi.h) while it lives:
// `wake` is called (on the aborting thread, under the registry's lock, so
// it must take no lock that is held while creating or destroying a
// TOpenWatch) once when AbortOpens comes. Whoever waits re-checks
// OpensAborted() after each wake-up; a watch made after AbortOpens finds
// OpensAborted() true already.
class TOpenWatch {
public:
    explicit TOpenWatch(std::function<void()> wake);
    ~TOpenWatch();
    TOpenWatch(const TOpenWatch&) = delete;
    TOpenWatch& operator=(const TOpenWatch&) = delete;

private:
    std::uint64_t id_;
};

// Faults put in the place of the OS's answers, for tests: a name server
// that fails or never answers, a route that is missing, no descriptor left.
// The codes are the OS's own (POSIX: getaddrinfo's EAI_* for the look-up,
// errno for the connect; Windows: the WSA codes), so that the mapping to
// the codes of CreateFileA is what is tested.
struct TSocketFaults {
    // Called on the look-up thread in place of looking a host name up
    // (literals are never looked up); returns the look-up's failure code, or
    // 0 to look up as usual. It may block, standing for a slow name server.
    std::function<int(const std::string& host)> lookup;
    // Called before each connect attempt; non-zero: that attempt fails with
    // this code.
    std::function<int()> connect;
};
// Process-wide; set while no network port is being opened. {} removes them.
void SetSocketFaults(TSocketFaults faults);

} // namespace comm::net
