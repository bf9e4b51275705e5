// radar-sign: its command line table-driven without ports, then the real
// program (RADAR_SIGN_PATH) against simulated signs (SIGN_SIM_PATH) on
// pseudo-terminals: the frames on the wire as the simulator logs them, the
// tries, a port that cannot be opened, bad input, several signs at once, -v,
// and the port list in a folder of the test's own. Every wait has a deadline;
// what the simulator did not get is read after a later frame that it did get
// (the line keeps the order).

#include "configurator/SignSettings.h"
#include "tests/support/ChildProcess.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using radarsign::TCommand;
using std::chrono::milliseconds;

const char* const kReadTime = "F7 8C 8D 8A 03 7F";
const char* const kSetTime = "F7 8C 8D 8A 01 26 12 07 14 35 09 66";
const char* const kDownloadDefaults = "F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 00 74";

using rc_test::Readable;

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/rc-radar-sign-XXXXXX";
        if (::mkdtemp(name) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::string Path() const { return path_.string(); }

private:
    fs::path path_;
};

using Child = rc_test::ChildProcess;

// A simulated sign; Port() is its pty, Received() the frames it read.
class Sim {
public:
    explicit Sim(std::vector<std::string> args = {}) : child_(SIGN_SIM_PATH, WithClock(args)) {
        const std::string first = child_.StdoutLine();
        const std::string prefix = "sign-sim: listening on ";
        EXPECT_EQ(first.rfind(prefix, 0), 0u) << first;
        port_ = first.substr(std::min(first.size(), prefix.size()));
    }
    const std::string& Port() const { return port_; }
    // The frames received, in order, as hex ("F7 8C 8D 8A 03 7F").
    std::vector<std::string> Received() const {
        std::vector<std::string> frames;
        const std::string log = child_.Stderr();
        const std::regex rx(R"( rx ([0-9A-F ]+?) \()");
        for (auto it = std::sregex_iterator(log.begin(), log.end(), rx);
             it != std::sregex_iterator(); ++it)
            frames.push_back((*it)[1]);
        return frames;
    }
    std::string Log() const { return child_.Stderr(); }

private:
    static std::vector<std::string> WithClock(std::vector<std::string> args) {
        args.insert(args.end(), {"--clock", "2026-12-07 14:35:09"});
        return args;
    }
    Child child_;
    std::string port_;
};

struct TRun {
    int status = -1;
    std::string out;
    std::string err;
    milliseconds elapsed{0};
};

TRun RadarSign(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    Child child(RADAR_SIGN_PATH, args, env);
    TRun r;
    r.status = child.Wait();
    r.out = child.Stdout();
    r.err = child.Stderr();
    r.elapsed = child.Elapsed();
    return r;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    return lines;
}

// The result line of one port: its tab-separated fields.
std::vector<std::string> ResultOf(const std::string& out, const std::string& port) {
    for (const std::string& line : Lines(out)) {
        if (line.rfind(port + "\t", 0) != 0)
            continue;
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        return fields;
    }
    ADD_FAILURE() << "no line for " << port << " in\n" << out;
    return {};
}

// Holds a port as another program using the serial component would: locked.
class HeldPort {
public:
    explicit HeldPort(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0);
    }
    ~HeldPort() { ::close(fd_); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

private:
    int fd_;
};

// ---- The command line, without ports ------------------------------------------------

