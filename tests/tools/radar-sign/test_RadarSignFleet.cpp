// radar-sign for a fleet of signs behind device servers: network port names,
// --ports-from lists, --connect-timeout, the reasons a network port gives and
// the open-file limit. The rules are checked in tables without ports; the
// program runs against signs served on 127.0.0.1 by the test itself
// (tests/support/TcpSignServer.h), never anything else.

#include "tests/support/TcpSignServer.h"
#include "tests/tools/radar-sign/RadarSignRuns.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <gtest/gtest.h>

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

} // namespace
