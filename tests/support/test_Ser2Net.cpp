// The ser2net harness: what the network tests take from it must hold, or
// their failures would be the harness's: bytes reach the pty and come back,
// the RFC 2217 accepter speaks Telnet, nothing listens beyond 127.0.0.1, and
// no server outlives its test, also when the test program dies.

#include "tests/support/PtyPair.h"
#include "tests/support/Ser2Net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using rc_test::PtyPair;
using rc_test::Ser2Net;
using Clock = std::chrono::steady_clock;

// A TCP connection to address:port; -1 with errno when refused.
int Connect(const char* address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// Reads from fd until `want` bytes came (or `until` did), it closed, or 10 s passed.
std::string ReadSome(int fd, std::size_t want, const std::string& until = "") {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.size() < want && Clock::now() < deadline &&
           (until.empty() || got.find(until) == std::string::npos)) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// Whether process pid is gone (or a zombie nobody reaped: it holds nothing).
bool Gone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, comm, state;
    return !(stat >> pidText >> comm >> state) || state == "Z";
}

TEST(Ser2Net, BytesPassBothWaysBetweenTheRawAccepterAndThePty) {
    PtyPair pty;
    Ser2Net server(pty.PortName());
    EXPECT_EQ(server.RawName(), "tcp://127.0.0.1:" + std::to_string(server.RawPort()));
    const int fd = Connect("127.0.0.1", server.RawPort());
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string all(std::string("\0\xFF\r\n\x11\x13 bytes as they are", 23));
    ASSERT_EQ(::write(fd, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(pty.Receive(all.size()), all);
    ASSERT_TRUE(pty.Send(all));
    EXPECT_EQ(ReadSome(fd, all.size()), all);
    ::close(fd);
}

// The client is greeted with Telnet negotiation, COM-PORT-OPTION (44) among it.
TEST(Ser2Net, TheRfc2217AccepterOffersComPortControl) {
    PtyPair pty;
    Ser2Net server(pty.PortName());
    EXPECT_EQ(server.Rfc2217Name(), "rfc2217://127.0.0.1:" + std::to_string(server.Rfc2217Port()));
    const int fd = Connect("127.0.0.1", server.Rfc2217Port());
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::string doComPort = "\xFF\xFD\x2C";
    const std::string greeting = ReadSome(fd, 4096, doComPort);
    ASSERT_FALSE(greeting.empty());
    EXPECT_EQ(greeting[0], '\xFF') << "not Telnet";
    EXPECT_NE(greeting.find(doComPort), std::string::npos) << "no DO COM-PORT-OPTION";
    ::close(fd);
}

// Another loopback address reaches nothing: the accepters are bound to
// 127.0.0.1 itself, not to every address.
TEST(Ser2Net, ListensOnlyOn127001) {
    PtyPair pty;
    Ser2Net server(pty.PortName());
    for (const std::uint16_t port : {server.Rfc2217Port(), server.RawPort()}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(Connect("127.0.0.2", port), -1);
        EXPECT_EQ(errno, ECONNREFUSED);
    }
}

// Kill is the server going away: a connection sees its end, the process is
// reaped, and its ports listen no more.
TEST(Ser2Net, KillEndsConnectionsAndTheProcess) {
    PtyPair pty;
    std::optional<Ser2Net> server(std::in_place, pty.PortName());
    const pid_t pid = server->Pid();
    const int fd = Connect("127.0.0.1", server->RawPort());
    ASSERT_GE(fd, 0);
    server->Kill();
    EXPECT_FALSE(server->Running());
    EXPECT_TRUE(Gone(pid));
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the connection did not end";
    char c;
    EXPECT_LE(::read(fd, &c, 1), 0);
    ::close(fd);
    EXPECT_EQ(Connect("127.0.0.1", server->RawPort()), -1);
    server.reset(); // a second Kill, from the destructor, is harmless
}

// A test program that dies without its destructors (killed by its time-out)
// takes its server with it.
TEST(Ser2Net, AServerDiesWithTheProgramThatStartedIt) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        try {
            PtyPair pty;
            auto* server = new Ser2Net(pty.PortName()); // never destroyed
            const pid_t pid = server->Pid();
            char folder[256] = {};
            server->Folder().copy(folder, sizeof folder - 1);
            (void)!::write(pipeFds[1], &pid, sizeof pid);
            (void)!::write(pipeFds[1], folder, sizeof folder);
        } catch (...) {
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    pid_t serverPid = -1;
    char folder[256] = {};
    ASSERT_EQ(::read(pipeFds[0], &serverPid, sizeof serverPid),
              static_cast<ssize_t>(sizeof serverPid));
    ASSERT_EQ(::read(pipeFds[0], folder, sizeof folder), static_cast<ssize_t>(sizeof folder));
    ::close(pipeFds[0]);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec); // its program did not
    ::waitpid(child, nullptr, 0);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!Gone(serverPid) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(Gone(serverPid)) << "ser2net " << serverPid << " outlived its program";
    if (!Gone(serverPid))
        ::kill(serverPid, SIGKILL);
}

// A port taken by another program between its choice and ser2net's bind is
// seen (ser2net runs on without that accepter, saying so) and the server
// started again on other ports; ports that stay taken end the start with
// ser2net's reason, never a hang, and never take the other program's
// listener for the server's.
TEST(Ser2Net, APortTakenBeforeTheServerBindsItIsSeenAndAvoided) {
    PtyPair pty;
    const int taken = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const std::uint16_t takenPort = ntohs(a.sin_port);
    {
        SCOPED_TRACE("taken at the first attempt only");
        int attempts = 0;
        Ser2Net server(pty.PortName(), [&] {
            const auto free = rc_test::TwoFreePorts();
            return ++attempts == 1 ? rc_test::TPortPair{takenPort, free.second} : free;
        });
        EXPECT_EQ(attempts, 2);
        EXPECT_NE(server.Rfc2217Port(), takenPort);
        const int fd = Connect("127.0.0.1", server.RawPort());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "x", 1), 1);
        EXPECT_EQ(pty.Receive(1), "x");
        ::close(fd);
    }
    {
        SCOPED_TRACE("taken at every attempt");
        const auto started = Clock::now();
        try {
            Ser2Net server(pty.PortName(), [&] {
                return rc_test::TPortPair{rc_test::TwoFreePorts().first, takenPort};
            });
            ADD_FAILURE() << "started on a port another program holds";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("5 attempts"), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("Address already in use"), std::string::npos)
                << e.what();
        }
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
    }
    ::close(taken);
}