TEST(RadarSignParsing, DatesAndTimesMustBeRealOnesTheSignCanHold) {
    struct Row {
        const char* text;
        std::optional<sign::TSignClock> clock;
    };
    const Row rows[] = {
        {"2026-12-07 14:35:09", sign::TSignClock{2026, 12, 7, 14, 35, 9}},
        {"2026-12-07T14:35:09", sign::TSignClock{2026, 12, 7, 14, 35, 9}},
        {"2000-01-01 00:00:00", sign::TSignClock{2000, 1, 1, 0, 0, 0}},
        {"2099-12-31 23:59:59", sign::TSignClock{2099, 12, 31, 23, 59, 59}},
        {"2028-02-29 12:00:00", sign::TSignClock{2028, 2, 29, 12, 0, 0}},
        {"2027-02-29 12:00:00", std::nullopt}, // not a leap year
        {"2026-04-31 12:00:00", std::nullopt},
        {"2026-13-01 12:00:00", std::nullopt},
        {"2026-00-01 12:00:00", std::nullopt},
        {"2026-12-00 12:00:00", std::nullopt},
        {"2026-12-07 24:00:00", std::nullopt},
        {"2026-12-07 14:60:00", std::nullopt},
        {"2026-12-07 14:35:60", std::nullopt},
        {"1999-12-31 23:59:59", std::nullopt}, // the sign keeps 2000..2099
        {"2100-01-01 00:00:00", std::nullopt},
        {"2026-12-07", std::nullopt},
        {"2026-12-07 14:35", std::nullopt},
        {"2026/12/07 14:35:09", std::nullopt},
        {"2026-12-07 14:35:0x", std::nullopt},
        {"tomorrow", std::nullopt},
    };
    for (const Row& r : rows)
        EXPECT_EQ(radarsign::ParseDateTime(r.text), r.clock) << r.text;

    struct PeriodRow {
        const char* text;
        std::optional<radarsign::TPeriod> period;
    };
    const PeriodRow periods[] = {
        {"08:00-18:00", radarsign::TPeriod{8, 0, 18, 0}},
        {"7:30-8:05", radarsign::TPeriod{7, 30, 8, 5}},
        {"00:00-23:59", radarsign::TPeriod{0, 0, 23, 59}},
        {"24:00-08:00", std::nullopt},
        {"08:00-24:00", std::nullopt},
        {"08:60-09:00", std::nullopt},
        {"08:00-09:60", std::nullopt},
        {"0800-0900", std::nullopt},
        {"08:00", std::nullopt},
        {"08:000-09:00", std::nullopt},
        {"-8:00-9:00", std::nullopt},
        {"08:00-09:00x", std::nullopt},
    };
    for (const PeriodRow& r : periods)
        EXPECT_EQ(radarsign::ParsePeriod(r.text), r.period) << r.text;

    EXPECT_EQ(radarsign::ParseRate("1.5"), 0);
    EXPECT_EQ(radarsign::ParseRate("1"), 1);
    EXPECT_EQ(radarsign::ParseRate("0.75"), 2);
    for (const char* bad : {"2", "1.0", "0.5", "", "1.5Hz"})
        EXPECT_EQ(radarsign::ParseRate(bad), std::nullopt) << bad;
}

