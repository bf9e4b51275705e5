// radar-sign for a fleet of signs behind device servers: network port names,
// --ports-from lists, --connect-timeout, the reasons a network port gives and
// the open-file limit. The rules are checked in tables without ports; the
// program runs against signs served on 127.0.0.1 by the test itself
// (tests/support/TcpSignServer.h), never anything else.

#include "tests/support/TcpSignServer.h"
#include "tests/tools/radar-sign/RadarSignRuns.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace radarsign_test;
using namespace std::chrono_literals;

// A ports list of the test's own.
std::string WriteList(const TempDir& dir, const std::string& name, const std::string& text) {
    const fs::path path = dir.Path() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
}

// ---- The rules, without ports ----------------------------------------------------------

TEST(RadarSignFleetParsing, NetworkNamesAreTakenAndAMalformedOneIsBadInputSaidWhy) {
    for (const char* good : {"tcp://127.0.0.1:4001", "rfc2217://sign-4.example:23",
                             "TCP://[2001:db8::1]:7", "tcp://h:023", "\\\\.\\tcp://h:1"}) {
        const auto p = radarsign::ParseArguments({"read-time", good});
        ASSERT_TRUE(p.Options) << good << ": " << p.Error;
        EXPECT_EQ(p.Options->Ports, std::vector<std::string>{good});
    }
    const struct {
        const char* name;
        const char* says;
    } bad[] = {
        {"tcp://host:99999", "port 99999 is out of range (1-65535)"},
        {"tcp://host", "no port in"},
        {"tcp://host:", "the port after ':' is empty"},
        {"rfc2217://:4001", "the host is empty"},
        {"tcp://[fe80::1%25eth0]:4001", "fe80::1%25eth0"},
        {"tcp://user@host:1", "user information"},
        {"tcp://host:1/path", "nothing may follow the port"},
        {"tcp://::1:4001", "an IPv6 address must be written in brackets"},
        // Bytes from outside are shown escaped, never as they are.
        {"tcp://h\xff:1", "h\\xFF"},
    };
    for (const auto& b : bad) {
        const auto p = radarsign::ParseArguments({"read-time", b.name});
        EXPECT_FALSE(p.Options) << b.name;
        EXPECT_NE(p.Error.find(b.says), std::string::npos) << b.name << ": " << p.Error;
        EXPECT_EQ(p.Error.find('\xff'), std::string::npos) << p.Error;
    }
}

TEST(RadarSignFleetParsing, TheConnectTimeOutIsSecondsToTheMillisecond) {
    const auto parsed = radarsign::ParseArguments({"read-time", "tcp://h:1"});
    ASSERT_TRUE(parsed.Options);
    EXPECT_EQ(parsed.Options->ConnectTimeout, comm::net::kDefaultConnectTimeout);
    const struct {
        const char* value;
        long long ms; // 0: refused
    } rows[] = {
        {"5", 5000},  {"0.5", 500},  {"2.25", 2250}, {"0.001", 1},   {"300", 300000},
        {"07", 7000}, {"0", 0},      {"0.000", 0},   {"300.001", 0}, {"301", 0},
        {"-1", 0},    {"1.2345", 0}, {".5", 0},      {"5.", 0},      {"1e3", 0},
        {"5s", 0},    {"", 0},       {" 5", 0},      {"1,5", 0},     {"99999999999", 0},
    };
    for (const auto& r : rows) {
        const auto p = radarsign::ParseArguments(
            {"read-time", "tcp://h:1", std::string("--connect-timeout=") + r.value});
        if (r.ms == 0) {
            EXPECT_FALSE(p.Options) << r.value;
            EXPECT_NE(p.Error.find("--connect-timeout"), std::string::npos) << p.Error;
            EXPECT_NE(p.Error.find("0.001 to 300"), std::string::npos) << p.Error;
        } else {
            ASSERT_TRUE(p.Options) << r.value << ": " << p.Error;
            EXPECT_EQ(p.Options->ConnectTimeout.count(), r.ms) << r.value;
        }
    }
    // Any command may name it, and the usage says it.
    EXPECT_TRUE(radarsign::ParseArguments({"ports", "--connect-timeout", "1"}).Options);
    EXPECT_NE(radarsign::Usage().find("--connect-timeout S"), std::string::npos);
    EXPECT_NE(radarsign::Usage().find("--ports-from FILE"), std::string::npos);
}

