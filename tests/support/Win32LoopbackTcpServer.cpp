// The loopback test server on Winsock (LoopbackTcpServer.h).
#include "tests/support/LoopbackTcpServer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include <gtest/gtest.h>

namespace rc_test {

namespace {

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int MsLeft(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

SOCKET S(std::intptr_t s) {
    return static_cast<SOCKET>(s);
}

void Start() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup failed");
}

} // namespace

LoopbackTcpServer::LoopbackTcpServer(int backlog, bool ipv6) : ipv6_(ipv6) {
    Start();
    const SOCKET s = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    listen_ = static_cast<std::intptr_t>(s);
    sockaddr_storage storage{};
    int length = 0;
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        length = sizeof *a;
    } else {
        *reinterpret_cast<sockaddr_in*>(&storage) = Loopback(0);
        length = sizeof(sockaddr_in);
    }
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (::bind(s, address, length) != 0 || ::listen(s, backlog) != 0)
        throw std::runtime_error("bind/listen failed");
    ::getsockname(s, address, &length);
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

LoopbackTcpServer::~LoopbackTcpServer() {
    Close();
    for (const std::intptr_t k : knocks_)
        ::closesocket(S(k));
    if (listen_ != -1)
        ::closesocket(S(listen_));
}

bool LoopbackTcpServer::Readable(std::intptr_t socket, int timeoutMs) {
    if (socket == -1)
        return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(S(socket), &readable);
    timeval tv{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    return ::select(0, &readable, nullptr, nullptr, &tv) == 1;
}

bool LoopbackTcpServer::Accept(int timeoutMs) {
    if (!Readable(listen_, timeoutMs)) {
        ADD_FAILURE() << "no connection came";
        return false;
    }
    Close();
    const SOCKET c = ::accept(S(listen_), nullptr, nullptr);
    if (c == INVALID_SOCKET)
        return false;
    conn_ = static_cast<std::intptr_t>(c);
    const BOOL one = TRUE;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return true;
}

bool LoopbackTcpServer::Knocked() const {
    return Readable(listen_, 0);
}

void LoopbackTcpServer::KnockUnanswered() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    const sockaddr_in a = Loopback(port_);
    ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    knocks_.push_back(static_cast<std::intptr_t>(s));
}

void LoopbackTcpServer::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const int n =
            ::send(S(conn_), bytes.data() + sent,
                   static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20)), 0);
        if (n <= 0) {
            ADD_FAILURE() << "send failed";
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

bool LoopbackTcpServer::TrySend(const std::string& bytes) {
    u_long nonBlocking = 1;
    ::ioctlsocket(S(conn_), FIONBIO, &nonBlocking);
    const int n = ::send(S(conn_), bytes.data(), static_cast<int>(bytes.size()), 0);
    const bool alive = n >= 0 || ::WSAGetLastError() == WSAEWOULDBLOCK;
    nonBlocking = 0;
    ::ioctlsocket(S(conn_), FIONBIO, &nonBlocking);
    return alive;
}

std::size_t LoopbackTcpServer::SendWithin(const std::string& bytes, int timeoutMs) {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(S(conn_), &writable);
    timeval tv{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    if (::select(0, nullptr, &writable, nullptr, &tv) != 1)
        return 0;
    u_long nonBlocking = 1;
    ::ioctlsocket(S(conn_), FIONBIO, &nonBlocking);
    const int n = ::send(S(conn_), bytes.data(), static_cast<int>(bytes.size()), 0);
    nonBlocking = 0;
    ::ioctlsocket(S(conn_), FIONBIO, &nonBlocking);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::string LoopbackTcpServer::Receive(std::size_t n, int timeoutMs) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        if (!Readable(conn_, MsLeft(end))) {
            ADD_FAILURE() << "got " << got.size() << " of " << n << " bytes";
            break;
        }
        char buffer[4096];
        const int r =
            ::recv(S(conn_), buffer, static_cast<int>(std::min(sizeof buffer, n - got.size())), 0);
        if (r <= 0) {
            ADD_FAILURE() << "the port closed after " << got.size() << " of " << n << " bytes";
            break;
        }
        got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

std::string LoopbackTcpServer::ReceiveAvailable(int timeoutMs) {
    std::string got;
    while (Readable(conn_, timeoutMs)) {
        char buffer[4096];
        const int r = ::recv(S(conn_), buffer, sizeof buffer, 0);
        if (r <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

bool LoopbackTcpServer::PeerClosed(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Readable(conn_, MsLeft(end))) {
        static char buffer[65536];
        if (::recv(S(conn_), buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

void LoopbackTcpServer::ShrinkReceiveBuffer() {
    const int size = 4096;
    ::setsockopt(S(conn_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                 sizeof size);
}

void LoopbackTcpServer::Close(bool reset) {
    if (conn_ == -1)
        return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(S(conn_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    }
    ::closesocket(S(conn_));
    conn_ = -1;
}

} // namespace rc_test