const std::vector<std::string> kTable = {
    "--morning",         "07:30-08:45", "--morning-speed", "30", "--afternoon", "14:00-16:00",
    "--afternoon-speed", "25",          "--regular-speed", "50", "--rate",      "0.75"};

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(RadarSignParsing, GoodCommandLinesGiveTheirCommandPortsAndTiming) {
    auto p = radarsign::ParseArguments({"read-time", "ttyUSB0", "--iso", "ttyUSB1", "-v"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->Command, TCommand::ReadTime);
    EXPECT_EQ(p.Options->Ports, (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    EXPECT_TRUE(p.Options->Iso);
    EXPECT_TRUE(p.Options->Verbose);
    EXPECT_EQ(p.Options->Tries, 3);
    EXPECT_EQ(p.Options->Timeout, milliseconds(1000));

    p = radarsign::ParseArguments(
        {"--tries=2", "send-time", "--timeout", "250", "--at", "2026-12-07 14:35:09", "COM3"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->Command, TCommand::SendTime);
    EXPECT_EQ(p.Options->Tries, 2);
    EXPECT_EQ(p.Options->Timeout, milliseconds(250));
    EXPECT_EQ(p.Options->At, (sign::TSignClock{2026, 12, 7, 14, 35, 9}));

    p = radarsign::ParseArguments(Plus({"download", "COM1"}, kTable));
    ASSERT_TRUE(p.Options) << p.Error;
    TSignSettings expected{};
    expected.MorningStartHour = 7;
    expected.MorningStartMinute = 30;
    expected.MorningEndHour = 8;
    expected.MorningEndMinute = 45;
    expected.MorningSpeed = 30;
    expected.AfternoonStartHour = 14;
    expected.AfternoonEndHour = 16;
    expected.AfternoonSpeed = 25;
    expected.RegularSpeed = 50;
    expected.FlashRateIndex = 2;
    EXPECT_EQ(p.Options->Table, expected);
    EXPECT_EQ(sign::HexBytes(sign::DownloadPayload(p.Options->Table)),
              "07 1E 08 2D 1E 0E 00 10 00 19 32 02");

    p = radarsign::ParseArguments({"download", "--settings", "LEDINFO.BIN", "--", "-odd-name"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->SettingsFile, "LEDINFO.BIN");
    EXPECT_EQ(p.Options->Ports, std::vector<std::string>{"-odd-name"});

    p = radarsign::ParseArguments({"ports"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->Command, TCommand::Ports);
    p = radarsign::ParseArguments({"--help"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_TRUE(p.Options->Help);
}

// Bad command lines, each with a word of its message; the same rows run
// through the real program below.
struct BadRow {
    std::vector<std::string> args;
    const char* says;
};
std::vector<BadRow> BadRows(const std::string& port) {
    const auto table = [&](const std::string& option, const std::string& value) {
        std::vector<std::string> a = Plus({"download", port}, kTable);
        for (std::size_t i = 0; i + 1 < a.size(); ++i)
            if (a[i] == option)
                a[i + 1] = value;
        return a;
    };
    return {
        {{}, "no command"},
        {{"reboot", port}, "unknown command"},
        {{"read-time", port, "--colour"}, "unknown option '--colour'"},
        {{"read-time"}, "needs at least one port"},
        {{"read-time", port, port}, "given twice"},
        {{"ports", port}, "takes no port"},
        {{"read-time", port, "--tries", "0"}, "--tries"},
        {{"read-time", port, "--tries"}, "needs a value"},
        {{"read-time", port, "--timeout", "soon"}, "--timeout"},
        {{"read-time", port, "-v=1"}, "takes no value"},
        {{"send-time", port, "--iso"}, "belongs to read-time"},
        {{"read-time", port, "--at", "2026-12-07 14:35:09"}, "belongs to send-time"},
        {{"send-time", port, "--at", "2026-12-07 24:00:00"}, "--at"},
        {{"send-time", port, "--at", "2026-12-07 14:60:00"}, "--at"},
        {{"send-time", port, "--at", "next monday"}, "not a date"},
        {table("--morning", "24:00-08:00"), "--morning"},
        {table("--afternoon", "14:60-16:00"), "--afternoon"},
        {table("--morning-speed", "0"), "1 to 99"},
        {table("--afternoon-speed", "100"), "1 to 99"},
        {table("--regular-speed", "fast"), "1 to 99"},
        {table("--rate", "2"), "1.5, 1 or 0.75"},
        {{"download", port, "--morning", "07:00-08:00"}, "missing: --morning-speed"},
        {Plus({"download", port, "--settings", "LEDINFO.BIN"}, kTable), "not both"},
        {{"download", port, "--settings", "/nonexistent/LEDINFO.BIN"}, "cannot read"},
        {{"download", port, "--settings", "/dev/null"}, "cannot read"}, // not a regular file
    };
}

TEST(RadarSignParsing, BadCommandLinesAreRefusedWithWhatIsWrong) {
    for (const BadRow& row : BadRows("ttyUSB0")) {
        if (std::string(row.says) == "cannot read")
            continue; // the file is read by the program, after parsing
        const auto p = radarsign::ParseArguments(row.args);
        EXPECT_FALSE(p.Options) << row.says;
        EXPECT_NE(p.Error.find(row.says), std::string::npos) << p.Error << " / " << row.says;
    }
}

TEST(RadarSignParsing, ASettingsFileIsReadAsTheWindowReadsItButOnlyWhole) {
    TempDir dir;
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    };
    const TSignSettingsBytes defaults = EncodeSignSettings(DefaultSignSettings());
    const std::string whole(defaults.begin(), defaults.end());

    const radarsign::TTable good = radarsign::LoadTable(write("good", whole + "extra"));
    ASSERT_TRUE(good.Table) << good.Error;
    EXPECT_EQ(
        sign::HexBytes(sign::BuildFrame(sign::CmdDownload, sign::DownloadPayload(*good.Table))),
        kDownloadDefaults);

    TSignSettings hour24 = DefaultSignSettings();
    hour24.MorningEndHour = 24;
    TSignSettings rateNone = DefaultSignSettings();
    rateNone.FlashRateIndex = -1;
    TSignSettings speed0 = DefaultSignSettings();
    speed0.RegularSpeed = 0;
    const auto bytes = [](const TSignSettings& s) {
        const TSignSettingsBytes b = EncodeSignSettings(s);
        return std::string(b.begin(), b.end());
    };
    struct Row {
        std::string path;
        const char* says;
    };
    const Row rows[] = {
        {dir / "missing", "no such file"},
        {dir.Path(), "no such file"},
        {write("short", whole.substr(0, 51)), "holds 51 bytes, not 52"},
        {write("hour24", bytes(hour24)), "morning end hour is 24, outside 0..23"},
        {write("rate", bytes(rateNone)), "flashing rate index is -1, outside 0..2"},
        {write("speed", bytes(speed0)), "regular speed is 0, outside 1..99"},
    };
    for (const Row& r : rows) {
        const radarsign::TTable t = radarsign::LoadTable(r.path);
        EXPECT_FALSE(t.Table) << r.path;
        EXPECT_NE(t.Error.find(r.says), std::string::npos) << t.Error;
    }
}

TEST(RadarSignParsing, OpenFailuresAreToldInWords) {
    EXPECT_EQ(radarsign::OpenFailureText(2, false), "no such port");
    EXPECT_EQ(radarsign::OpenFailureText(5, false), "in use by another program");
    EXPECT_EQ(radarsign::OpenFailureText(32, false), "in use by another program");
    EXPECT_EQ(radarsign::OpenFailureText(5, true),
              "permission denied: add yourself to the dialout group");
    EXPECT_EQ(radarsign::OpenFailureText(87, false), "not a serial port");
    EXPECT_EQ(radarsign::OpenFailureText(31, false), "cannot be opened (OS error 31)");
}

// ---- The program against simulated signs ---------------------------------------------

TEST(RadarSignCommands, EachCommandWritesTheWindowsFrameOnceWhenAnswered) {
    TempDir dir;
    const std::string settings = dir / "LEDINFO.BIN";
    {
        const TSignSettingsBytes b = EncodeSignSettings(DefaultSignSettings());
        std::ofstream(settings, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    struct Row {
        std::vector<std::string> args; // the port follows the first
        const char* frame;
        const char* result;
    };
    const Row rows[] = {
        {{"read-time"}, kReadTime, "ok 12/07 2026  14:35"},
        {{"read-time", "--iso"}, kReadTime, "ok 2026-12-07T14:35:09"},
        {{"send-time", "--at", "2026-12-07 14:35:09"}, kSetTime, "ok"},
        {{"send-time", "--at=2000-01-02T03:04:05"}, "F7 8C 8D 8A 01 00 01 02 03 04 05 7C", "ok"},
        {{"download", "--settings", settings}, kDownloadDefaults, "ok"},
        {Plus({"download"}, kTable), "F7 8C 8D 8A 02 07 1E 08 2D 1E 0E 00 10 00 19 32 02 6B", "ok"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.frame);
        Sim sim;
        std::vector<std::string> args = row.args;
        args.insert(args.begin() + 1, sim.Port());
        const TRun r = RadarSign(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto fields = ResultOf(r.out, sim.Port());
        ASSERT_EQ(fields.size(), 5u) << r.out;
        EXPECT_EQ(fields[1], row.args[0]);
        EXPECT_EQ(fields[2], row.result);
        EXPECT_EQ(fields[3], "1 try");
        EXPECT_EQ(sim.Received(), std::vector<std::string>{row.frame});
        EXPECT_EQ(r.err, "");
    }
}

TEST(RadarSignCommands, SendTimeWithoutAtSendsThePcsClock) {
    Sim sim;
    const sign::TSignClock before = sign::LocalClock();
    const TRun r = RadarSign({"send-time", sim.Port()});
    const sign::TSignClock after = sign::LocalClock();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const auto frames = sim.Received();
    ASSERT_EQ(frames.size(), 1u);
    const std::string payload = frames[0].substr(15, 17);
    EXPECT_TRUE(payload == sign::HexBytes(sign::SetTimePayload(before)) ||
                payload == sign::HexBytes(sign::SetTimePayload(after)))
        << frames[0];
}

TEST(RadarSignTries, TheSameFrameIsWrittenAgainUntilTheSignAnswers) {
    {
        SCOPED_TRACE("answered at the second try");
        Sim sim({"--ignore", "1"});
        const TRun r = RadarSign({"read-time", sim.Port(), "--timeout", "300"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto fields = ResultOf(r.out, sim.Port());
        ASSERT_EQ(fields.size(), 5u);
        EXPECT_EQ(fields[2], "ok 12/07 2026  14:35");
        EXPECT_EQ(fields[3], "2 tries");
        EXPECT_EQ(sim.Received(), (std::vector<std::string>{kReadTime, kReadTime}));
    }
    {
        SCOPED_TRACE("never answered, the window's timing");
        Sim sim({"--silent"});
        const TRun silent = RadarSign({"send-time", sim.Port(), "--at", "2026-12-07 14:35:09"});
        EXPECT_EQ(silent.status, 1) << silent.out << silent.err;
        const auto fields = ResultOf(silent.out, sim.Port());
        ASSERT_EQ(fields.size(), 5u);
        EXPECT_EQ(fields[2], "no answer after 3 tries");
        EXPECT_EQ(fields[3], "3 tries");
        EXPECT_GE(silent.elapsed, milliseconds(3000));
        EXPECT_EQ(sim.Received(), (std::vector<std::string>{kSetTime, kSetTime, kSetTime}));
    }
    {
        SCOPED_TRACE("--tries 1");
        Sim sim({"--silent"});
        const TRun r = RadarSign({"read-time", sim.Port(), "--tries", "1", "--timeout", "100"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(sim.Received(), std::vector<std::string>{kReadTime});
    }
}

TEST(RadarSignPorts, APortThatDoesNotOpenIsReportedAtOnceAndTheOthersGoOn) {
    Sim held;
    Sim free;
    HeldPort other(held.Port());
    const TRun r = RadarSign({"read-time", held.Port(), "/dev/no-such-tty", free.Port()});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    auto fields = ResultOf(r.out, held.Port());
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[2], "in use by another program");
    EXPECT_EQ(fields[3], "0 tries");
    fields = ResultOf(r.out, "/dev/no-such-tty");
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[2], "no such port");
    fields = ResultOf(r.out, free.Port());
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[2], "ok 12/07 2026  14:35");
    // No writes into a port that is not open, so no wait after them.
    EXPECT_LT(r.elapsed, milliseconds(1000));
    EXPECT_EQ(held.Received(), std::vector<std::string>{});

    // A sign that does not answer next to a port that does not open: 3 wins.
    Sim silent({"--silent"});
    const TRun mixed = RadarSign({"read-time", silent.Port(), held.Port(), "--timeout", "50"});
    EXPECT_EQ(mixed.status, 3) << mixed.out;
    EXPECT_EQ(ResultOf(mixed.out, silent.Port()).at(2), "no answer after 3 tries");
}

TEST(RadarSignPorts, BadInputSendsNothing) {
    Sim sim;
    for (const BadRow& row : BadRows(sim.Port())) {
        SCOPED_TRACE(row.says);
        const TRun r = RadarSign(row.args);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    // Had anything been written, the simulator would have read it before
    // this frame.
    const TRun r = RadarSign({"read-time", sim.Port()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.Received(), std::vector<std::string>{kReadTime});

    const TRun help = RadarSign({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: radar-sign"), std::string::npos);
}

TEST(RadarSignPorts, ThreeSignsRunAtOnceAndASilentOneHoldsUpNone) {
    // Each takes about 0.8 s or more: two answer the third write, one never.
    Sim a({"--ignore", "2"});
    Sim b({"--silent"});
    Sim c({"--ignore", "2", "--delay", "100"});
    const TRun r = RadarSign({"read-time", a.Port(), b.Port(), c.Port(), "--timeout", "400"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(ResultOf(r.out, a.Port()).at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(ResultOf(r.out, b.Port()).at(2), "no answer after 3 tries");
    EXPECT_EQ(ResultOf(r.out, c.Port()).at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(Lines(r.out).size(), 3u);
    // The silent sign's three waits (1.2 s) bound the run; one after another
    // the three would take 2.8 s.
    EXPECT_GE(r.elapsed, milliseconds(1200));
    EXPECT_LT(r.elapsed, milliseconds(2400));
    // Each port is reported when it is done: the silent one last.
    EXPECT_EQ(Lines(r.out).back().rfind(b.Port() + "\t", 0), 0u) << r.out;
}

TEST(RadarSignPorts, VerboseShowsEveryFrameWithItsTime) {
    Sim sim({"--ignore", "1"});
    const TRun r = RadarSign({"-v", "read-time", sim.Port(), "--timeout", "200"});
    EXPECT_EQ(r.status, 0);
    const std::string p = sim.Port();
    const std::regex expected(" *[0-9]+ ms " + p + " open 9600,N,8,1\n" +     //
                              " *[0-9]+ ms " + p + " > F7 8C 8D 8A 03 7F\n" + //
                              " *[0-9]+ ms " + p + " > F7 8C 8D 8A 03 7F\n" + //
                              " *[0-9]+ ms " + p + " < F7 8C 8D 8A 83 26 12 07 14 35 09 E4\n");
    EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
}

TEST(RadarSignPorts, PortsListsTheScanOfTheDeviceFolderInTheWindowsOrder) {
    Sim a;
    Sim b;
    TempDir dev;
    for (const char* name : {"ttyUSB1", "ttyS10", "ttyS2", "ttyACM0"})
        fs::create_symlink(a.Port(), dev / name);
    fs::create_symlink(b.Port(), dev / "ttyUSB0"); // held: left out
    fs::create_symlink(a.Port(), dev / "modem");   // not a serial port name
    HeldPort other(b.Port());
    const TRun r = RadarSign({"ports"}, {"RADAR_SIGN_DEVICE_DIR=" + dev.Path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dev / "ttyS2" + "\n" + dev / "ttyS10" + "\n" + dev / "ttyUSB1" + "\n" +
                         dev / "ttyACM0" + "\n");
    EXPECT_EQ(a.Received(), std::vector<std::string>{});
}

} // namespace
