// The loopback test server on BSD sockets (LoopbackTcpServer.h).
#include "tests/support/LoopbackTcpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

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

} // namespace

LoopbackTcpServer::LoopbackTcpServer(int backlog, bool ipv6) : ipv6_(ipv6) {
    const int s = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error("socket failed");
    listen_ = s;
    sockaddr_storage storage{};
    socklen_t length = 0;
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
        ::close(static_cast<int>(k));
    if (listen_ >= 0)
        ::close(static_cast<int>(listen_));
}

bool LoopbackTcpServer::Readable(std::intptr_t socket, int timeoutMs) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1;
}

bool LoopbackTcpServer::Accept(int timeoutMs) {
    if (!Readable(listen_, timeoutMs)) {
        ADD_FAILURE() << "no connection came";
        return false;
    }
    Close();
    conn_ = ::accept4(static_cast<int>(listen_), nullptr, nullptr, SOCK_CLOEXEC);
    const int one = 1;
    ::setsockopt(static_cast<int>(conn_), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return conn_ >= 0;
}

bool LoopbackTcpServer::Knocked() const {
    return Readable(listen_, 0);
}

void LoopbackTcpServer::KnockUnanswered() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port_);
    ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    knocks_.push_back(s);
}

void LoopbackTcpServer::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(static_cast<int>(conn_), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            ADD_FAILURE() << "send failed";
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

bool LoopbackTcpServer::TrySend(const std::string& bytes) {
    return ::send(static_cast<int>(conn_), bytes.data(), bytes.size(),
                  MSG_NOSIGNAL | MSG_DONTWAIT) >= 0 ||
           errno == EAGAIN || errno == EWOULDBLOCK;
}

std::size_t LoopbackTcpServer::SendWithin(const std::string& bytes, int timeoutMs) {
    pollfd p{static_cast<int>(conn_), POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) != 1)
        return 0;
    const ssize_t n =
        ::send(static_cast<int>(conn_), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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
        const ssize_t r =
            ::recv(static_cast<int>(conn_), buffer, std::min(sizeof buffer, n - got.size()), 0);
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
        const ssize_t r = ::recv(static_cast<int>(conn_), buffer, sizeof buffer, 0);
        if (r <= 0)
            break;
        got.append(buffer, static_cast<std::size_t>(r));
    }
    return got;
}

bool LoopbackTcpServer::PeerClosed(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Readable(conn_, MsLeft(end))) {
        char buffer[65536];
        if (::recv(static_cast<int>(conn_), buffer, sizeof buffer, 0) <= 0)
            return true;
    }
    return false;
}

void LoopbackTcpServer::ShrinkReceiveBuffer() {
    const int size = 4096;
    ::setsockopt(static_cast<int>(conn_), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void LoopbackTcpServer::Close(bool reset) {
    if (conn_ < 0)
        return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(static_cast<int>(conn_), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(static_cast<int>(conn_));
    conn_ = -1;
}

} // namespace rc_test
