#pragma once
// A TCP server on 127.0.0.1 that a test scripts byte for byte, playing a
// device server (raw or RFC 2217) for the network backend's tests: it
// listens on a port of the system's choosing, accepts, sends what the test
// says, and reads what the port sent. Never reached from beyond this
// machine. Waits give up after 10 s with a test failure, so that a broken
// case ends instead of hanging. PosixLoopbackTcpServer.cpp (BSD sockets)
// and Win32LoopbackTcpServer.cpp (Winsock) are its two halves.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rc_test {

class LoopbackTcpServer {
public:
    static constexpr int kGiveUpMs = 10000;

    // backlog: the listen queue (0 and never accepting: connects beyond the
    // first few go unanswered on Linux, as to a host that drops them).
    // ipv6: on [::1] instead of 127.0.0.1. Throws std::runtime_error when
    // the system cannot listen there.
    explicit LoopbackTcpServer(int backlog = 8, bool ipv6 = false);
    ~LoopbackTcpServer();
    LoopbackTcpServer(const LoopbackTcpServer&) = delete;
    LoopbackTcpServer& operator=(const LoopbackTcpServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "tcp://127.0.0.1:PORT" (or "tcp://[::1]:PORT"), or "rfc2217://..."
    // for this server.
    std::string Name(const char* scheme = "tcp") const {
        return std::string(scheme) + (ipv6_ ? "://[::1]:" : "://127.0.0.1:") +
               std::to_string(port_);
    }

    // Accepts the next connection; false (and a test failure) when none
    // comes in time.
    bool Accept(int timeoutMs = kGiveUpMs);
    // Whether a connection waits to be accepted (without accepting it).
    bool Knocked() const;
    // Connects to the server from the test itself, without accepting: fills
    // the listen queue. Kept until the server goes.
    void KnockUnanswered();

    void Send(const std::string& bytes);
    // Sends without waiting for room; false once the port has closed.
    bool TrySend(const std::string& bytes);
    // Sends what the connection takes once it has room, waiting for room
    // at most timeoutMs; the count sent (0: no room came, or it closed).
    std::size_t SendWithin(const std::string& bytes, int timeoutMs);
    // Exactly n bytes from the port (fewer, with a test failure, when they
    // do not come in time or the port closed).
    std::string Receive(std::size_t n, int timeoutMs = kGiveUpMs);
    // What the port sent until timeoutMs of silence (nothing: "").
    std::string ReceiveAvailable(int timeoutMs);
    // Whether the port closed its end: end of input within timeoutMs,
    // skipping what it sent before.
    bool PeerClosed(int timeoutMs = kGiveUpMs);
    // A small receive buffer, so that the port's writes stall soon when the
    // server reads nothing.
    void ShrinkReceiveBuffer();
    // Closes the connection (the device server going away); with reset, by
    // an RST instead of a FIN.
    void Close(bool reset = false);

private:
    // Whether the socket becomes readable within timeoutMs.
    static bool Readable(std::intptr_t socket, int timeoutMs);

    std::intptr_t listen_ = -1;
    std::intptr_t conn_ = -1;
    std::vector<std::intptr_t> knocks_;
    std::uint16_t port_ = 0;
    bool ipv6_ = false;
};

} // namespace rc_test
