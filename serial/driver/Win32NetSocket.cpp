// The network port's connection on Windows: Winsock (started once per
// process), getaddrinfo (NetSocket.cpp runs it on a thread of its own), a non-blocking connect,
// and WSAEventSelect on the socket with a second event to wake the wait
// (WSAWaitForMultipleEvents): the connect's too (FD_CONNECT), so that
// AbortOpens ends it. See NetSocket.h.
//
// CommApi.h comes before the Windows headers: its constant names are macros
// there (the WSA codes, ERROR_*), so after them this file spells none of
// them with the comm:: prefix; the values are the same.
#include "serial/driver/NetSocket.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetSocketOs.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace comm::net {

namespace {

bool Started() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::uint32_t LookupError(int code) {
    switch (code) {
    case WSATRY_AGAIN:
        return WSATRY_AGAIN;
    case WSA_NOT_ENOUGH_MEMORY:
    case WSAENOBUFS:
        return ERROR_NOT_ENOUGH_MEMORY;
    case WSAEMFILE:
        return ERROR_GEN_FAILURE;
    default: // WSAHOST_NOT_FOUND, WSANO_RECOVERY, WSANO_DATA, WSAEAFNOSUPPORT...
        return WSAHOST_NOT_FOUND;
    }
}

std::uint32_t ConnectError(int code) {
    switch (code) {
    case WSAECONNREFUSED:
        return WSAECONNREFUSED;
    case WSAENETUNREACH:
    case WSAENETDOWN:
        return WSAENETUNREACH;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
        return WSAEHOSTUNREACH;
    case WSAETIMEDOUT:
        return WSAETIMEDOUT;
    case WSAECONNRESET:
        return WSAECONNRESET;
    case WSAENOBUFS:
    case WSA_NOT_ENOUGH_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    default: // WSAEMFILE: no socket left; anything else
        return ERROR_GEN_FAILURE;
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
// sets `wakeEvent`; the socket or INVALID_SOCKET. `socketEvent` carries
// the connect's outcome (FD_CONNECT).
SOCKET ConnectOne(const TSocketAddress& address, TNetSocket::Clock::time_point deadline,
                  WSAEVENT socketEvent, WSAEVENT wakeEvent, std::uint32_t* error) {
    const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = ConnectError(::WSAGetLastError());
        return INVALID_SOCKET;
    }
    const auto fail = [&](int code) {
        ::closesocket(s);
        *error = ConnectError(code);
        return INVALID_SOCKET;
    };
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if (const auto& fault = SocketFaults().connect) {
        if (const int injected = fault(); injected != 0)
            return fail(injected);
    }
    // WSAEventSelect makes the socket non-blocking.
    ::WSAResetEvent(socketEvent);
    if (::WSAEventSelect(s, socketEvent, FD_CONNECT) != 0)
        return fail(::WSAGetLastError());
    sockaddr_storage addr{};
    std::memcpy(&addr, address.bytes, address.length);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), static_cast<int>(address.length)) !=
        0) {
        const int code = ::WSAGetLastError();
        if (code != WSAEWOULDBLOCK && code != WSAEINPROGRESS)
            return fail(code);
        const WSAEVENT events[2] = {wakeEvent, socketEvent};
        const DWORD r = ::WSAWaitForMultipleEvents(2, events, FALSE,
                                                   static_cast<DWORD>(MsLeft(deadline)), FALSE);
        if (r == WSA_WAIT_FAILED)
            return fail(::WSAGetLastError());
        if (r == WSA_WAIT_TIMEOUT)
            return fail(WSAETIMEDOUT);
        // Before the socket is a port's, only AbortOpens sets the wake-up.
        if (r == WSA_WAIT_EVENT_0) {
            ::closesocket(s);
            *error = ERROR_OPERATION_ABORTED;
            return INVALID_SOCKET;
        }
        WSANETWORKEVENTS happened{};
        if (::WSAEnumNetworkEvents(s, socketEvent, &happened) != 0)
            return fail(::WSAGetLastError());
        if ((happened.lNetworkEvents & FD_CONNECT) == 0)
            return fail(WSAETIMEDOUT);
        if (const int failed = happened.iErrorCode[FD_CONNECT_BIT]; failed != 0)
            return fail(failed);
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
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
        return LookupError(rc);
    const std::uint32_t error = Collect(list, out);
    ::freeaddrinfo(list);
    return error;
}

std::uint32_t OsLookupFault(int code) {
    return LookupError(code);
}

std::uint32_t OsThreadError(const std::system_error& /*e*/) {
    return ERROR_NOT_ENOUGH_MEMORY;
}

