// radar-sign against a sign behind a real device server: sign-sim on a
// pseudo-terminal, ser2net in front of it (tests/support/Ser2Net.h), reached
// as rfc2217://127.0.0.1:P and tcp://127.0.0.1:Q. The commands go through
// unchanged; a server that goes away in the middle of a command, and one that
// accepts but never negotiates, end the command with a port failure (status
// 3) and a reason, within the command's time-outs.

#include "tests/support/Ser2Net.h"
#include "tests/tools/radar-sign/RadarSignRuns.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace radarsign_test;
using rc_test::Ser2Net;

enum class TKind { kRfc2217, kRaw };

std::string NameOf(const Ser2Net& server, TKind kind) {
    return kind == TKind::kRfc2217 ? server.Rfc2217Name() : server.RawName();
}

// "127.0.0.1:P" of a port name, as the reasons name the server.
std::string AddressOf(const std::string& name) {
    return name.substr(name.find("://") + 3);
}

class RadarSignNet : public ::testing::TestWithParam<TKind> {};

// Each command on a server of its own: ser2net lets the device go a moment
// after a connection closes, and refuses a new one until then. The sign's
// clock stands still, so that --verify reads back exactly the time sent: a
// line setting that waited (ser2net on a pty answers no DTR or RTS setting)
// would show as the sign being behind.
TEST_P(RadarSignNet, CommandsGoThroughTheServerUnchanged) {
    struct Row {
        std::vector<std::string> args; // the port follows the first
        std::vector<std::string> frames;
        const char* result;
        const char* tries;
        const char* offset;
    };
    const Row rows[] = {
        {{"read-time"}, {kReadTime}, "ok 12/07 2026  14:35", "1 try", "0"},
        {{"send-time", "--verify", "--at", "2026-12-07 14:35:09"},
         {kSetTime, kReadTime},
         "ok",
         "2 tries",
         "0"},
        {{"download", "--morning", "07:30-09:00", "--afternoon", "14:00-16:30", "--morning-speed",
          "25", "--afternoon-speed", "30", "--regular-speed", "50", "--rate", "1"},
         {"F7 8C 8D 8A 02 07 1E 09 00 19 0E 00 10 1E 1E 32 01 5A"},
         "ok",
         "1 try",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0]);
        Sim sim;
        Ser2Net server(sim.Port());
        const std::string name = NameOf(server, GetParam());
        std::vector<std::string> args = row.args;
        args.insert(args.begin() + 1, name);
        const TRun r = RadarSign(args, {kPcIsSign});
        EXPECT_EQ(r.status, 0) << r.out << r.err << server.Log();
        const auto fields = ResultOf(r.out, name);
        ASSERT_EQ(fields.size(), 6u) << r.out;
        EXPECT_EQ(fields[1], row.args[0]);
        EXPECT_EQ(fields[2], row.result);
        EXPECT_EQ(fields[3], row.tries);
        EXPECT_EQ(fields[5], row.offset);
        EXPECT_EQ(sim.Received(), row.frames) << sim.Log();
        EXPECT_EQ(r.err, "");
    }
}

// The server killed while the command waits for the sign's answer: the
// device is gone, said as the server closing the connection, long before
// the answer's time-out; no second try is written to a server that is gone.
TEST_P(RadarSignNet, AServerThatGoesAwayMidCommandEndsItWithAReason) {
    Sim sim({"--silent"});
    Ser2Net server(sim.Port());
    const std::string name = NameOf(server, GetParam());
    Child child(RADAR_SIGN_PATH, {"read-time", name, "--tries", "3", "--timeout", "15000"},
                {"XDG_DATA_HOME=" + DataHome()});
    ASSERT_TRUE(sim.WaitForLog("not answered")) << sim.Log();
    const auto killed = Clock::now();
    server.Kill();
    const int status = child.Wait();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - killed);
    EXPECT_EQ(status, 3) << child.Stdout() << child.Stderr();
    const auto fields = ResultOf(child.Stdout(), name);
    ASSERT_EQ(fields.size(), 6u) << child.Stdout();
    EXPECT_EQ(fields[2], "the device server at " + AddressOf(name) + " closed the connection");
    EXPECT_LT(took, milliseconds(15000)) << "ended by the answer's time-out, not the server";
    EXPECT_EQ(sim.Received(), std::vector<std::string>{kReadTime});
}

std::string KindName(const ::testing::TestParamInfo<TKind>& info) {
    return info.param == TKind::kRfc2217 ? "Rfc2217" : "Raw";
}
INSTANTIATE_TEST_SUITE_P(Ser2Net, RadarSignNet, ::testing::Values(TKind::kRfc2217, TKind::kRaw),
                         KindName);

// A listening socket of the test's that never accepts: the kernel completes
// the connection, and nothing is ever said on it.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
        port_ = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// An rfc2217:// name whose server never negotiates ends the command within
// --connect-timeout, as timed out connecting: ser2net's raw accepter (the
// client's negotiation goes to the sign as noise, and nobody answers it),
// and a socket that accepts at the kernel and says nothing.
TEST(RadarSignNetNegotiation, AServerThatNeverNegotiatesEndsWithinTheConnectTimeout) {
    Sim sim;
    Ser2Net server(sim.Port());
    SilentListener silent;
    const std::string names[] = {
        "rfc2217://127.0.0.1:" + std::to_string(server.RawPort()),
        "rfc2217://127.0.0.1:" + std::to_string(silent.Port()),
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const TRun r = RadarSign({"read-time", name, "--connect-timeout", "1"});
        EXPECT_EQ(r.status, 3) << r.out << r.err;
        const auto fields = ResultOf(r.out, name);
        ASSERT_EQ(fields.size(), 6u) << r.out;
        EXPECT_EQ(fields[2], "timed out connecting to " + AddressOf(name) +
                                 " (connect time-out 1 s) (WSAETIMEDOUT, OS error 10060)");
        EXPECT_EQ(fields[3], "0 tries");
        EXPECT_GE(r.elapsed, milliseconds(900)) << "ended before the connect time-out";
        EXPECT_LT(r.elapsed, milliseconds(4000)) << "not ended by the connect time-out";
    }
    EXPECT_EQ(sim.Received(), std::vector<std::string>{}) << "the sign took noise as a frame";
}

} // namespace