TEST(RadarSignFleetParsing, ListedPortsJoinTheTypedOnesInOrderEachOnce) {
    TempDir dir;
    const std::string a = WriteList(dir, "a.txt",
                                    "\xEF\xBB\xBF# district 4\r\n"
                                    "tcp://10.0.0.1:4001  # school zone\r\n"
                                    "\r\n"
                                    "  rfc2217://sign-7:23\r\n");
    const std::string b = WriteList(dir, "b.txt", "ttyUSB0\n");
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> ports;
    } rows[] = {
        {{"read-time", "--ports-from", a}, {"tcp://10.0.0.1:4001", "rfc2217://sign-7:23"}},
        {{"read-time", "COM3", "--ports-from", a, "ttyS9"},
         {"COM3", "tcp://10.0.0.1:4001", "rfc2217://sign-7:23", "ttyS9"}},
        {{"send-time", "--ports-from=" + b, "--ports-from", a},
         {"ttyUSB0", "tcp://10.0.0.1:4001", "rfc2217://sign-7:23"}},
        {{"download", "--ports-from", b, "--settings", "LEDINFO.BIN"}, {"ttyUSB0"}},
    };
    for (const auto& r : rows) {
        const auto p = radarsign::ParseArguments(r.args);
        ASSERT_TRUE(p.Options) << p.Error;
        EXPECT_EQ(p.Options->Ports, r.ports);
    }
}

TEST(RadarSignFleetParsing, ABadListIsBadInputSayingTheFileAndTheLine) {
    TempDir dir;
    const std::string good = WriteList(dir, "good.txt", "tcp://h:1\n");
    const std::string badName = WriteList(dir, "bad.txt", "# ok\ntcp://h:1\n\ntcp://h:99999\n");
    const std::string control = WriteList(dir, "control.txt", "tcp://h:2\ntty\x1b[2J\n");
    const std::string twice = WriteList(dir, "twice.txt", "tcp://h:1\ntcp://h:2\ntcp://h:1\n");
    const std::string empty = WriteList(dir, "empty.txt", "# nothing yet\n\n");
    const std::string hostile = WriteList(dir, "list\x1b]0;x\a.txt", "tcp://h:1\ntcp://h\n");
    fs::create_directory(dir.Path() / "folder");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } rows[] = {
        {{"read-time", "--ports-from", badName},
         badName + " line 4: port 99999 is out of range (1-65535)"},
        {{"read-time", "--ports-from", control}, control + " line 2: port name 'tty\\x1B[2J'"},
        {{"read-time", "--ports-from", twice},
         "port tcp://h:1 given twice (" + twice + " line 1, " + twice + " line 3)"},
        {{"read-time", "tcp://h:1", "--ports-from", good},
         "port tcp://h:1 given twice (typed, " + good + " line 1)"},
        {{"read-time", "--ports-from", empty}, "--ports-from " + empty + ": no port in the file"},
        {{"read-time", "--ports-from", dir / "none.txt"}, "none.txt: no such file"},
        {{"read-time", "--ports-from", dir / "folder"}, "is a folder"},
        {{"read-time", "--ports-from", "/dev/null"}, "is not a regular file"},
        {{"read-time", "--ports-from", "-"}, "standard input is not read"},
        {{"read-time", "--ports-from", ""}, "--ports-from needs a file name"},
        {{"read-time", "--ports-from", good, "--ports-from", good}, "given twice"},
        {{"ports", "--ports-from", good}, "belongs to read-time, send-time or download"},
        {{"read-time", "--ports-from"}, "needs a value"},
        {{"read-time", "--ports-from", hostile}, "list\\x1B]0;x\\x07.txt line 2: no port in"},
    };
    for (const auto& r : rows) {
        const auto p = radarsign::ParseArguments(r.args);
        EXPECT_FALSE(p.Options) << r.says;
        EXPECT_NE(p.Error.find(r.says), std::string::npos) << p.Error << "\n  / " << r.says;
        EXPECT_EQ(p.Error.find('\x1b'), std::string::npos) << p.Error;
    }
}

