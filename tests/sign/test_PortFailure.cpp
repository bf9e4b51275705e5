// Why a network port did not open, in the words radar-sign and the window's
// audit row share: each failure a network open can give names the server, and
// the code's own name follows. The serial reasons are tabled with radar-sign's
// (tests/tools/radar-sign/test_RadarSign.cpp); what POSIX alone can get
// wrong in PosixPortFailureTests.cpp.
#include "sign/PortFailure.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::chrono_literals;

// The time-out in force for a test, put back after it.
class ConnectTimeout {
public:
    explicit ConnectTimeout(std::chrono::milliseconds t) : old_(comm::net::ConnectTimeout()) {
        comm::net::SetConnectTimeout(t);
    }
    ~ConnectTimeout() { comm::net::SetConnectTimeout(old_); }

private:
    std::chrono::milliseconds old_;
};

TEST(PortFailure, ANetworkNameTellsItsServerAndTheTimeOutWithoutLookingAnythingUp) {
    const ConnectTimeout timeout(2500ms);
    const struct {
        const char* port;
        const char* address;
        const char* host;
    } rows[] = {
        {"tcp://127.0.0.1:4001", "127.0.0.1:4001", "127.0.0.1"},
        {"RFC2217://Sign-4.example:023", "Sign-4.example:23", "Sign-4.example"},
        {"tcp://[2001:db8::1]:7", "[2001:db8::1]:7", "[2001:db8::1]"},
        {"\\\\.\\tcp://h:1", "h:1", "h"},
    };
    for (const auto& r : rows) {
        const sign::TPortFacts facts = sign::NameFacts(r.port);
        EXPECT_EQ(facts.NetAddress, r.address) << r.port;
        EXPECT_EQ(facts.NetHost, r.host) << r.port;
        EXPECT_EQ(facts.ConnectTimeout, 2500ms) << r.port;
    }
    for (const char* other : {"ttyUSB0", "COM3", "tcp://h:99999", "tcp://h", "/dev/pts/1"}) {
        EXPECT_EQ(sign::NameFacts(other).NetAddress, "") << other;
        EXPECT_EQ(sign::NameFacts(other).ConnectTimeout, 0ms) << other;
    }
}

TEST(PortFailure, EachNetworkFailureIsToldInWordsWithItsCodesName) {
    // A network port's facts, with the code's name as PortFacts gives it.
    const auto net = [](const std::string& errorName, std::chrono::milliseconds timeout = 5000ms) {
        sign::TPortFacts facts;
        facts.NetAddress = "sign-4:4001";
        facts.NetHost = "sign-4";
        facts.ConnectTimeout = timeout;
        facts.ErrorName = errorName;
        return facts;
    };
    struct Row {
        std::uint32_t osError;
        sign::TPortFacts facts;
        const char* text;
    };
    const Row rows[] = {
        {comm::WSAECONNREFUSED, net("WSAECONNREFUSED, OS error 10061"),
         "nothing accepts connections at sign-4:4001 (WSAECONNREFUSED, OS error 10061)"},
        {comm::WSAHOST_NOT_FOUND, net("WSAHOST_NOT_FOUND, OS error 11001"),
         "host sign-4 not found (WSAHOST_NOT_FOUND, OS error 11001)"},
        {comm::WSATRY_AGAIN, net("WSATRY_AGAIN, OS error 11002"),
         "the name server did not answer for sign-4 (WSATRY_AGAIN, OS error 11002)"},
        {comm::WSAENETUNREACH, net("WSAENETUNREACH, OS error 10051"),
         "no route to the network of sign-4 (WSAENETUNREACH, OS error 10051)"},
        {comm::WSAEHOSTUNREACH, net("WSAEHOSTUNREACH, OS error 10065"),
         "no route to host sign-4 (WSAEHOSTUNREACH, OS error 10065)"},
        {comm::WSAETIMEDOUT, net("WSAETIMEDOUT, OS error 10060"),
         "timed out connecting to sign-4:4001 (connect time-out 5 s) "
         "(WSAETIMEDOUT, OS error 10060)"},
        {comm::WSAETIMEDOUT, net("WSAETIMEDOUT, OS error 10060", 1250ms),
         "timed out connecting to sign-4:4001 (connect time-out 1.25 s) "
         "(WSAETIMEDOUT, OS error 10060)"},
        {comm::WSAECONNRESET, net("WSAECONNRESET, OS error 10054"),
         "the connection to sign-4:4001 was reset (WSAECONNRESET, OS error 10054)"},
        {comm::ERROR_NOT_SUPPORTED, net("ERROR_NOT_SUPPORTED, OS error 50"),
         "sign-4:4001 does not speak RFC 2217 (a raw TCP port is named tcp://) "
         "(ERROR_NOT_SUPPORTED, OS error 50)"},
        // A server that ends the connection is not a device unplugged.
        {comm::ERROR_DEVICE_REMOVED, net(""),
         "the device server at sign-4:4001 closed the connection"},
        {comm::ERROR_DEVICE_REMOVED, sign::TPortFacts{}, "the device has gone"},
        // The serial words serve for what is no network's own failure.
        {comm::ERROR_GEN_FAILURE, net(""), "the device does not work (OS error 31)"},
        // A Winsock code without the facts still reads as a network failure.
        {comm::WSAECONNREFUSED, sign::TPortFacts{},
         "nothing accepts connections at the server (OS error 10061)"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(sign::OpenFailureText(r.osError, r.facts), r.text) << r.osError;
    // The names in the rows are the ones WinsockErrorName gives.
    for (const Row& r : rows) {
        if (r.facts.ErrorName.rfind("WSA", 0) == 0) {
            EXPECT_EQ(sign::WinsockErrorName(r.osError) + ", OS error " + std::to_string(r.osError),
                      r.facts.ErrorName);
        }
    }
    // Out of descriptors is said for a network port as for a serial one.
    sign::TPortFacts emfile = net("EMFILE, errno 24");
    emfile.OutOfFiles = true;
    EXPECT_EQ(sign::OpenFailureText(comm::ERROR_GEN_FAILURE, emfile),
              "too many open files (EMFILE, errno 24)");
}

} // namespace
