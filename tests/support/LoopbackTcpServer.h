#pragma once
// A TCP server on 127.0.0.1 that a test scripts byte for byte, playing a
// device server (raw or RFC 2217) for the network backend's tests: it
// listens on a port of the system's choosing, accepts, sends what the test
// says, and reads what the port sent. Never reached from beyond this
// machine. Waits give up after 10 s with a test failure, so that a broken
// case ends instead of hanging.

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace rc_test {

class LoopbackTcpServer {
public:
    static constexpr int kGiveUpMs = 10000;

    // backlog: the listen queue (0 and never accepting: connects beyond the
    // first few go unanswered, as to a host that drops them).
    explicit LoopbackTcpServer(int backlog = 8) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_ < 0)
            throw std::runtime_error("socket failed");
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, backlog) != 0)
            throw std::runtime_error("bind/listen failed");
        socklen_t length = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackTcpServer() {
        Close();
        if (listen_ >= 0)
            ::close(listen_);
    }
    LoopbackTcpServer(const LoopbackTcpServer&) = delete;
    LoopbackTcpServer& operator=(const LoopbackTcpServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "tcp://127.0.0.1:PORT" or "rfc2217://..." for this server.
    std::string Name(const char* scheme = "tcp") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }

    // Accepts the next connection; false (and a test failure) when none
    // comes in time.
    bool Accept(int timeoutMs = kGiveUpMs) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1) {
            ADD_FAILURE() << "no connection came";
            return false;
        }
        Close();
        conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        const int one = 1;
        ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return conn_ >= 0;
    }
    // Whether a connection waits to be accepted (without accepting it).
    bool Knocked() const {
        pollfd p{listen_, POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }

    void Send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "send failed";
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    // Sends without waiting for room; false once the port has closed.
    bool TrySend(const std::string& bytes) {
        return ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0 ||
               errno == EAGAIN || errno == EWOULDBLOCK;
    }
    // Exactly n bytes from the port (fewer, with a test failure, when they
    // do not come in time or the port closed).
    std::string Receive(std::size_t n, int timeoutMs = kGiveUpMs) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{conn_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) {
                ADD_FAILURE() << "got " << got.size() << " of " << n << " bytes";
                break;
            }
            char buffer[4096];
            const ssize_t r = ::recv(conn_, buffer, std::min(sizeof buffer, n - got.size()), 0);
            if (r <= 0) {
                ADD_FAILURE() << "the port closed after " << got.size() << " of " << n << " bytes";
                break;
            }
            got.append(buffer, static_cast<std::size_t>(r));
        }
        return got;
    }
    // What the port sent within timeoutMs of silence (nothing: "").
    std::string ReceiveAvailable(int timeoutMs) {
        std::string got;
        for (;;) {
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, timeoutMs) != 1)
                return got;
            char buffer[4096];
            const ssize_t r = ::recv(conn_, buffer, sizeof buffer, 0);
            if (r <= 0)
                return got;
            got.append(buffer, static_cast<std::size_t>(r));
        }
    }
    // Whether the port closed its end: end of input within timeoutMs,
    // skipping what it sent before.
    bool PeerClosed(int timeoutMs = kGiveUpMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{conn_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1)
                return false;
            char buffer[4096];
            const ssize_t r = ::recv(conn_, buffer, sizeof buffer, 0);
            if (r <= 0)
                return true;
        }
    }
    // Stops reading: the socket's receive buffer made small so that the
    // port's writes stall soon.
    void ShrinkReceiveBuffer() {
        const int size = 4096;
        ::setsockopt(conn_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    // Closes the connection (the device server going away); with reset, by
    // an RST instead of a FIN.
    void Close(bool reset = false) {
        if (conn_ < 0)
            return;
        if (reset) {
            linger l{1, 0};
            ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(conn_);
        conn_ = -1;
    }
    // Stops listening: a connect to the port is then refused.
    void StopListening() {
        ::close(listen_);
        listen_ = -1;
    }

private:
    int listen_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace rc_test
