// The simulated sign, run as the real program (SIGN_SIM_PATH): its replies
// byte for byte, its state on stdout, the reply options, the link and the
// signals, and its port shared with the serial component. Every wait has a
// deadline; "nothing came" is a short quiet window.

#include "host/PlainMainLoop.h"
#include "serial/CPort.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr milliseconds kQuiet{200};

// "F7 8C 03" as bytes.
std::string Hex(const std::string& text) {
    std::string bytes;
    std::istringstream in(text);
    std::string pair;
    while (in >> pair)
        bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
    return bytes;
}

std::string ShowHex(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", static_cast<unsigned char>(c));
        out += b;
    }
    return out;
}

const std::string kReadTime = Hex("F7 8C 8D 8A 03 7F");
const std::string kSetTime = Hex("F7 8C 8D 8A 01 26 12 07 14 35 09 66");
const std::string kDownload = Hex("F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 00 74");
const std::string kClockReply = Hex("F7 8C 8D 8A 83 26 12 07 14 35 09 E4");
const std::string kSetTimeReply = Hex("F7 8C 8D 8A 81 FD");
const std::string kDownloadReply = Hex("F7 8C 8D 8A 82 FE");
const std::vector<std::string> kFixedClock = {"--clock", "2026-12-07 14:35:09"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using rc_test::MsLeft;
using rc_test::Readable;
using rc_test::TempDir;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The simulator as a child process.
class SignSim {
public:
    explicit SignSim(const std::vector<std::string>& args, bool expectPort = true)
        : child_(SIGN_SIM_PATH, args) {
        if (expectPort) {
            const std::string first = StdoutLine();
            const std::string prefix = "sign-sim: listening on ";
            EXPECT_EQ(first.rfind(prefix, 0), 0u) << first;
            port_ = first.substr(std::min(first.size(), prefix.size()));
        }
    }

    const std::string& Port() const { return port_; }
    pid_t Pid() const { return child_.Pid(); }
    std::string StdoutLine() { return child_.StdoutLine(); }
    // What has come on stdout within `window` (nothing, usually).
    std::string StdoutWithin(milliseconds window) { return child_.StdoutWithin(window); }
    std::string Log() const { return child_.Stderr(); }
    // Sends sig and answers the exit status (-1: ended by a signal); raises
    // when it is still running after the deadline.
    int Stop(int sig) { return child_.Stop(sig); }
    int Wait() { return child_.Wait(); }

private:
    rc_test::ChildProcess child_;
    std::string port_;
};

// The slave side, opened as a program opens its port.
class Port {
public:
    explicit Port(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios t{};
        ::tcgetattr(fd_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port() { ::close(fd_); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    int Fd() const { return fd_; }

    void Send(const std::string& bytes) const {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // n bytes, or fewer at the deadline.
    std::string Receive(std::size_t n) const {
        std::string in;
        const auto deadline = Clock::now() + kDeadline;
        while (in.size() < n && ReadSome(in, deadline)) {
        }
        return in;
    }
    // What comes within `window`.
    std::string Within(milliseconds window) const {
        std::string in;
        const auto deadline = Clock::now() + window;
        while (ReadSome(in, deadline)) {
        }
        return in;
    }
    // The bytes of the first read once any are there.
    std::string FirstRead() const {
        std::string in;
        ReadSome(in, Clock::now() + kDeadline);
        return in;
    }

private:
    bool ReadSome(std::string& in, Clock::time_point deadline) const {
        if (!Readable(fd_, deadline))
            return false;
        char buf[256];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            in.append(buf, static_cast<std::size_t>(n));
        return n > 0;
    }
    int fd_ = -1;
};

// ---- Replies ----------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> sends; // written one after another, quiet between
    std::string reply;              // all that comes back
    std::vector<std::string> logged;
};

TEST(SignSimReplies, EachRequestIsAnsweredByteForByteAndNothingElse) {
    const std::string clock = kClockReply;
    const std::vector<ReplyCase> cases = {
        {"read time, fixed clock",
         kFixedClock,
         {kReadTime},
         clock,
         {"rx F7 8C 8D 8A 03 7F (read time)", "tx F7 8C 8D 8A 83 26 12 07 14 35 09 E4"}},
        {"read time, raw clock bytes",
         {"--clock-bytes", "26 1A 07 14 35 09"},
         {kReadTime},
         Hex("F7 8C 8D 8A 83 26 1A 07 14 35 09 EC"),
         {}},
        {"set time",
         {},
         {kSetTime},
         kSetTimeReply,
         {"rx F7 8C 8D 8A 01 26 12 07 14 35 09 66 (set time 2026-12-07 14:35:09)"}},
        {"download", {}, {kDownload}, kDownloadReply, {"(download)"}},
        {"noise before the reply",
         Concat({"--noise", "00 F7 12"}, kFixedClock),
         {kReadTime},
         Hex("00 F7 12") + clock,
         {}},
        {"two replies in one", Concat({"--double"}, kFixedClock), {kReadTime}, clock + clock, {}},
        {"noise before each of two",
         {"--double", "--noise=AA"},
         {kDownload},
         Hex("AA") + kDownloadReply + Hex("AA") + kDownloadReply,
         {}},
        {"a frame in two pieces, no answer to the first",
         kFixedClock,
         {kReadTime.substr(0, 3), kReadTime.substr(3)},
         clock,
         {}},
        {"junk, an unknown code, a bad checksum and a broken header are skipped",
         kFixedClock,
         {Hex("00 12 F7 8C 8D 8A 05 F7 8C 8D 8A 03 00 F7 8C") + kReadTime},
         clock,
         {"junk 00 12 (no frame)", "rejected F7 8C 8D 8A 05 (unknown command 05)",
          "rejected F7 8C 8D 8A 03 00 (bad checksum 00)", "junk F7 8C (no frame)"}},
        {"a bad frame cut short by the next one",
         kFixedClock,
         {Hex("F7 8C 8D 8A 01 26 12") + kReadTime + Hex("00 00 00 00")},
         clock,
         {"rejected F7 8C 8D 8A 01 26 12 (bad checksum"}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(c.name);
        SignSim sim(c.args);
        Port port(sim.Port());
        for (std::size_t i = 0; i < c.sends.size(); ++i) {
            if (i > 0) {
                EXPECT_EQ(ShowHex(port.Within(kQuiet)), "");
            }
            port.Send(c.sends[i]);
        }
        EXPECT_EQ(ShowHex(port.Receive(c.reply.size())), ShowHex(c.reply));
        EXPECT_EQ(ShowHex(port.Within(kQuiet)), "");
        const std::string log = sim.Log();
        for (const std::string& line : c.logged)
            EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
    }
}

// ---- The sign's state ---------------------------------------------------------------

using TClockValue = std::array<int, 6>; // year, month, day, hour, minute, second

TClockValue ClockOf(const std::string& reply) {
    TClockValue v{};
    for (std::size_t i = 0; i < 6 && 5 + i < reply.size(); ++i) {
        const auto b = static_cast<unsigned char>(reply[5 + i]);
        v[i] = (b >> 4) * 10 + (b & 0x0F);
    }
    return v;
}

TEST(SignSimState, TheClockRunsOnFromTheTimeSentAcrossTheYearsEnd) {
    SignSim sim({});
    Port port(sim.Port());
    port.Send(Hex("F7 8C 8D 8A 01 26 12 31 23 59 59 5B"));
    EXPECT_EQ(ShowHex(port.Receive(6)), ShowHex(kSetTimeReply));
    EXPECT_EQ(sim.StdoutLine(), "clock set: 2026-12-31 23:59:59");

    const TClockValue sent{26, 12, 31, 23, 59, 59};
    const TClockValue next{27, 1, 1, 0, 0, 0};
    TClockValue now = sent;
    const auto deadline = Clock::now() + kDeadline;
    while (now == sent && Clock::now() < deadline) {
        port.Send(kReadTime);
        const std::string reply = port.Receive(12);
        ASSERT_EQ(reply.size(), 12u);
        EXPECT_EQ(reply.substr(0, 5), Hex("F7 8C 8D 8A 83"));
        char x = 0;
        for (const char b : reply)
            x ^= b;
        EXPECT_EQ(x, 0) << "checksum of " << ShowHex(reply);
        now = ClockOf(reply);
        EXPECT_GE(now, sent);
        if (now == sent) {
            EXPECT_EQ(ShowHex(port.Within(milliseconds(50))), ""); // pace the reads
        }
    }
    EXPECT_GE(now, next);
    EXPECT_LT(now, (TClockValue{27, 1, 1, 0, 1, 0}));
}

TEST(SignSimState, AClockThatCannotRunStaysAtTheBytesSent) {
    // Stopped by --clock: a set time replaces the time shown.
    {
        SignSim sim(kFixedClock);
        Port port(sim.Port());
        port.Send(Hex("F7 8C 8D 8A 01 99 12 31 23 59 59 E4"));
        EXPECT_EQ(ShowHex(port.Receive(6)), ShowHex(kSetTimeReply));
        EXPECT_EQ(sim.StdoutLine(), "clock set: 2099-12-31 23:59:59 (stopped by --clock)");
        port.Send(kReadTime);
        EXPECT_EQ(ShowHex(port.Receive(12)), "F7 8C 8D 8A 83 99 12 31 23 59 59 66 ");
    }
    // Not BCD: no date, so the sign shows the bytes as they came.
    {
        SignSim sim({});
        Port port(sim.Port());
        port.Send(Hex("F7 8C 8D 8A 01 26 1A 07 14 35 09 6E"));
        EXPECT_EQ(ShowHex(port.Receive(6)), ShowHex(kSetTimeReply));
        EXPECT_EQ(sim.StdoutLine(), "clock set: 2026-1A-07 14:35:09 (no valid date and time: the "
                                    "clock stays at these bytes)");
        port.Send(kReadTime);
        EXPECT_EQ(ShowHex(port.Receive(12)), "F7 8C 8D 8A 83 26 1A 07 14 35 09 EC ");
    }
}

TEST(SignSimState, EachDownloadShowsTheTableInWords) {
    struct Case {
        std::string frame;
        std::string shown;
    };
    const Case cases[] = {
        {kDownload, "table: morning 08:00-18:00 at 20, afternoon 18:00-22:00 at 20, regular 20, "
                    "rate 1.5Hz"},
        {Hex("F7 8C 8D 8A 02 07 1E 09 05 1E 10 00 13 3B 28 32 01 56"),
         "table: morning 07:30-09:05 at 30, afternoon 16:00-19:59 at 40, regular 50, rate 1Hz"},
        {Hex("F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 02 76"),
         "table: morning 08:00-18:00 at 20, afternoon 18:00-22:00 at 20, regular 20, "
         "rate 0.75 Hz."},
        {Hex("F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 FF 8B"),
         "table: morning 08:00-18:00 at 20, afternoon 18:00-22:00 at 20, regular 20, rate 255"},
    };
    SignSim sim({});
    Port port(sim.Port());
    for (const Case& c : cases) {
        port.Send(c.frame);
        EXPECT_EQ(ShowHex(port.Receive(6)), ShowHex(kDownloadReply));
        EXPECT_EQ(sim.StdoutLine(), c.shown);
    }
    // A read changes nothing on stdout.
    port.Send(kReadTime);
    EXPECT_EQ(port.Receive(12).size(), 12u);
    EXPECT_EQ(sim.StdoutWithin(kQuiet), "");
}

// ---- Options that hold replies back -------------------------------------------------------

TEST(SignSimTiming, IgnoredAndSilentFramesGoUnanswered) {
    TempDir dir;
    {
        SignSim sim(Concat({"--ignore", "1", "--log", dir / "log"}, kFixedClock));
        Port port(sim.Port());
        port.Send(kSetTime); // ignored: not applied either
        EXPECT_EQ(ShowHex(port.Within(kQuiet)), "");
        port.Send(kReadTime);
        EXPECT_EQ(ShowHex(port.Receive(12)), ShowHex(kClockReply));
        EXPECT_EQ(sim.StdoutWithin(kQuiet), "");
        const std::string ignored = "(set time 2026-12-07 14:35:09) ignored, 1 of 1";
        EXPECT_NE(sim.Log().find(ignored), std::string::npos) << sim.Log();
        EXPECT_NE(ReadFile(dir / "log").find(ignored), std::string::npos);
        EXPECT_NE(ReadFile(dir / "log").find("tx F7 8C 8D 8A 83"), std::string::npos);
    }
    {
        SignSim sim({"--silent"});
        Port port(sim.Port());
        port.Send(kSetTime + kReadTime);
        EXPECT_EQ(ShowHex(port.Within(kQuiet)), "");
        // Heard and applied, only not answered.
        EXPECT_EQ(sim.StdoutLine(), "clock set: 2026-12-07 14:35:09");
        EXPECT_NE(sim.Log().find("(read time) not answered"), std::string::npos);
    }
}

TEST(SignSimTiming, DelayAndSplitHoldTheReplyBack) {
    {
        SignSim sim(Concat({"--delay", "300"}, kFixedClock));
        Port port(sim.Port());
        const auto sent = Clock::now();
        port.Send(kReadTime);
        EXPECT_EQ(ShowHex(port.Receive(12)), ShowHex(kClockReply));
        EXPECT_GE(Clock::now() - sent, milliseconds(300));
    }
    {
        SignSim sim(Concat({"--split", "5:1000"}, kFixedClock));
        Port port(sim.Port());
        const auto sent = Clock::now();
        port.Send(kReadTime + kReadTime);
        const std::string head = kClockReply.substr(0, 5);
        const std::string rest = kClockReply.substr(5);
        EXPECT_EQ(ShowHex(port.FirstRead()), ShowHex(head));
        // The second reply starts right after the first and pauses as well.
        EXPECT_EQ(ShowHex(port.Receive(12)), ShowHex(rest + head));
        EXPECT_EQ(ShowHex(port.Within(kQuiet)), "");
        EXPECT_EQ(ShowHex(port.Receive(7)), ShowHex(rest));
        EXPECT_GE(Clock::now() - sent, milliseconds(2000));
    }
}

// ---- The port --------------------------------------------------------------------------

// How often a process's main thread went to sleep, and its CPU time in clock
// ticks (utime + stime).
struct Activity {
    long sleeps = 0;
    long ticks = 0;
};

Activity ActivityOf(pid_t pid) {
    Activity a;
    const std::string dir = "/proc/" + std::to_string(pid);
    std::istringstream status(ReadFile(dir + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            a.sleeps = std::stol(line.substr(line.find(':') + 1));
    const std::string stat = ReadFile(dir + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15)
            a.ticks += std::stol(field);
    return a;
}

TEST(SignSimPort, OpenersMayComeAndGoWhileTheSimulatorIdles) {
    SignSim sim(kFixedClock);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        {
            Port port(sim.Port());
            port.Send(kReadTime);
            EXPECT_EQ(ShowHex(port.Receive(12)), ShowHex(kClockReply));
        }
        // No opener now: the simulator sleeps until the next, neither spinning
        // on a hung-up line nor waking to look.
        const Activity before = ActivityOf(sim.Pid());
        EXPECT_EQ(sim.StdoutWithin(milliseconds(300)), "");
        const Activity after = ActivityOf(sim.Pid());
        EXPECT_LE(after.ticks - before.ticks, 5);
        EXPECT_LE(after.sleeps - before.sleeps, 1);
    }
}

TEST(SignSimPort, TheSerialComponentOpensItExclusivelyAgainAndAgain) {
    SignSim sim(kFixedClock);
    // The simulator's own hold on the slave is neither exclusive nor locked.
    {
        Port plain(sim.Port());
        int exclusive = -1;
        ASSERT_EQ(::ioctl(plain.Fd(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0);
        EXPECT_EQ(::flock(plain.Fd(), LOCK_EX | LOCK_NB), 0);
    }
    host::TPlainMainLoop loop;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        cport::TComPort port(nullptr);
        port.SetEvents(cport::TComEvents());
        port.Timeouts().SetReadInterval(0);
        port.Timeouts().SetReadTotalMultiplier(0);
        port.Timeouts().SetReadTotalConstant(20000);
        port.SetPort(sim.Port());
        ASSERT_TRUE(port.OpenWithSettings("9600,N,8,1"));
        // Held exclusively by the component, even next to the simulator's fd:
        // another opener is refused (EBUSY; root passes TIOCEXCL but not the lock).
        const int other = ::open(sim.Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (other >= 0) {
            EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
            ::close(other);
        } else {
            EXPECT_EQ(errno, EBUSY);
        }
        EXPECT_EQ(port.Write(kReadTime.data(), static_cast<std::int32_t>(kReadTime.size())), 6);
        std::string reply;
        port.ReadString(12, reply);
        EXPECT_EQ(ShowHex(reply), ShowHex(kClockReply));
        port.Close();
    }
}

// ---- Link, signals, command line -------------------------------------------------------

TEST(SignSimLink, TheLinkLastsUntilTheSignalThatStopsTheSimulator) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(sig);
        TempDir dir;
        const std::string link = dir / "ttyUSB99";
        SignSim sim({"--link", link});
        EXPECT_EQ(fs::read_symlink(link).string(), sim.Port());
        {
            Port port(link);
            port.Send(kDownload);
            EXPECT_EQ(ShowHex(port.Receive(6)), ShowHex(kDownloadReply));
        }
        EXPECT_EQ(sim.Stop(sig), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

// A stop that comes as soon as the port is named, before the simulator waits
// on the line, is not lost (a handler that only marks the signal can leave it
// pending while poll() sleeps for good).
TEST(SignSimLink, AStopAtOnceAfterTheStartIsNotLost) {
    TempDir dir;
    const std::string link = dir / "ttyUSB99";
    for (int round = 0; round < 30; ++round) {
        const int sig = std::array{SIGTERM, SIGINT, SIGHUP}[round % 3];
        SCOPED_TRACE(round);
        SignSim sim({"--link", link});
        EXPECT_EQ(fs::read_symlink(link).string(), sim.Port());
        ASSERT_EQ(sim.Stop(sig), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

TEST(SignSimLink, OnlyAStaleLinkToAPseudoTerminalIsReplaced) {
    TempDir dir;
    const std::string link = dir / "ttyUSB99";
    // A link left behind by a simulator that was killed.
    fs::create_symlink("/dev/pts/999999", link);
    {
        SignSim sim({"--link", link});
        EXPECT_EQ(fs::read_symlink(link).string(), sim.Port());
        EXPECT_EQ(sim.Stop(SIGTERM), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
    // Anything else stays as it is.
    const std::string file = dir / "file";
    std::ofstream(file) << "keep";
    fs::create_symlink(file, link);
    for (const std::string& path : {file, link}) {
        SCOPED_TRACE(path);
        SignSim sim({"--link", path}, false);
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_NE(sim.Log().find("not replaced"), std::string::npos) << sim.Log();
        EXPECT_EQ(ReadFile(path), "keep");
    }
    EXPECT_EQ(fs::read_symlink(link).string(), file);
}

TEST(SignSimCommandLine, BadOptionsGiveTheUsageAndStatus2) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"extra"},
        {"--delay"},
        {"--delay", "x"},
        {"--delay", "-5"},
        {"--ignore", "1x"},
        {"--split", "5"},
        {"--split", "0:10"},
        {"--split", "5:"},
        {"--noise", "0G"},
        {"--noise", "F"},
        {"--noise", ""},
        {"--clock", "2026-13-07 14:35:09"},
        {"--clock", "2026-02-30 14:35:09"},
        {"--clock", "1999-12-07 14:35:09"},
        {"--clock", "2026-12-07 24:00:00"},
        {"--clock", "2026-12-07"},
        {"--clock-bytes", "26 1A 07 14 35"},
        {"--silent=yes"},
        {"--link", ""},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
        SignSim sim(args, false);
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_EQ(sim.StdoutLine(), "");
        EXPECT_NE(sim.Log().find("usage: sign-sim"), std::string::npos) << sim.Log();
    }
    SignSim help({"--help"}, false);
    EXPECT_EQ(help.StdoutLine(), "usage: sign-sim [options]");
    EXPECT_EQ(help.Wait(), 0);
}

} // namespace
