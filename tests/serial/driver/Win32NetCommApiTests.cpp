// What differs on Windows: the OS's own answers (the WSA codes of
// getaddrinfo and connect) injected at the socket layer and turned into
// the codes CreateFileA reports.
#include "tests/serial/driver/NetCommApiTest.h"

namespace net_test {
namespace {

TEST_F(NetCommApiTest, TheOsAnswersBecomeTheOpenErrors) {
    struct Row {
        int lookup;
        int connect;
        std::uint32_t error;
    };
    // The WSA codes as Winsock numbers them.
    constexpr int kHostNotFound = 11001, kTryAgain = 11002, kNoRecovery = 11003;
    constexpr int kNetUnreach = 10051, kNetDown = 10050, kHostUnreach = 10065, kTimedOut = 10060,
                  kRefused = 10061, kNoSockets = 10024, kNoBuffers = 10055;
    const Row rows[] = {
        {kHostNotFound, 0, comm::WSAHOST_NOT_FOUND}, {kNoRecovery, 0, comm::WSAHOST_NOT_FOUND},
        {kTryAgain, 0, comm::WSATRY_AGAIN},          {0, kNetUnreach, comm::WSAENETUNREACH},
        {0, kNetDown, comm::WSAENETUNREACH},         {0, kHostUnreach, comm::WSAEHOSTUNREACH},
        {0, kTimedOut, comm::WSAETIMEDOUT},          {0, kRefused, comm::WSAECONNREFUSED},
        {0, kNoSockets, comm::ERROR_GEN_FAILURE},    {0, kNoBuffers, comm::ERROR_NOT_ENOUGH_MEMORY},
    };
    LoopbackTcpServer server;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.lookup) + "/" + std::to_string(row.connect));
        comm::net::SetSocketFaults(
            {[&](const std::string&) { return row.lookup; }, [&] { return row.connect; }});
        const std::string name = row.lookup != 0 ? "tcp://sign-17.example:4001" : server.Name();
        EXPECT_EQ(OpenError(name), row.error);
    }
}

} // namespace
} // namespace net_test
