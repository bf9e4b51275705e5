#pragma once
// Signs reached over the network, for the tests and the benchmarks: a number
// of TCP ports listening on 127.0.0.1 only (each chosen by the system), each a
// sign behind a device server in raw mode: the bytes on the connection are the
// bytes on the sign's serial line, and each request frame is answered as
// sign-sim answers it (tools/sign-sim/SimSign.h), after a chosen delay. Each
// port is one sign with one clock, whichever connection reaches it; a port
// takes any number of connections at once.
//
// One or two threads serve every port and connection (epoll, non-blocking
// sockets), so a thousand signs cost two threads and about two descriptors
// each: whoever starts a thousand raises its open-file limit first. Linux
// only. Needs no test framework.
//
// Thread: the calls may come from any thread. Blocks: the constructor until
// every port listens; CloseConnections and Stop until the serving threads
// have done it. Raises: std::runtime_error from the constructor when a port
// cannot be opened (the reason with the system's words).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rc_test {

struct TcpSignServerOptions {
    // What a port does with a valid request frame.
    enum Mode {
        Answer, // replies after Delay
        Silent, // takes it and never replies (a sign that does not answer)
        Close,  // closes that connection at once (the device server drops the line)
    };
    std::size_t Ports = 1;
    std::chrono::milliseconds Delay{0}; // from the request's last byte to the reply
    unsigned Threads = 1;               // 1 or 2
    Mode OnRequest = Answer;
    // Each sign's clock stopped at these six BCD bytes (sign-sim's --clock);
    // none: the clock starts at the PC's local time and runs.
    std::optional<std::string> ClockBytes;
};

class TcpSignServer {
public:
    explicit TcpSignServer(const TcpSignServerOptions& options);
    // `ports` signs answering after `delay`, on one thread.
    explicit TcpSignServer(std::size_t ports = 1,
                           std::chrono::milliseconds delay = std::chrono::milliseconds{0});
    ~TcpSignServer(); // Stop()
    TcpSignServer(const TcpSignServer&) = delete;
    TcpSignServer& operator=(const TcpSignServer&) = delete;

    // The port numbers, in the order of the signs.
    const std::vector<std::uint16_t>& Ports() const;
    // The port name of sign i: "tcp://127.0.0.1:PORT".
    std::string Name(std::size_t i) const;

    // Counts since the start, over every port.
    std::size_t Connections() const; // accepted
    std::size_t Requests() const;    // valid request frames received
    // Replies handed to their connection (counted before a client can read
    // them; a reply dropped because the client reads nothing is not).
    std::size_t Replies() const;

    // Closes every open connection, as a device server does that drops its
    // clients; the ports keep listening. Returns when they are closed.
    void CloseConnections();
    // Closes everything and ends the threads; idempotent.
    void Stop();

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

} // namespace rc_test