// Where the server is not, the reason says where it was looked for and how
// to get it; a device path that ser2net's configuration would parse is
// refused before anything starts.
TEST(Ser2Net, StartFailuresSayWhy) {
    PtyPair pty;
    const char* before = std::getenv("RC_SER2NET");
    const std::string saved = before != nullptr ? before : "";
    for (const char* program : {"/nonexistent/ser2net", "/tmp"}) {
        SCOPED_TRACE(program);
        ::setenv("RC_SER2NET", program, 1);
        try {
            Ser2Net server(pty.PortName());
            ADD_FAILURE() << "started without a program";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(program), std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find("scripts/setup"), std::string::npos) << e.what();
        }
    }
    if (before != nullptr)
        ::setenv("RC_SER2NET", saved.c_str(), 1);
    else
        ::unsetenv("RC_SER2NET");
    for (const char* device :
         {"/tmp/a,b", "/tmp/a b", "/tmp/a#b", "/tmp/a\nb\x1B[1m", "relative", ""}) {
        SCOPED_TRACE(device);
        try {
            Ser2Net server(device);
            ADD_FAILURE() << "started";
        } catch (const std::runtime_error& e) {
            const std::string why = e.what();
            EXPECT_EQ(why.find_first_of("\n\x1B"), std::string::npos) << "shown raw: " << why;
        }
    }
}

} // namespace