struct TNetSocket::TImpl {
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT socketEvent = WSA_INVALID_EVENT; // FD_READ, FD_WRITE, FD_CLOSE
    WSAEVENT wakeEvent = WSA_INVALID_EVENT;
    ~TImpl() {
        if (socket != INVALID_SOCKET)
            ::closesocket(socket);
        if (socketEvent != WSA_INVALID_EVENT)
            ::WSACloseEvent(socketEvent);
        if (wakeEvent != WSA_INVALID_EVENT)
            ::WSACloseEvent(wakeEvent);
    }
};

TNetSocket::TNetSocket(std::unique_ptr<TImpl> impl) : impl_(std::move(impl)) {}
TNetSocket::~TNetSocket() = default;

std::unique_ptr<TNetSocket> TNetSocket::Connect(const TNetPortName& name,
                                                Clock::time_point deadline, std::uint32_t* error) {
    if (!Started()) {
        *error = ERROR_GEN_FAILURE;
        return nullptr;
    }
    auto impl = std::make_unique<TImpl>();
    impl->socketEvent = ::WSACreateEvent();
    impl->wakeEvent = ::WSACreateEvent();
    if (impl->socketEvent == WSA_INVALID_EVENT || impl->wakeEvent == WSA_INVALID_EVENT) {
        *error = ERROR_GEN_FAILURE;
        return nullptr;
    }
    // AbortOpens ends the connect by the socket's wake-up (the watch on it
    // goes before the events).
    const WSAEVENT wakeEvent = impl->wakeEvent;
    TImpl& opening = *impl;
    const auto connectOne = [&opening, deadline](const TSocketAddress& address, std::uint32_t* e) {
        opening.socket = ConnectOne(address, deadline, opening.socketEvent, opening.wakeEvent, e);
        if (opening.socket == INVALID_SOCKET)
            return false;
        if (::WSAEventSelect(opening.socket, opening.socketEvent, FD_READ | FD_WRITE | FD_CLOSE) !=
            0) {
            *e = ERROR_GEN_FAILURE; // ends the walk: no other address is tried
            return false;
        }
        return true;
    };
    if (!ConnectToHost(
            name, deadline, [wakeEvent] { ::WSASetEvent(wakeEvent); }, connectOne, error))
        return nullptr;
    return std::unique_ptr<TNetSocket>(new TNetSocket(std::move(impl)));
}

TNetSocket::TIo TNetSocket::Send(const std::uint8_t* data, std::size_t size, std::size_t* moved) {
    *moved = 0;
    const int n = ::send(impl_->socket, reinterpret_cast<const char*>(data),
                         static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n > 0) {
        *moved = static_cast<std::size_t>(n);
        return TIo::ioDone;
    }
    if (n < 0 && (::WSAGetLastError() == WSAEWOULDBLOCK || ::WSAGetLastError() == WSAENOBUFS))
        return TIo::ioWouldBlock;
    return TIo::ioClosed;
}

TNetSocket::TIo TNetSocket::Receive(std::uint8_t* data, std::size_t size, std::size_t* moved) {
    *moved = 0;
    const int n = ::recv(impl_->socket, reinterpret_cast<char*>(data),
                         static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
    if (n > 0) {
        *moved = static_cast<std::size_t>(n);
        return TIo::ioDone;
    }
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK)
        return TIo::ioWouldBlock;
    return TIo::ioClosed; // 0: the server closed; an error: reset or lost
}

// Winsock posts FD_READ and FD_WRITE again only after a recv or send that
// found nothing to do: the port always tries before it waits, so an event
// is never waited for that was already spent.
bool TNetSocket::Wait(bool /*read*/, bool /*write*/, int timeoutMs) {
    const WSAEVENT events[2] = {impl_->wakeEvent, impl_->socketEvent};
    const DWORD timeout = timeoutMs < 0 ? WSA_INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD r = ::WSAWaitForMultipleEvents(2, events, FALSE, timeout, FALSE);
    ::WSAResetEvent(impl_->wakeEvent);
    if (r == WSA_WAIT_TIMEOUT || r == WSA_WAIT_FAILED)
        return false;
    WSANETWORKEVENTS happened{};
    if (::WSAEnumNetworkEvents(impl_->socket, impl_->socketEvent, &happened) != 0)
        return false;
    return (happened.lNetworkEvents & FD_CLOSE) != 0;
}

void TNetSocket::Wake() {
    ::WSASetEvent(impl_->wakeEvent);
}

} // namespace comm::net
