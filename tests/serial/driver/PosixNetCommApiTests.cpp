// What differs on POSIX: the OS's own answers (getaddrinfo's EAI_* codes,
// connect's errno) injected at the socket layer and turned into the codes
// CreateFileA reports, with the errno behind "no descriptor left"; and a
// host that never answers the connect, made for real with a listener whose
// queue is full (Linux then drops the connects).
#include "serial/driver/PosixCommApi.h"
#include "tests/serial/driver/NetCommApiTest.h"

#include <cerrno>
#include <netdb.h>

namespace net_test {
namespace {

TEST_F(NetCommApiTest, TheOsAnswersBecomeTheOpenErrors) {
    // What the resolver and the connect say, as the OS says it.
    struct Row {
        int lookup;
        int connect;
        std::uint32_t error;
        int errnoBehind;
    };
    const Row rows[] = {
        {EAI_NONAME, 0, comm::WSAHOST_NOT_FOUND, 0},  {EAI_FAIL, 0, comm::WSAHOST_NOT_FOUND, 0},
        {EAI_AGAIN, 0, comm::WSATRY_AGAIN, 0},        {0, ENETUNREACH, comm::WSAENETUNREACH, 0},
        {0, EHOSTUNREACH, comm::WSAEHOSTUNREACH, 0},  {0, ETIMEDOUT, comm::WSAETIMEDOUT, 0},
        {0, ECONNREFUSED, comm::WSAECONNREFUSED, 0},  {0, EMFILE, comm::ERROR_GEN_FAILURE, EMFILE},
        {0, ENFILE, comm::ERROR_GEN_FAILURE, ENFILE},
    };
    LoopbackTcpServer server;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.lookup) + "/" + std::to_string(row.connect));
        comm::net::SetSocketFaults(
            {[&](const std::string&) { return row.lookup; }, [&] { return row.connect; }});
        const std::string name = row.lookup != 0 ? "tcp://sign-17.example:4001" : server.Name();
        EXPECT_EQ(OpenError(name), row.error);
        EXPECT_EQ(comm::posix::ErrnoBehind(row.error), row.errnoBehind);
    }
}

TEST_F(NetCommApiTest, ASilentHostEndsTheOpenInTime) {
    comm::net::SetConnectTimeout(300ms);
    // A host that never answers the connect: a listener whose queue is full
    // drops the next ones.
    LoopbackTcpServer full(0);
    for (int i = 0; i < 4; ++i)
        full.KnockUnanswered();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenError(full.Name()), comm::WSAETIMEDOUT);
    EXPECT_GE(MsSince(start), 250u);
    EXPECT_LT(MsSince(start), 1500u);
}

} // namespace
} // namespace net_test