TEST(RadarSignFleetParsing, TwoNamesOfOneServerPortAreOnePortWithoutAskingAnyone) {
    const struct {
        std::vector<std::string> ports;
        const char* says; // empty: different ports
    } rows[] = {
        {{"Tcp://h:023", "tcp://h:23"}, "Tcp://h:023 and tcp://h:23 are the same port"},
        {{"tcp://Sign-4:1", "rfc2217://sign-4:1"}, "are the same port"},
        {{"tcp://[::1]:9", "tcp://[0::1]:9"}, "are the same port"},
        {{"tcp://localhost:1", "tcp://127.0.0.1:1"}, ""},
        {{"tcp://h:1", "tcp://h:2", "ttyUSB0"}, ""},
    };
    for (const auto& r : rows)
        EXPECT_NE(radarsign::SamePortTwice(r.ports).find(r.says), std::string::npos)
            << radarsign::SamePortTwice(r.ports);
    EXPECT_EQ(radarsign::SamePortTwice({"tcp://localhost:1", "tcp://127.0.0.1:1"}), "");
}

// ---- The program, against signs served on 127.0.0.1 -----------------------------------

// A TCP port on 127.0.0.1 that nothing accepts on (bound, never listening):
// a connect is refused at once.
class RefusingPort {
public:
    RefusingPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot bind a port on 127.0.0.1");
        port_ = ntohs(a.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::string Name() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A TCP port on 127.0.0.1 that listens and never accepts, its queue already
// full: a connect to it waits (its SYN is dropped) until the client gives up.
class FullPort {
public:
    FullPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd_, 0) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(a.sin_port);
        // A backlog of 0 holds one connection: two fill it whatever the kernel
        // rounds it to (non-blocking: the second may wait, which is the point).
        for (int i = 0; i < 2; ++i) {
            const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers_.push_back(c);
        }
    }
    ~FullPort() {
        for (const int c : fillers_)
            ::close(c);
        ::close(fd_);
    }
    FullPort(const FullPort&) = delete;
    FullPort& operator=(const FullPort&) = delete;
    std::string Name() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::vector<int> fillers_;
};

rc_test::TcpSignServerOptions
Signs(std::size_t n,
      rc_test::TcpSignServerOptions::Mode mode = rc_test::TcpSignServerOptions::Answer) {
    rc_test::TcpSignServerOptions o;
    o.Ports = n;
    o.Delay = 50ms;
    o.Threads = 2;
    o.OnRequest = mode;
    o.ClockBytes = std::string("\x26\x12\x07\x14\x35\x09", 6);
    return o;
}

TEST(RadarSignFleet, EveryCommandReachesEveryListedSignAndEachIsLoggedUnderItsName) {
    constexpr std::size_t kSigns = 30;
    rc_test::TcpSignServer server(Signs(kSigns));
    TempDir dir;
    std::string text = "# the test's fleet\n";
    for (std::size_t i = 0; i < kSigns; ++i)
        text += server.Name(i) + "\n";
    const std::string list = WriteList(dir, "fleet.txt", text);
    const struct {
        std::vector<std::string> args;
        const char* outcome;
    } rows[] = {
        {{"read-time", "--ports-from", list}, "ok 12/07 2026  14:35"},
        {{"send-time", "--ports-from", list, "--at", "2026-12-07 14:35:09"}, "ok"},
        {Plus({"download", "--ports-from", list},
              {"--morning", "07:00-08:00", "--morning-speed", "20", "--afternoon", "14:00-16:00",
               "--afternoon-speed", "20", "--regular-speed", "40", "--rate", "1"}),
         "ok"},
    };
    TempDir home;
    for (const auto& row : rows) {
        const TRun r = RadarSign(row.args, {kPcIsSign, "XDG_DATA_HOME=" + home.Path().string()});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(Lines(r.out).size(), kSigns) << r.out;
        for (std::size_t i = 0; i < kSigns; ++i)
            EXPECT_EQ(ResultOf(r.out, server.Name(i)).at(2), row.outcome) << row.args[0];
    }
    EXPECT_EQ(server.Requests(), 3 * kSigns);
    // One row per port and command, under the name as the list gives it.
    const auto log = CsvRows((home.Path() / "radar-configurator" / "audit.csv").string());
    std::size_t rowsOfFirst = 0;
    for (const auto& row : log)
        if (std::find(row.begin(), row.end(), server.Name(0)) != row.end())
            ++rowsOfFirst;
    EXPECT_EQ(rowsOfFirst, 3u);
}

