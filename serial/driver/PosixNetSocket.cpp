// The network port's connection on POSIX: getaddrinfo (NetSocket.cpp runs
// it on a thread of its own), a non-blocking connect bounded by poll(), and poll() on the socket
// and an eventfd (a pipe where there is none) to wait: the connect's too,
// so that AbortOpens ends it. See NetSocket.h.

#include "serial/driver/NetSocket.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetSocketOs.h"
#include "serial/driver/PosixCommApi.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

namespace comm::net {

namespace {

std::uint32_t LookupError(int code, int savedErrno) {
    switch (code) {
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM:
        return savedErrno == EMFILE || savedErrno == ENFILE ? posix::ErrorFromErrno(savedErrno)
                                                            : WSATRY_AGAIN;
    default: // EAI_NONAME, EAI_FAIL, EAI_NODATA, EAI_FAMILY...: no such host
        return WSAHOST_NOT_FOUND;
    }
}

std::uint32_t ConnectError(int error) {
    switch (error) {
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ENETUNREACH:
    case ENETDOWN:
        return WSAENETUNREACH;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return WSAEHOSTUNREACH;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNRESET:
        return WSAECONNRESET;
    default:
        // EMFILE and ENFILE (ERROR_GEN_FAILURE, told apart by ErrnoBehind),
        // ENOMEM, ENOBUFS, EACCES...
        return posix::ErrorFromErrno(error);
    }
}

std::uint32_t Collect(addrinfo* list, std::vector<TSocketAddress>* out) {
    static_assert(sizeof(sockaddr_storage) <= sizeof(TSocketAddress{}.bytes));
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if ((ai->ai_family != AF_INET && ai->ai_family != AF_INET6) ||
            ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TSocketAddress a;
        std::memcpy(a.bytes, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        a.family = ai->ai_family;
        out->push_back(a);
    }
    return out->empty() ? WSAHOST_NOT_FOUND : ERROR_SUCCESS;
}

// Connects one socket to one address by the deadline, or until AbortOpens
// wakes `wakeRead`; the socket or -1.
int ConnectOne(const TSocketAddress& address, TNetSocket::Clock::time_point deadline, int wakeRead,
               std::uint32_t* error) {
    const int fd = ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = ConnectError(errno);
        return -1;
    }
    const auto fail = [&](int e) {
        ::close(fd);
        *error = ConnectError(e);
        return -1;
    };
    if (const auto& fault = SocketFaults().connect) {
        if (const int injected = fault(); injected != 0)
            return fail(injected);
    }
    sockaddr_storage addr{};
    std::memcpy(&addr, address.bytes, address.length);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr),
                  static_cast<socklen_t>(address.length)) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return fail(errno);
        for (;;) {
            pollfd p[2] = {{fd, POLLOUT, 0}, {wakeRead, POLLIN, 0}};
            const int r = ::poll(p, 2, MsLeft(deadline));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return fail(errno);
            if (r == 0)
                return fail(ETIMEDOUT);
            // Before the socket is a port's, only AbortOpens wakes it.
            if (p[1].revents != 0) {
                ::close(fd);
                *error = ERROR_OPERATION_ABORTED;
                return -1;
            }
            break;
        }
        int soError = 0;
        socklen_t length = sizeof soError;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0)
            return fail(errno);
        if (soError != 0)
            return fail(soError);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    return fd;
}

} // namespace

std::uint32_t OsLookup(const std::string& host, std::uint16_t port, THostKind kind,
                       std::vector<TSocketAddress>* out) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    if (kind != THostKind::hkName) {
        hints.ai_flags |= AI_NUMERICHOST;
        hints.ai_family = kind == THostKind::hkIpv4 ? AF_INET : AF_INET6;
    } else {
        hints.ai_family = AF_UNSPEC;
        hints.ai_flags |= AI_ADDRCONFIG;
    }
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0)
        return LookupError(rc, errno);
    const std::uint32_t error = Collect(list, out);
    ::freeaddrinfo(list);
    return error;
}

std::uint32_t OsLookupFault(int code) {
    return LookupError(code, errno);
}

