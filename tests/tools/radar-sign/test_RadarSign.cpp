// radar-sign: its command line table-driven without ports, then the real
// program (RADAR_SIGN_PATH) against simulated signs (SIGN_SIM_PATH) on
// pseudo-terminals: the frames on the wire as the simulator logs them, the
// tries, a port that cannot be opened, bad input, several signs at once, -v,
// the sign's clock against a PC clock fixed by the test, results that cannot
// be written, the console refused, the audit log, and the port list in a
// folder of the test's own. Every wait has a deadline; what the simulator
// did not get is read after a later frame that it did get (the line keeps
// the order). The program's per-user data folder (XDG_DATA_HOME) is always
// one of the test's: no run writes to the real home.

#include "sign/SignSettings.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/tools/radar-sign/RadarSignRuns.h"
#include "tools/radar-sign/PortAccess.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
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
using namespace radarsign_test;
using radarsign::TCommand;
using rc_test::Readable;

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

    // "--" before the command: the first word after it is still the command.
    p = radarsign::ParseArguments({"--", "read-time", "COM3", "--iso"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->Command, TCommand::ReadTime);
    EXPECT_EQ(p.Options->Ports, (std::vector<std::string>{"COM3", "--iso"}));
    EXPECT_FALSE(p.Options->Iso);

    p = radarsign::ParseArguments({"read-time", "--max-offset", "60", "COM3"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->MaxOffset, 60);
    EXPECT_FALSE(p.Options->Verify);
    p = radarsign::ParseArguments({"send-time", "--verify", "--max-offset=0", "COM3"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_TRUE(p.Options->Verify);
    EXPECT_EQ(p.Options->MaxOffset, 0);

    p = radarsign::ParseArguments({"ports"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->Command, TCommand::Ports);
    EXPECT_FALSE(p.Options->Long);
    p = radarsign::ParseArguments({"ports", "-l"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_TRUE(p.Options->Long);
    EXPECT_FALSE(p.Options->NoOpen);
    p = radarsign::ParseArguments({"ports", "--no-open"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_TRUE(p.Options->NoOpen);
    p = radarsign::ParseArguments({"download", "COM1", "--no-log", "--settings", "x"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_TRUE(p.Options->NoLog);
    p = radarsign::ParseArguments({"--help"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_TRUE(p.Options->Help);
    // The help as Windows programs give it, wherever it stands; the version
    // alone, or the help when both are asked.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"/?"}, {"read-time", "COM3", "/?"}, {"--version", "/?"}, {"-h", "--version"}}) {
        p = radarsign::ParseArguments(args);
        ASSERT_TRUE(p.Options) << p.Error;
        EXPECT_TRUE(p.Options->Help) << args.front();
        EXPECT_FALSE(p.Options->Version) << args.front();
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--version"}, {"download", "COM1", "--version"}}) {
        p = radarsign::ParseArguments(args);
        ASSERT_TRUE(p.Options) << p.Error;
        EXPECT_TRUE(p.Options->Version);
        EXPECT_FALSE(p.Options->Help);
    }
    // On Linux a name is a path, whatever it looks like elsewhere.
    p = radarsign::ParseArguments({"read-time", "CON", "C:\\windows", "--", "/?"});
    ASSERT_TRUE(p.Options) << p.Error;
    EXPECT_EQ(p.Options->Ports, (std::vector<std::string>{"CON", "C:\\windows", "/?"}));
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
        {{"read-time", port, "--max-offset", "-1"}, "--max-offset '-1'"},
        {{"read-time", port, "--max-offset", "1000000000"}, "--max-offset"},
        {{"send-time", port, "--max-offset", "5"}, "needs --verify"},
        {Plus({"download", port, "--max-offset", "5"}, kTable),
         "belongs to read-time or send-time"},
        {{"read-time", port, "--verify"}, "belongs to send-time"},
        {{"read-time", ""}, "an empty port name"},
        {{"read-time", port, "tty\tUSB0"}, "port name 'tty\\x09USB0' holds a control character"},
        {{"read-time", "ttyUSB0\n"}, "control character"},
        {{"read-time", "ttyUSB0\r"}, "control character"},
        {{"read-time", "tty\x1b[2J"}, "control character"},
        {{"read-time", "tty\x7f"}, "control character"},
        {{"--", "--", port}, "unknown command '--'"},
        {{"--", "/?"}, "unknown command '/?'"},
        {{"read-time", port, "--version=1"}, "takes no value"},
        {{"read-time", port, "-l"}, "belongs to ports"},
        {{"send-time", port, "--no-open"}, "belongs to ports"},
        {{"ports", "--no-log"}, "belongs to read-time, send-time or download"},
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
        {dir.Path().string(), "no such file"},
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
    sign::TPortFacts none;
    sign::TPortFacts noAccess;
    noAccess.NoAccess = true;
    sign::TPortFacts notADevice;
    notADevice.NotADevice = true;
    sign::TPortFacts outOfFiles;
    outOfFiles.OutOfFiles = true;
    sign::TPortFacts system;
    system.SystemText = "The semaphore timeout period has expired";
    struct Row {
        std::uint32_t osError;
        sign::TPortFacts facts;
        const char* text;
    };
    const Row rows[] = {
        {2, none, "no such port"},
        {3, none, "no such port"},
        {2, notADevice, "not a serial port"}, // the component's answer for a file
        {5, none, "in use by another program"},
        {32, none, "in use by another program"},
        {5, noAccess, "permission denied: add yourself to the dialout group"},
        {87, none, "not a serial port"},
        {1617, none, "the device has gone"},
        {123, none, "not a valid port name"},
        {4, none, "too many open files (OS error 4)"},
        {31, outOfFiles, "too many open files (OS error 31)"}, // EMFILE, ENFILE on Linux
        {8, outOfFiles, "too many open files (OS error 8)"},
        {8, none, "not enough memory or system resources (OS error 8)"},
        {31, none, "the device does not work (OS error 31)"},
        {995, none, "the open was interrupted (OS error 995)"},
        {121, none, "the device does not respond (OS error 121)"},
        {1167, system,
         "cannot be opened: The semaphore timeout period has expired (OS error 1167)"},
        {1167, none, "cannot be opened for an unknown reason (OS error 1167)"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(sign::OpenFailureText(r.osError, r.facts), r.text) << r.osError;
}

TEST(RadarSignParsing, APortsLongLineHasFiveFieldsWhateverTheDeviceSays) {
    sign::TPortIdentity ftdi{"ttyUSB0", "FT232R USB UART (FTDI)", "0403", "6001", "A50285BI",
                             "ftdi_sio"};
    sign::TPortIdentity odd{"COM4", "Serial\tPort\r\n(\x7F)", "067b", "", "", "ser2pl"};
    struct Row {
        sign::TPortIdentity identity;
        const char* line;
    };
    const Row rows[] = {
        {ftdi, "ttyUSB0\tFT232R USB UART (FTDI)\t0403:6001\tA50285BI\tftdi_sio"},
        {{"/dev/pts/3", "", "", "", "", ""}, "/dev/pts/3\t\t\t\t"},
        // No VID:PID with half of it; what the fields hold is shown, escaped.
        {odd, "COM4\tSerial\\x09Port\\x0D\\x0A(\\x7F)\t\t\tser2pl"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(radarsign::PortLine(r.identity), r.line);
}

// The console test is the driver's (serial/driver/PosixPorts.h, tested there
// in full); here, that a port is looked up as typed: a bare name in /dev, a
// path or a symlink as it is. Nothing here opens a device.
TEST(RadarSignParsing, TheConsoleIsFoundByItsDeviceWhateverItIsCalled) {
    Sim console;
    Sim other;
    TempDir dir;
    fs::create_symlink(console.Port(), dir / "ttyUSB0");
    const auto file = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return dir / name;
    };
    const std::string pts = console.Port().substr(std::string("/dev/").size());
    const std::string names = file("active", "tty0 " + pts + "\n");
    struct Row {
        std::string port;
        std::string consoleFile;
        bool console;
    };
    const std::vector<Row> rows = {
        {console.Port(), names, true},
        {dir / "ttyUSB0", names, true}, // a symlink to it
        {other.Port(), names, false},
        {pts, names, false},                      // a relative path: not looked for in /dev
        {"ttyS0", file("serial", "ttyS0"), true}, // whether the device exists or not
        {"/dev/ttyS0", file("serial", "ttyS0"), true},
        {"ttyS1", file("serial", "ttyS0"), false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(radarsign::IsConsole(r.port, r.consoleFile), r.console)
            << r.port << " with " << r.consoleFile;
    EXPECT_EQ(console.Received(), std::vector<std::string>{});
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
        const char* offset; // the last field: the PC's clock is the sign's
    };
    const Row rows[] = {
        {{"read-time"}, kReadTime, "ok 12/07 2026  14:35", "0"},
        {{"read-time", "--iso"}, kReadTime, "ok 2026-12-07T14:35:09", "0"},
        {{"send-time", "--at", "2026-12-07 14:35:09"}, kSetTime, "ok", ""},
        {{"send-time", "--at=2000-01-02T03:04:05"},
         "F7 8C 8D 8A 01 00 01 02 03 04 05 7C",
         "ok",
         ""},
        {{"download", "--settings", settings}, kDownloadDefaults, "ok", ""},
        {Plus({"download"}, kTable), "F7 8C 8D 8A 02 07 1E 08 2D 1E 0E 00 10 00 19 32 02 6B", "ok",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.frame);
        Sim sim;
        std::vector<std::string> args = row.args;
        args.insert(args.begin() + 1, sim.Port());
        const TRun r = RadarSign(args, {kPcIsSign});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto fields = ResultOf(r.out, sim.Port());
        ASSERT_EQ(fields.size(), 6u) << r.out;
        EXPECT_EQ(fields[1], row.args[0]);
        EXPECT_EQ(fields[2], row.result);
        EXPECT_EQ(fields[3], "1 try");
        EXPECT_EQ(fields[5], row.offset);
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
        ASSERT_EQ(fields.size(), 6u);
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
        ASSERT_EQ(fields.size(), 6u);
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
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[2], "in use by another program");
    EXPECT_EQ(fields[3], "0 tries");
    fields = ResultOf(r.out, "no-such-tty"); // a device directly under /dev by its bare name
    ASSERT_EQ(fields.size(), 6u);
    EXPECT_EQ(fields[2], "no such port");
    fields = ResultOf(r.out, free.Port());
    ASSERT_EQ(fields.size(), 6u);
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

    for (const char* asked : {"--help", "/?"}) {
        const TRun help = RadarSign({asked});
        EXPECT_EQ(help.status, 0) << asked;
        EXPECT_EQ(help.out, radarsign::Usage()) << asked;
        EXPECT_EQ(help.err, "") << asked;
    }
    const TRun version = RadarSign({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "radar-sign (Radar Configurator) " RC_VERSION "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_EQ(sim.Received(), std::vector<std::string>{kReadTime});
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
    const TRun r = RadarSign({"ports"}, {"RADAR_SIGN_DEVICE_DIR=" + dev.Path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dev / "ttyS2" + "\n" + dev / "ttyS10" + "\n" + dev / "ttyUSB1" + "\n" +
                         dev / "ttyACM0" + "\n");
    EXPECT_EQ(a.Received(), std::vector<std::string>{});
}

// What a script asks (scripts/run): the candidates of the scan, none opened,
// so a port held by another program is listed too; status 3 when there is
// none.
TEST(RadarSignPorts, NoOpenListsTheScanWithoutOpeningAndSaysWhenThereIsNone) {
    Sim a;
    Sim held;
    Sim console;
    TempDir dir;
    const std::string consoleFile = dir / "active";
    std::ofstream(consoleFile) << console.Port().substr(5) << "\n";
    fs::create_directory(dir / "dev");
    fs::create_symlink(held.Port(), dir / "dev/ttyUSB0");
    fs::create_symlink(a.Port(), dir / "dev/ttyACM0");
    fs::create_symlink(console.Port(), dir / "dev/ttyUSB1");
    fs::create_directory(dir / "empty");
    HeldPort other(held.Port());
    const auto env = [&](const std::string& folder) {
        return std::vector<std::string>{"RADAR_SIGN_CONSOLE_FILE=" + consoleFile,
                                        "RADAR_SIGN_DEVICE_DIR=" + dir / folder};
    };
    const TRun some = RadarSign({"ports", "--no-open"}, env("dev"));
    EXPECT_EQ(some.status, 0) << some.err;
    EXPECT_EQ(some.out, dir / "dev/ttyUSB0" + "\n" + dir / "dev/ttyACM0" + "\n");
    EXPECT_EQ(some.err, "");
    const TRun none = RadarSign({"ports", "--no-open"}, env("empty"));
    EXPECT_EQ(none.status, 3) << none.err;
    EXPECT_EQ(none.out + none.err, "");
    // The scan that opens them finds the held one busy: the listing above
    // did not open it.
    EXPECT_EQ(RadarSign({"ports"}, env("dev")).out, dir / "dev/ttyACM0" + "\n");
    EXPECT_EQ(console.Received(), std::vector<std::string>{});
}

// ---- The sign's clock ---------------------------------------------------------------------

// The args with "PORT" replaced by port.
std::vector<std::string> On(std::vector<std::string> args, const std::string& port) {
    for (std::string& a : args)
        if (a == "PORT")
            a = port;
    return args;
}

TEST(RadarSignClock, TheLastColumnIsTheSignsClockMinusThePcsAndMaxOffsetJudgesIt) {
    const std::string rt = kReadTime;
    const std::string st = kSetTime;
    struct Row {
        const char* what;
        std::vector<std::string> sim;
        std::vector<std::string> args;
        const char* pc; // the PC's clock
        int status;
        const char* outcome;
        const char* offset;
        const char* tries;
        std::vector<std::string> frames;
    };
    const Row rows[] = {
        {"behind",
         {},
         {"read-time", "PORT"},
         "2026-12-07 14:37:22",
         0,
         "ok 12/07 2026  14:35",
         "-133",
         "1 try",
         {rt}},
        {"ahead",
         {},
         {"read-time", "PORT"},
         "2026-12-07 14:35:04",
         0,
         "ok 12/07 2026  14:35",
         "+5",
         "1 try",
         {rt}},
        {"after --",
         {},
         {"--", "read-time", "PORT"},
         "2026-12-07 14:35:09",
         0,
         "ok 12/07 2026  14:35",
         "0",
         "1 try",
         {rt}},
        {"at the limit",
         {},
         {"read-time", "PORT", "--max-offset", "133"},
         "2026-12-07 14:37:22",
         0,
         "ok 12/07 2026  14:35",
         "-133",
         "1 try",
         {rt}},
        {"over the limit",
         {},
         {"read-time", "PORT", "--max-offset", "132"},
         "2026-12-07 14:37:22",
         4,
         "clock off by more than 132 s: 12/07 2026  14:35, 2 min 13 s behind this PC",
         "-133",
         "1 try",
         {rt}},
        {"over the limit, ISO",
         {},
         {"read-time", "PORT", "--iso", "--max-offset=0"},
         "2026-12-07 14:35:04",
         4,
         "clock off by more than 0 s: 2026-12-07T14:35:09, 5 s ahead of "
         "this PC",
         "+5",
         "1 try",
         {rt}},
        {"not BCD",
         {"--clock-bytes", "26 1A 07 14 35 09"},
         {"read-time", "PORT"},
         "2026-12-07 14:35:09",
         0,
         "ok, clock not a date: 1A/07 2026  14:35 (bytes 26 1A 07 14 35 09)",
         "",
         "1 try",
         {rt}},
        {"not BCD, with a limit",
         {"--clock-bytes", "26 1A 07 14 35 09"},
         {"read-time", "PORT", "--max-offset", "999999999"},
         "2026-12-07 14:35:09",
         4,
         "clock not a date: 1A/07 2026  14:35 (bytes 26 1A 07 14 35 09)",
         "",
         "1 try",
         {rt}},
        {"30 February",
         {"--clock-bytes", "26 02 30 14 35 09"},
         {"read-time", "PORT", "--iso"},
         "2026-12-07 14:35:09",
         0,
         "ok, clock not a date: 02/30 2026  14:35 (bytes 26 02 30 14 35 09)",
         "",
         "1 try",
         {rt}},
        {"no answer, with a limit",
         {"--silent"},
         {"read-time", "PORT", "--max-offset", "5", "--timeout", "50"},
         "2026-12-07 14:35:09",
         1,
         "no answer after 3 tries",
         "",
         "3 tries",
         {rt, rt, rt}},
        {"verified",
         {},
         {"send-time", "PORT", "--verify", "--at", "2026-12-07 14:35:09"},
         "2026-12-07 14:35:09",
         0,
         "ok",
         "0",
         "2 tries",
         {st, rt}},
        {"verified within the limit",
         {},
         {"send-time", "PORT", "--verify", "--max-offset", "10", "--at", "2026-12-07 14:35:09"},
         "2026-12-07 14:35:19",
         0,
         "ok",
         "-10",
         "2 tries",
         {st, rt}},
        {"a clock that does not take the time",
         {"--keep-clock", "--clock", "2026-12-07 14:00:00"},
         {"send-time", "PORT", "--verify", "--max-offset", "2"},
         "2026-12-07 14:35:09",
         4,
         "the sign did not take the time: it reads 2026-12-07T14:00:00, 35 min 9 s behind the "
         "time sent",
         "-2109",
         "2 tries",
         {st, rt}},
        {"read back no date",
         {"--keep-clock", "--clock-bytes", "26 1A 07 14 35 09"},
         {"send-time", "PORT", "--verify"},
         "2026-12-07 14:35:09",
         4,
         "the sign did not take the time: it reads 1A/07 2026  14:35 (bytes 26 1A 07 14 35 09), "
         "not a date",
         "",
         "2 tries",
         {st, rt}},
        {"not read back",
         {"--mute", "3"},
         {"send-time", "PORT", "--verify", "--timeout", "50"},
         "2026-12-07 14:35:09",
         1,
         "set, but not read back: no answer after 3 tries",
         "",
         "4 tries",
         {st, rt, rt, rt}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sim sim(row.sim);
        const TRun r =
            RadarSign(On(row.args, sim.Port()), {std::string("RADAR_SIGN_PC_CLOCK=") + row.pc});
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        const auto fields = ResultOf(r.out, sim.Port());
        ASSERT_EQ(fields.size(), 6u) << r.out;
        EXPECT_EQ(fields[2], row.outcome);
        EXPECT_EQ(fields[3], row.tries);
        EXPECT_EQ(fields[5], row.offset);
        EXPECT_EQ(sim.Received(), row.frames);
    }
}

TEST(RadarSignClock, AClockThatIsOffYieldsToASilentSignAndToAPortThatDoesNotOpen) {
    Sim off;                                      // 133 s behind the PC
    Sim near({"--clock", "2026-12-07 14:37:20"}); // 2 s behind
    Sim silent({"--silent"});
    const std::vector<std::string> env = {"RADAR_SIGN_PC_CLOCK=2026-12-07 14:37:22"};
    const std::vector<std::string> common = {"--max-offset", "60", "--timeout", "50"};
    struct Row {
        std::vector<std::string> ports;
        int status;
    };
    const Row rows[] = {
        {{near.Port()}, 0},
        {{off.Port(), near.Port()}, 4},
        {{off.Port(), silent.Port()}, 1},
        {{off.Port(), silent.Port(), "/dev/no-such-tty"}, 3},
    };
    for (const Row& row : rows) {
        const TRun r = RadarSign(Plus(Plus({"read-time"}, row.ports), common), env);
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        EXPECT_EQ(Lines(r.out).size(), row.ports.size()) << r.out;
    }
    EXPECT_EQ(
        ResultOf(RadarSign(Plus({"read-time", off.Port()}, common), env).out, off.Port()).at(5),
        "-133");
}

// ---- As a new user finds it ---------------------------------------------------------------

TEST(RadarSignOutput, AResultThatCannotBeWrittenFailsTheRunWithStatus5) {
    // b's port is opened first and stays open while a's line is written:
    // with standard output closed, b's port would take its descriptor.
    Sim a;
    Sim b({"--delay", "300"});
    TempDir dev;
    fs::create_symlink(a.Port(), dev / "ttyUSB0");
    struct Row {
        const char* redirect;
        std::vector<std::string> args;
        const char* says;
    };
    const Row rows[] = {
        {">/dev/full", {"read-time", b.Port(), a.Port()}, "No space left on device"},
        {">&-", {"read-time", b.Port(), a.Port()}, "Bad file descriptor"},
        {">&-", {"send-time", a.Port(), "--verify"}, "Bad file descriptor"},
        {">/dev/full", {"ports"}, "No space left on device"},
        {">/dev/full", {"ports", "--no-open"}, "No space left on device"},
        {">&-", {"--help"}, "Bad file descriptor"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.redirect) + " " + row.args[0]);
        const TRun r = RadarSign(
            Plus({"-c", std::string("exec \"$0\" \"$@\" ") + row.redirect, RADAR_SIGN_PATH},
                 row.args),
            {"RADAR_SIGN_DEVICE_DIR=" + dev.Path().string()}, "/bin/sh");
        EXPECT_EQ(r.status, 5) << r.err;
        const std::string message =
            std::string("radar-sign: cannot write the results to standard output: ") + row.says +
            "\n";
        EXPECT_EQ(r.err, message); // once, for two lost lines too
    }
    // The commands ran all the same, and no result line went to a port that
    // took the place of the closed output.
    EXPECT_EQ(b.Received(), (std::vector<std::string>{kReadTime, kReadTime}));
    EXPECT_EQ(a.Received().size(), 4u);
    for (const Sim* sim : {&a, &b}) {
        EXPECT_EQ(sim->Log().find("junk"), std::string::npos) << sim->Log();
        EXPECT_EQ(sim->Log().find("rejected"), std::string::npos) << sim->Log();
    }
}

TEST(RadarSignPorts, WhatIsNoTerminalOrCannotBeOpenedIsSaidInWords) {
    TempDir dir;
    std::ofstream(dir / "file") << "not a port";
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "gone", dir / "dangling");
    fs::create_symlink(dir / "file", dir / "ttyUSB0");
    const TRun r = RadarSign({"read-time", dir / "file", dir / "folder", "/dev/null",
                              dir / "ttyUSB0", dir / "dangling", dir / "missing"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    for (const std::string& p :
         {dir / "file", dir / "folder", std::string("null"), dir / "ttyUSB0"})
        EXPECT_EQ(ResultOf(r.out, p).at(2), "not a serial port") << p;
    for (const std::string& p : {dir / "dangling", dir / "missing"})
        EXPECT_EQ(ResultOf(r.out, p).at(2), "no such port") << p;
}

// Without a descriptor for the port's wake-up pipe (the limit leaves the port
// itself one): the component's "general failure" in words.
TEST(RadarSignPorts, RunningOutOfDescriptorsIsSaidInWords) {
    if (kSanitized)
        GTEST_SKIP() << "a sanitizer's runtime needs descriptors of its own at this limit";
    // Descriptors that the test's runner left open would take the free ones.
    Sim sim;
    for (const char* limit : {"4", "5"}) {
        const TRun few =
            RadarSign({"-c",
                       std::string("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n ") + limit +
                           "; exec \"$0\" \"$@\"",
                       RADAR_SIGN_PATH, "read-time", sim.Port()},
                      {}, "/bin/sh");
        EXPECT_EQ(few.status, 3) << few.out << few.err;
        EXPECT_EQ(ResultOf(few.out, sim.Port()).at(2), "too many open files (EMFILE, errno 24)");
    }
    EXPECT_EQ(sim.Received(), std::vector<std::string>{});
}

TEST(RadarSignPorts, TheConsoleIsRefusedBeforeAnythingIsOpened) {
    Sim console;
    Sim other;
    TempDir dir;
    const std::string consoleFile = dir / "active";
    std::ofstream(consoleFile) << "tty0 " << console.Port().substr(5) << "\n";
    fs::create_directory(dir / "dev");
    fs::create_symlink(console.Port(), dir / "dev/ttyUSB0");
    fs::create_symlink(other.Port(), dir / "dev/ttyUSB1");
    const std::vector<std::string> env = {"RADAR_SIGN_CONSOLE_FILE=" + consoleFile,
                                          "RADAR_SIGN_DEVICE_DIR=" + dir / "dev"};
    for (const std::string& port : {console.Port(), dir / "dev/ttyUSB0"}) {
        const TRun r = RadarSign({"read-time", other.Port(), port}, env);
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "radar-sign: " + port +
                             " is the system console, not a sign's port; nothing was sent\n");
    }
    const TRun list = RadarSign({"ports"}, env);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, dir / "dev/ttyUSB1" + "\n");
    // Had anything been written to either, it would come before these.
    EXPECT_EQ(RadarSign({"read-time", other.Port(), console.Port()}).status, 0);
    EXPECT_EQ(console.Received(), std::vector<std::string>{kReadTime});
    EXPECT_EQ(other.Received(), std::vector<std::string>{kReadTime});
}

// Root may open any device: the program then runs as nobody (setpriv), so
// that the permission bits bind as they do for a technician.
TEST(RadarSignPorts, PortsSaysWhenDevicesAreLeftOutForLackOfPermission) {
    std::string program = RADAR_SIGN_PATH;
    std::vector<std::string> prefix;
    if (::getuid() == 0) {
        if (::access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv: permissions cannot bind";
        program = "/usr/bin/setpriv";
        prefix = {"--reuid=65534", "--regid=65534", "--clear-groups", RADAR_SIGN_PATH};
    }
    Sim denied;
    Sim allowed;
    ASSERT_EQ(::chmod(denied.Port().c_str(), 0), 0);
    ASSERT_EQ(::chmod(allowed.Port().c_str(), 0666), 0);
    TempDir dev;
    fs::permissions(dev.Path(), fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    fs::create_symlink(denied.Port(), dev / "ttyUSB0");
    fs::create_symlink(allowed.Port(), dev / "ttyUSB1");
    const std::vector<std::string> env = {"RADAR_SIGN_DEVICE_DIR=" + dev.Path().string()};

    const TRun r = RadarSign(Plus(prefix, {"ports"}), env, program);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, dev / "ttyUSB1" + "\n");
    EXPECT_EQ(r.err, "radar-sign: 1 serial port left out for lack of permission (" +
                         dev / "ttyUSB0" +
                         "): add yourself to the dialout group and log in again\n");

    const TRun read = RadarSign(Plus(prefix, {"read-time", dev / "ttyUSB0"}), env, program);
    EXPECT_EQ(read.status, 3);
    EXPECT_EQ(ResultOf(read.out, dev / "ttyUSB0").at(2),
              "permission denied: add yourself to the dialout group");
    EXPECT_EQ(denied.Received(), std::vector<std::string>{});
}

// ---- The audit log and the adapters -----------------------------------------------------

TEST(RadarSignAudit, EachPortsCommandAddsOneLineToTheLogOfTheUsersDataFolder) {
    Sim sign;
    Sim silent({"--silent"});
    Sim held;
    HeldPort other(held.Port());
    TempDir home;
    const std::string log = home / "radar-configurator/audit.csv";
    const std::vector<std::string> env = {"XDG_DATA_HOME=" + home.Path().string(),
                                          "RADAR_SIGN_PC_CLOCK=2026-12-07 14:37:22"};
    const auto run = [&](const std::vector<std::string>& args) {
        const TRun r = RadarSign(args, env);
        EXPECT_EQ(r.err, "") << r.out;
        return r.status;
    };
    EXPECT_EQ(run({"read-time", sign.Port(), silent.Port(), held.Port(), "/dev/no-such-tty",
                   "--timeout", "50", "--max-offset", "600"}),
              3);
    EXPECT_EQ(run({"send-time", sign.Port(), "--verify", "--at", "2026-12-07 14:37:20"}), 0);
    EXPECT_EQ(run(Plus({"download", sign.Port()}, kTable)), 0);
    EXPECT_EQ(run({"read-time", sign.Port(), "--max-offset", "1"}), 4);
    EXPECT_EQ(run({"read-time", sign.Port(), "--no-log"}), 0);

    const auto rows = CsvRows(log);
    ASSERT_EQ(rows.size(), 8u) << "the header and a line per port and command";
    EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "program", "user", "computer", "port",
                                                 "adapter", "adapter serial", "command", "request",
                                                 "tries", "outcome", "sign clock", "offset s"}));
    // port, adapter, adapter serial, command, request, tries, outcome, sign
    // clock, offset; the ports of one run in any order.
    using Fields = std::vector<std::string>;
    std::vector<Fields> got;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 13u);
        EXPECT_EQ(rows[i][1], "radar-sign");
        EXPECT_FALSE(rows[i][0].empty());
        got.emplace_back(rows[i].begin() + 4, rows[i].end());
    }
    std::sort(got.begin(), got.begin() + 4);
    const std::string p = sign.Port();
    std::vector<Fields> expected = {
        {p, "", "", "read-time", kReadTime, "1", "ok", "2026-12-07T14:35:09", "-133"},
        {silent.Port(), "", "", "read-time", kReadTime, "3", "no answer", "", ""},
        {held.Port(), "", "", "read-time", kReadTime, "0", "in use by another program", "", ""},
        {"no-such-tty", "", "", "read-time", kReadTime, "0", "no such port", "", ""},
    };
    std::sort(expected.begin(), expected.end());
    expected.push_back({p, "", "", "send-time", "F7 8C 8D 8A 01 26 12 07 14 37 20 4D", "2", "ok",
                        "2026-12-07T14:37:20", "-2"});
    expected.push_back({p, "", "", "download",
                        "F7 8C 8D 8A 02 07 1E 08 2D 1E 0E 00 10 00 19 32 02 6B", "1", "ok", "",
                        ""});
    expected.push_back({p, "", "", "read-time", kReadTime, "1", "clock off by more than 1 s",
                        "2026-12-07T14:37:20", "-2"});
    EXPECT_EQ(got, expected);
}

TEST(RadarSignAudit, ALogThatCannotBeWrittenIsSaidOnceAndChangesNothingElse) {
    Sim a;
    Sim b;
    TempDir dir;
    std::ofstream(dir / "file") << "not a folder";
    const TRun r =
        RadarSign({"read-time", a.Port(), b.Port()}, {"XDG_DATA_HOME=" + dir / "file", kPcIsSign});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ResultOf(r.out, a.Port()).at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(ResultOf(r.out, b.Port()).at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("radar-sign: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(dir / "file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(the commands are not affected)"), std::string::npos) << r.err;
    EXPECT_LT(r.elapsed, milliseconds(1000));
}

TEST(RadarSignPorts, PortsLongGivesEachPortsIdentityInFiveFields) {
    Sim a;
    Sim b;
    TempDir dev;
    fs::create_symlink(a.Port(), dev / "ttyUSB1");
    fs::create_symlink(b.Port(), dev / "ttyACM0");
    const TRun r = RadarSign({"ports", "--long"}, {"RADAR_SIGN_DEVICE_DIR=" + dev.Path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    // Pseudo-terminals: nothing is known of them but the name.
    EXPECT_EQ(r.out, dev / "ttyUSB1" + "\t\t\t\t\n" + dev / "ttyACM0" + "\t\t\t\t\n");
}

} // namespace