TEST(RadarSignFleet, EachNetworkFailureIsSaidWithItsReasonWhileTheOtherSignsAreRead) {
    rc_test::TcpSignServer good(Signs(1));
    rc_test::TcpSignServer closing(Signs(1, rc_test::TcpSignServerOptions::Close));
    rc_test::TcpSignServer raw(Signs(1));
    const RefusingPort refusing;
    const FullPort full;
    const std::string closingAddress = "127.0.0.1:" + std::to_string(closing.Ports()[0]);
    const std::string rfc2217 = "rfc2217://127.0.0.1:" + std::to_string(raw.Ports()[0]);
    const TRun r = RadarSign({"read-time", "--connect-timeout", "0.3", good.Name(0),
                              refusing.Name(), full.Name(), closing.Name(0), rfc2217},
                             {kPcIsSign});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_EQ(ResultOf(r.out, good.Name(0)).at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(ResultOf(r.out, refusing.Name()).at(2), "nothing accepts connections at " +
                                                          refusing.Address() +
                                                          " (WSAECONNREFUSED, OS error 10061)");
    EXPECT_EQ(ResultOf(r.out, full.Name()).at(2).rfind("timed out connecting to", 0), 0u)
        << ResultOf(r.out, full.Name()).at(2);
    EXPECT_NE(ResultOf(r.out, full.Name()).at(2).find("(connect time-out 0.3 s)"),
              std::string::npos);
    EXPECT_EQ(ResultOf(r.out, closing.Name(0)).at(2),
              "the device server at " + closingAddress + " closed the connection");
    // A raw port answers no Telnet negotiation: the RFC 2217 open gives up.
    const std::string notTelnet = ResultOf(r.out, rfc2217).at(2);
    EXPECT_TRUE(notTelnet.rfind("timed out connecting to", 0) == 0 ||
                notTelnet.find("does not speak RFC 2217") != std::string::npos)
        << notTelnet;
}

TEST(RadarSignFleet, ABadNameOrListSendsNothingToAnySign) {
    rc_test::TcpSignServer server(Signs(2));
    TempDir dir;
    const std::string list = WriteList(dir, "fleet.txt", server.Name(1) + "\ntcp://sign-9:99999\n");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } rows[] = {
        {{"read-time", server.Name(0), "tcp://host:99999"}, "port 99999 is out of range"},
        {{"read-time", server.Name(0), "--ports-from", list},
         list + " line 2: port 99999 is out of range"},
        {{"read-time", server.Name(0), "--connect-timeout", "0"}, "--connect-timeout '0'"},
        {{"read-time", server.Name(0), "Tcp://127.0.0.1:0" + std::to_string(server.Ports()[0])},
         "are the same port, given twice; nothing was sent"},
    };
    for (const auto& row : rows) {
        const TRun r = RadarSign(row.args);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(server.Connections(), 0u);
}

// The open-file limit: the ports in flight are held to what fits (60 ports
// at once need more than 64 descriptors).
TEST(RadarSignFleet, AFleetFitsTheOpenFileLimit) {
    constexpr std::size_t kSigns = 60;
    rc_test::TcpSignServer server(Signs(kSigns));
    TempDir dir;
    std::string text;
    for (std::size_t i = 0; i < kSigns; ++i)
        text += server.Name(i) + "\n";
    const std::string list = WriteList(dir, "fleet.txt", text);
    for (const char* limit : {"--nofile=64:64", "--nofile=32:4096"}) {
        const TRun r = RadarSign({limit, RADAR_SIGN_PATH, "read-time", "--ports-from", list},
                                 {kPcIsSign}, "/usr/bin/prlimit");
        EXPECT_EQ(r.status, 0) << limit << "\n" << r.out << r.err;
        for (std::size_t i = 0; i < kSigns; ++i)
            EXPECT_EQ(ResultOf(r.out, server.Name(i)).at(2), "ok 12/07 2026  14:35") << limit;
    }
}

// When not even one port fits under the limit, the port says so.
TEST(RadarSignFleet, APortThatCannotHaveADescriptorSaysSo) {
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's runtime needs descriptors of its own at this limit";
    rc_test::TcpSignServer server(Signs(1));
    TempDir dir;
    const TRun few = RadarSign({"--nofile=5:5", RADAR_SIGN_PATH, "read-time", server.Name(0)},
                               {"XDG_DATA_HOME=" + dir.Path().string()}, "/usr/bin/prlimit");
    EXPECT_EQ(few.status, 3) << few.out << few.err;
    EXPECT_EQ(ResultOf(few.out, server.Name(0)).at(2), "too many open files (EMFILE, errno 24)");
}

// A stop with most of a list still waiting for its turn (one port at a time
// under this limit): the port in flight and every waiting one say they were
// cancelled, at once, and nothing more is sent.
TEST(RadarSignFleet, AStopEndsThePortInFlightAndThoseNotBegun) {
    constexpr std::size_t kSigns = 5;
    rc_test::TcpSignServer server(Signs(kSigns, rc_test::TcpSignServerOptions::Silent));
    std::vector<std::string> args = {"--nofile=19:19", RADAR_SIGN_PATH, "read-time", "--tries", "1",
                                     "--timeout",      "60000"};
    for (std::size_t i = 0; i < kSigns; ++i)
        args.push_back(server.Name(i));
    TempDir home;
    Child run("/usr/bin/prlimit", args, {"XDG_DATA_HOME=" + home.Path().string()});
    ASSERT_TRUE(WaitFor([&] { return server.Requests() >= 1; }));
    EXPECT_EQ(run.Stop(SIGTERM), 143) << run.Stdout() << run.Stderr();
    EXPECT_EQ(server.Requests(), 1u); // one port at a time: the others never began
    for (std::size_t i = 0; i < kSigns; ++i)
        EXPECT_EQ(ResultOf(run.Stdout(), server.Name(i)).at(2),
                  "cancelled: interrupted by SIGTERM");
}

// A stop while ports are still connecting (a host that drops the connect)
// or negotiating (an rfc2217:// port whose server speaks no Telnet), under a
// 30 s connect time-out: both end at once, saying they were stopped, not
// that they timed out, in the result lines and the audit log.
TEST(RadarSignFleet, AStopEndsTheConnectsUnderWay) {
    rc_test::TcpSignServer raw(Signs(1, rc_test::TcpSignServerOptions::Silent));
    const FullPort full;
    const std::string rfc2217 = "rfc2217://127.0.0.1:" + std::to_string(raw.Ports()[0]);
    TempDir home;
    Child run(RADAR_SIGN_PATH, {"read-time", "--connect-timeout", "30", full.Name(), rfc2217},
              {"XDG_DATA_HOME=" + home.Path().string()});
    // The rfc2217:// port is connected and negotiating; the other port began
    // with it (and one not yet connecting is stopped all the same).
    ASSERT_TRUE(WaitFor([&] { return raw.Connections() >= 1; }));
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(run.Stop(SIGTERM), 143) << run.Stdout() << run.Stderr();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1500ms);
    for (const std::string& name : {full.Name(), rfc2217})
        EXPECT_EQ(ResultOf(run.Stdout(), name).at(2), "cancelled: interrupted by SIGTERM") << name;
    const auto log = CsvRows((home.Path() / "radar-configurator" / "audit.csv").string());
    for (const std::string& name : {full.Name(), rfc2217}) {
        const auto row = std::find_if(log.begin(), log.end(), [&](const auto& r) {
            return std::find(r.begin(), r.end(), name) != r.end();
        });
        ASSERT_NE(row, log.end()) << name;
        EXPECT_NE(std::find(row->begin(), row->end(), "cancelled: interrupted by SIGTERM"),
                  row->end())
            << name;
    }
}

} // namespace