std::uint32_t OsThreadError(const std::system_error& e) {
    return posix::ErrorFromErrno(e.code().value() != 0 ? e.code().value() : EAGAIN);
}

struct TNetSocket::TImpl {
    int fd = -1;
    int wakeRead = -1;
    int wakeWrite = -1; // the same as wakeRead for an eventfd
    ~TImpl() {
        if (fd >= 0)
            ::close(fd);
        if (wakeWrite >= 0 && wakeWrite != wakeRead)
            ::close(wakeWrite);
        if (wakeRead >= 0)
            ::close(wakeRead);
    }
};

TNetSocket::TNetSocket(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TNetSocket::~TNetSocket() = default;

std::unique_ptr<TNetSocket> TNetSocket::Connect(const TNetPortName& name,
                                                Clock::time_point deadline, std::uint32_t* error) {
    // A failure that came from no errno has none behind it.
    posix::ErrorFromErrno(0);
    auto impl = std::make_unique<TImpl>();
#if defined(__linux__)
    impl->wakeRead = impl->wakeWrite = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl->wakeRead < 0) {
        *error = posix::ErrorFromErrno(errno);
        return nullptr;
    }
#else
    int fds[2];
    if (::pipe(fds) != 0) {
        *error = posix::ErrorFromErrno(errno);
        return nullptr;
    }
    impl->wakeRead = fds[0];
    impl->wakeWrite = fds[1];
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
#endif
    // AbortOpens ends the connect by the socket's wake-up (the watch on it
    // goes before the descriptors).
    const int wakeWrite = impl->wakeWrite;
    const auto wake = [wakeWrite] {
        const std::uint64_t one = 1;
#if defined(__linux__)
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &one, sizeof one);
#else
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite, &one, 1);
#endif
    };
    TImpl& opening = *impl;
    const auto connectOne = [&opening, deadline](const TSocketAddress& address, std::uint32_t* e) {
        opening.fd = ConnectOne(address, deadline, opening.wakeRead, e);
        return opening.fd >= 0;
    };
    if (!ConnectToHost(name, deadline, wake, connectOne, error))
        return nullptr;
    return std::unique_ptr<TNetSocket>(new TNetSocket(std::move(impl)));
}

TNetSocket::TIo TNetSocket::Send(const std::uint8_t* data, std::size_t size, std::size_t* moved) {
    *moved = 0;
    for (;;) {
        const ssize_t n = ::send(impl_->fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *moved = static_cast<std::size_t>(n);
            return TIo::ioDone;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
            return TIo::ioWouldBlock;
        return TIo::ioClosed;
    }
}

TNetSocket::TIo TNetSocket::Receive(std::uint8_t* data, std::size_t size, std::size_t* moved) {
    *moved = 0;
    for (;;) {
        const ssize_t n = ::recv(impl_->fd, data, size, MSG_DONTWAIT);
        if (n > 0) {
            *moved = static_cast<std::size_t>(n);
            return TIo::ioDone;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return TIo::ioWouldBlock;
        return TIo::ioClosed; // 0: the server closed; an error: reset or lost
    }
}

bool TNetSocket::Wait(bool read, bool write, int timeoutMs) {
    short events = 0;
    if (read)
        events |= POLLIN;
    if (write)
        events |= POLLOUT;
    // Asked for nothing, the socket is still watched for a hang-up (POLLHUP
    // needs no request), so that a closed connection ends the wait.
    pollfd fds[2] = {{impl_->wakeRead, POLLIN, 0}, {impl_->fd, events, 0}};
    const int r = ::poll(fds, 2, timeoutMs);
    if (r > 0 && fds[0].revents != 0) {
        std::uint8_t drain[64];
        while (::read(impl_->wakeRead, drain, sizeof drain) > 0) {
        }
    }
    return r > 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TNetSocket::Wake() {
    const std::uint64_t one = 1;
#if defined(__linux__)
    [[maybe_unused]] const ssize_t n = ::write(impl_->wakeWrite, &one, sizeof one);
#else
    [[maybe_unused]] const ssize_t n = ::write(impl_->wakeWrite, &one, 1);
#endif
}

} // namespace comm::net
