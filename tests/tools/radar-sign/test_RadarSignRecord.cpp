// radar-sign's results and audit rows as they hold against what a user does
// to the program and its ports: a reader of the results that goes away, stop
// signals mid-command (one to end the commands, a second to end the
// process), a verify that must see the time it sent, a clock judged with
// the uncertainty of its whole seconds, one port under two names, hostile
// text, and the names of OS errors. The rules without ports first, table
// by table; then the real program against simulated signs on
// pseudo-terminals, with real signals. Every wait has a deadline.

#include "serial/driver/CommApi.h"
#include "sign/PortFailure.h"
#include "sign/PortName.h"
#include "tests/tools/radar-sign/RadarSignRuns.h"
#include "tools/radar-sign/RadarSignOptions.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace radarsign_test;

// ---- The rules, without ports ---------------------------------------------------------

TEST(RadarSignRecordRules, APortNameHasOneCanonicalFormOnEachSystem) {
    struct Row {
        const char* typed;
        const char* canonical;
    };
    const Row posix[] = {
        {"ttyUSB90", "ttyUSB90"},
        {"/dev/ttyUSB90", "ttyUSB90"},
        {"/dev/../dev/ttyUSB90", "ttyUSB90"},
        {"//dev///ttyUSB90", "ttyUSB90"},
        {"/dev/./ttyUSB90", "ttyUSB90"},
        {"/../dev/ttyACM0", "ttyACM0"},
        {"/dev/pts/0", "/dev/pts/0"},
        {"/dev/pts/../pts/0", "/dev/pts/0"},
        {"/dev/serial/by-id/usb-FTDI-if00", "/dev/serial/by-id/usb-FTDI-if00"},
        {"./ttyUSB0", "/home/tech/ttyUSB0"}, // relative: against the current folder
        {"ports/../ttyUSB0", "/home/tech/ttyUSB0"},
        {"../../dev/ttyS1", "ttyS1"},
        {"/dev/ttyUSB0/", "/dev/ttyUSB0/"}, // the final slash fails the open, as typed
        {"/dev", "/dev"},
        {"/dev/..", "/"},
        {"/", "/"},
        {"tty\xff\xe2\x80\xae", "tty\xff\xe2\x80\xae"}, // bytes are the name's own
    };
    for (const Row& r : posix)
        EXPECT_EQ(sign::CanonicalPosixPortName(r.typed, "/home/tech"), r.canonical) << r.typed;

    const Row windows[] = {
        {"COM3", "COM3"},         {"com3", "COM3"},
        {"\\\\.\\COM3", "COM3"},  {"\\\\.\\com10", "COM10"},
        {"//./com4", "COM4"},     {"cnca0", "CNCA0"},
        {"\\\\.\\", "\\\\.\\"},   {"\\\\?\\COM3", "\\\\?\\COM3"},
        {"C:\\port", "C:\\port"},
    };
    for (const Row& r : windows)
        EXPECT_EQ(sign::CanonicalWindowsPortName(r.typed), r.canonical) << r.typed;
}

sign::TSignClock At(int hour, int minute, int second) {
    return {2026, 12, 7, hour, minute, second};
}

// The sign's whole seconds against a reference known to the millisecond
// over the read: the offset field, and the pass or fail of an interval.
TEST(RadarSignRecordRules, TheClockIsJudgedByTheIntervalItsWholeSecondsLeave) {
    const sign::TSignClock base = At(14, 35, 9);
    struct Row {
        const char* what;
        std::optional<sign::TSignClock> sign;
        std::int64_t fromMs, toMs;
        std::optional<std::int64_t> max;
        std::optional<std::int64_t> offset;
        bool fails;
    };
    const Row rows[] = {
        {"right, at once", base, 0, 15, 0, 0, false},
        {"right, read at the write, the reply 0.9 s later", base, 0, 900, 0, 0, false},
        {"right, the reply 1.9 s later: the field says -1", base, 0, 1900, 0, -1, false},
        {"right, read after the second turned", At(14, 35, 10), 0, 1900, 0, 0, false},
        {"right, retried: read 2.4 s on, a second before", At(14, 35, 11), 0, 2400, 0, 0, false},
        {"the PC at .999 when written", base, 999, 1010, 0, -1, false},
        {"5 s behind, 4 allowed", At(14, 35, 4), 0, 20, 4, -5, true},
        {"5 s behind, 5 allowed", At(14, 35, 4), 0, 20, 5, -5, false},
        {"5 s ahead, 4 allowed", At(14, 35, 14), 0, 20, 4, 5, true},
        {"5 s ahead, 5 allowed", At(14, 35, 14), 0, 20, 5, 5, false},
        {"133 s behind, 133 allowed", At(14, 32, 56), 0, 15, 133, -133, false},
        {"133 s behind, 132 allowed", At(14, 32, 56), 0, 15, 132, -133, true},
        {"2 s behind, the reply 1.5 s on, 1 allowed", At(14, 35, 7), 0, 1500, 1, -3, true},
        {"2 s behind, the reply 1.5 s on, 2 allowed", At(14, 35, 7), 0, 1500, 2, -3, false},
        {"no maximum", At(14, 0, 0), 0, 15, std::nullopt, -2109, false},
        {"not a date, no maximum", std::nullopt, 0, 15, std::nullopt, std::nullopt, false},
        {"not a date, with a maximum", std::nullopt, 0, 15, 999999999, std::nullopt, true},
        {"30 February", sign::TSignClock{2026, 2, 30, 14, 35, 9}, 0, 15, 60, std::nullopt, true},
    };
    for (const Row& r : rows) {
        const radarsign::TClockVerdict v =
            radarsign::JudgeClock(r.sign, {base, r.fromMs, r.toMs}, r.max);
        EXPECT_EQ(v.Offset, r.offset) << r.what;
        EXPECT_EQ(v.Fails, r.fails) << r.what;
    }
}

TEST(RadarSignRecordRules, AnOpensOsErrorIsToldByItsOwnSystemsName) {
    sign::TPortFacts emfile;
    emfile.OutOfFiles = true;
    emfile.ErrorName = "EMFILE, errno 24";
    sign::TPortFacts windows;
    windows.ErrorName = "ERROR_GEN_FAILURE, OS error 31";
    EXPECT_EQ(sign::OpenFailureText(31, emfile), "too many open files (EMFILE, errno 24)");
    EXPECT_EQ(sign::OpenFailureText(31, windows),
              "the device does not work (ERROR_GEN_FAILURE, OS error 31)");
    EXPECT_EQ(sign::OpenFailureText(31, sign::TPortFacts{}),
              "the device does not work (OS error 31)");

    // The errno behind the serial component's code, looked up right after a
    // real open; none for a refusal of the component's own (no device).
    TempDir dir;
    std::ofstream(dir / "file") << "not a port";
    struct Row {
        std::string port;
        std::uint32_t code;
        const char* name;
    };
    const Row rows[] = {
        {dir / "missing", comm::ERROR_FILE_NOT_FOUND, "ENOENT, errno 2"},
        {dir / "file", comm::ERROR_FILE_NOT_FOUND, ""}, // after the ENOENT: not kept
        {dir / "file/x", comm::ERROR_FILE_NOT_FOUND, "ENOTDIR, errno 20"},
    };
    for (const Row& r : rows) {
        const comm::Handle h = comm::Api().CreateFileA(("\\\\.\\" + r.port).c_str(), 0, 0, 0, 0);
        ASSERT_EQ(h, comm::INVALID_HANDLE_VALUE) << r.port;
        const std::uint32_t error = comm::Api().GetLastError();
        EXPECT_EQ(error, r.code) << r.port;
        EXPECT_EQ(sign::PortFacts(r.port, error).ErrorName, r.name) << r.port;
    }
}

// ---- The program: a reader that goes, and stop signals ----------------------------------

// The program started with its standard output on `out` (the test's own
// pipe) and its standard error in a file; waited for by Wait.
class Started {
public:
    Started(const std::vector<std::string>& args, int out, const std::string& dataHome)
        : errFile_(errDir_ / "stderr") {
        std::vector<std::string> all = {RADAR_SIGN_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = {"XDG_DATA_HOME=" + dataHome};
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(
            ::posix_spawn(&pid_, RADAR_SIGN_PATH, &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Started() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    void Signal(int sig) {
        signalled_ = Clock::now();
        ::kill(pid_, sig);
    }
    // The wait status at the end, within 20 s (-1: still running).
    int Wait() {
        int status = -1;
        const bool ended = WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; });
        ended_ = Clock::now();
        if (!ended)
            return -1;
        pid_ = -1;
        return status;
    }
    // From the last Signal to the end that Wait saw.
    milliseconds SinceSignal() const {
        return std::chrono::duration_cast<milliseconds>(ended_ - signalled_);
    }
    std::string Stderr() const {
        std::ifstream in(errFile_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    TempDir errDir_;
    std::string errFile_;
    pid_t pid_ = -1;
    Clock::time_point signalled_;
    Clock::time_point ended_;
};

// A pipe for a program's standard output, both ends closed at the end.
struct Pipe {
    Pipe() { EXPECT_EQ(::pipe2(fd, O_CLOEXEC), 0); }
    ~Pipe() {
        for (const int f : fd)
            if (f >= 0)
                ::close(f);
    }
    void Close(int end) {
        ::close(fd[end]);
        fd[end] = -1;
    }
    // The first line written to it, within 20 s.
    std::string Line() const {
        std::string text;
        char c = 0;
        while (rc_test::Readable(fd[0], Clock::now() + rc_test::ChildProcess::kDeadline) &&
               ::read(fd[0], &c, 1) == 1 && c != '\n')
            text += c;
        return text;
    }
    int fd[2] = {-1, -1};
};

std::vector<std::vector<std::string>> AuditRows(const TempDir& home) {
    const auto rows = CsvRows(home / "radar-configurator/audit.csv");
    return rows.empty() ? rows
                        : std::vector<std::vector<std::string>>(rows.begin() + 1, rows.end());
}

// The audit row of a port: port, command, tries, outcome, sign clock, offset.
std::vector<std::string> RowOf(const TempDir& home, const std::string& port) {
    for (const auto& row : AuditRows(home))
        if (row.size() == 13 && row[4] == port)
            return {row[4], row[7], row[9], row[10], row[11], row[12]};
    ADD_FAILURE() << "no audit row for " << port;
    return {};
}

TEST(RadarSignRecordOutput, AReaderThatGoesAwayCostsNoPortItsCommandOrItsRow) {
    // `radar-sign read-time A B | head -1`: the first line is read, then the
    // reader goes; b answers late, so its line finds the pipe closed.
    Sim a;
    Sim b({"--delay", "400"});
    TempDir home;
    Pipe out;
    Started run({"read-time", a.Port(), b.Port()}, out.fd[1], home.Path().string());
    out.Close(1);
    EXPECT_EQ(out.Line().rfind(a.Port() + "\tread-time\tok", 0), 0u);
    out.Close(0);
    const int status = run.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(run.Stderr(),
              "radar-sign: cannot write the results to standard output: Broken pipe\n");
    EXPECT_EQ(RowOf(home, a.Port()).at(3), "ok");
    EXPECT_EQ(RowOf(home, b.Port()).at(3), "ok");
    EXPECT_EQ(b.Received(), std::vector<std::string>{kReadTime});

    // A reader gone before anything: three ports, three rows, one message.
    Sim c;
    TempDir home2;
    Pipe gone;
    gone.Close(0);
    Started run2({"send-time", a.Port(), b.Port(), c.Port()}, gone.fd[1], home2.Path().string());
    const int status2 = run2.Wait();
    ASSERT_TRUE(WIFEXITED(status2)) << "ended by signal " << WTERMSIG(status2);
    EXPECT_EQ(WEXITSTATUS(status2), 5);
    EXPECT_EQ(AuditRows(home2).size(), 3u);
    EXPECT_EQ(Lines(run2.Stderr()).size(), 1u) << run2.Stderr();
}

TEST(RadarSignRecordSignals, AStopSignalEndsTheCommandsInFlightLoggedWithinASecond) {
    struct Row {
        int sig;
        const char* name;
    };
    for (const Row& r : {Row{SIGINT, "SIGINT"}, Row{SIGTERM, "SIGTERM"}, Row{SIGHUP, "SIGHUP"}}) {
        SCOPED_TRACE(r.name);
        Sim answered;
        Sim silent({"--silent"});
        Sim verified({"--mute", "3"}); // takes the time, never answers the read-back
        TempDir home;
        Pipe out;
        Started run({"read-time", answered.Port(), silent.Port()}, out.fd[1], home.Path().string());
        TempDir home2;
        Pipe out2;
        Started run2({"send-time", verified.Port(), "--verify"}, out2.fd[1], home2.Path().string());
        out.Close(1);
        out2.Close(1);
        // The answered port is done; the silent one waits after its first
        // write; the verify waits for its read-back.
        const std::string first = out.Line();
        ASSERT_TRUE(silent.WaitForLog(" rx "));
        ASSERT_TRUE(verified.WaitForLog("(read time)"));
        run.Signal(r.sig);
        const int status = run.Wait();
        run2.Signal(r.sig);
        const int status2 = run2.Wait();

        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 128 + r.sig);
        EXPECT_LT(run.SinceSignal(), milliseconds(1000));
        const std::string cancelled = std::string("cancelled: interrupted by ") + r.name;
        EXPECT_EQ(first.rfind(answered.Port() + "\tread-time\tok 12/07 2026  14:35\t1 try", 0), 0u)
            << first;
        const std::string second = out.Line();
        EXPECT_EQ(second.rfind(silent.Port() + "\tread-time\t" + cancelled + "\t1 try\t", 0), 0u)
            << second;
        EXPECT_EQ(RowOf(home, answered.Port()).at(3), "ok");
        EXPECT_EQ(RowOf(home, silent.Port()),
                  (std::vector<std::string>{silent.Port(), "read-time", "1", cancelled, "", ""}));
        EXPECT_EQ(silent.Received(), std::vector<std::string>{kReadTime});
        EXPECT_EQ(run.Stderr(), "");

        ASSERT_TRUE(WIFEXITED(status2)) << "ended by signal " << WTERMSIG(status2);
        EXPECT_EQ(WEXITSTATUS(status2), 128 + r.sig);
        EXPECT_LT(run2.SinceSignal(), milliseconds(1000));
        const std::string line = out2.Line();
        EXPECT_EQ(line.rfind(verified.Port() + "\tsend-time\tset, but not read back: " + cancelled +
                                 "\t2 tries\t",
                             0),
                  0u)
            << line;
        EXPECT_EQ(RowOf(home2, verified.Port()).at(3), "set, but not read back: " + cancelled);
    }
}

TEST(RadarSignRecordSignals, ASecondStopSignalEndsTheProcessAtOnce) {
    // Standard output is a pipe that nobody reads and that is full: after the
    // first signal the command ends and is logged, and the result line then
    // blocks. The second signal must not wait for it.
    Sim silent({"--silent"});
    TempDir home;
    Pipe out;
    ::fcntl(out.fd[1], F_SETFL, O_NONBLOCK);
    const std::string block(4096, 'x');
    while (::write(out.fd[1], block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    ::fcntl(out.fd[1], F_SETFL, 0);
    Started run({"read-time", silent.Port()}, out.fd[1], home.Path().string());
    ASSERT_TRUE(silent.WaitForLog(" rx "));
    run.Signal(SIGTERM);
    // The row comes before the line that cannot be written.
    ASSERT_TRUE(WaitFor([&] { return AuditRows(home).size() == 1; }));
    EXPECT_EQ(RowOf(home, silent.Port()).at(3), "cancelled: interrupted by SIGTERM");
    run.Signal(SIGTERM);
    const int status = run.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    EXPECT_LT(run.SinceSignal(), milliseconds(1000));
}

// ---- The program: the clock --------------------------------------------------------------

TEST(RadarSignRecordClock, AVerifyPassesOnlyAClockThatTookTheTimeSent) {
    struct Row {
        const char* what;
        std::vector<std::string> sim;
        std::vector<std::string> args;
        const char* pc;
        int status;
        const char* outcome;
        const char* offset;
        const char* logged;
    };
    const Row rows[] = {
        {"a sign that keeps its own clock, 46 h behind",
         {"--keep-clock", "--clock", "2026-12-05 16:05:20"},
         {"--at", "2026-12-07 14:35:09"},
         "2026-12-07 14:35:09",
         4,
         "the sign did not take the time: it reads 2026-12-05T16:05:20, 1 d 22 h 29 min 49 s "
         "behind the time sent",
         "-167389",
         "the sign did not take the time: 1 d 22 h 29 min 49 s behind the time sent"},
        {"a sign that keeps its own clock, 3 s ahead, 2 allowed",
         {"--keep-clock", "--clock", "2026-12-07 14:35:12"},
         {"--at", "2026-12-07 14:35:09"},
         "2026-12-07 14:35:09",
         4,
         "the sign did not take the time: it reads 2026-12-07T14:35:12, 3 s ahead of the time "
         "sent",
         "+3",
         "the sign did not take the time: 3 s ahead of the time sent"},
        {"the time sent held against --max-offset, not the PC's clock an hour on",
         {},
         {"--at", "2026-12-07 14:35:09", "--max-offset", "10"},
         "2026-12-07 15:35:09",
         0,
         "ok",
         "-3600",
         "ok"},
        {"--max-offset 0 with a sign that took it",
         {},
         {"--at", "2026-12-07 14:35:09", "--max-offset", "0"},
         "2026-12-07 14:35:09",
         0,
         "ok",
         "0",
         "ok"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sim sim(row.sim);
        TempDir home;
        const TRun r = RadarSign(Plus({"send-time", sim.Port(), "--verify"}, row.args),
                                 {"XDG_DATA_HOME=" + home.Path().string(),
                                  std::string("RADAR_SIGN_PC_CLOCK=") + row.pc});
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        const auto fields = ResultOf(r.out, sim.Port());
        ASSERT_EQ(fields.size(), 6u) << r.out;
        EXPECT_EQ(fields[2], row.outcome);
        EXPECT_EQ(fields[5], row.offset);
        EXPECT_EQ(RowOf(home, sim.Port()).at(3), row.logged);
    }

    // A sign whose clock runs with this PC's and takes the time: no fixed
    // clock, nothing allowed beyond the reading's own second.
    Sim running({}, TSimClock::PcTime);
    const TRun r = RadarSign({"send-time", running.Port(), "--verify", "--max-offset", "0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(ResultOf(r.out, running.Port()).at(2), "ok");
}

TEST(RadarSignRecordClock, ASignThatIsRightIsNeverFailedHoweverLateOrRetriedItsReply) {
    struct Row {
        const char* what;
        std::vector<std::string> sim; // the sign's clock runs with this PC's
        std::vector<std::string> args;
        const char* tries;
    };
    const Row rows[] = {
        // The sign reads its clock at once and answers 1.9 s later: the PC's
        // second at the reply is one or two on.
        {"late", {"--delay", "1900"}, {"--max-offset", "1", "--timeout", "2500"}, "1 try"},
        {"late, nothing allowed", {"--delay", "700"}, {"--max-offset", "0"}, "1 try"},
        {"retried",
         {"--ignore", "1", "--delay", "700"},
         {"--max-offset", "0", "--timeout", "800"},
         "2 tries"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sim sim(row.sim, TSimClock::PcTime);
        const TRun r = RadarSign(Plus({"read-time", sim.Port()}, row.args));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const auto fields = ResultOf(r.out, sim.Port());
        ASSERT_EQ(fields.size(), 6u) << r.out;
        EXPECT_EQ(fields[2].rfind("ok ", 0), 0u) << fields[2];
        EXPECT_EQ(fields[3], row.tries);
    }

    // With the PC's clock fixed at the first write: a stopped sign 5 s off
    // fails 4, passes 5, either way.
    for (const char* pc : {"2026-12-07 14:35:14", "2026-12-07 14:35:04"}) {
        Sim sim;
        for (const auto& [max, status] : {std::pair{"4", 4}, std::pair{"5", 0}}) {
            const TRun r = RadarSign({"read-time", sim.Port(), "--max-offset", max},
                                     {std::string("RADAR_SIGN_PC_CLOCK=") + pc});
            EXPECT_EQ(r.status, status) << pc << " " << max << ": " << r.out;
        }
    }
}

TEST(RadarSignRecordClock, AClockThatIsNoDateIsRecordedWithItsBytes) {
    Sim sim({"--clock-bytes", "26 12 09 14 35 7A"});
    TempDir home;
    const TRun r = RadarSign({"read-time", sim.Port()}, {"XDG_DATA_HOME=" + home.Path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ResultOf(r.out, sim.Port()).at(2),
              "ok, clock not a date: 12/09 2026  14:35 (bytes 26 12 09 14 35 7A)");
    EXPECT_EQ(RowOf(home, sim.Port()),
              (std::vector<std::string>{sim.Port(), "read-time", "1", "ok",
                                        "12/09 2026  14:35 (bytes 26 12 09 14 35 7A)", ""}));
}

// ---- The program: names --------------------------------------------------------------------

TEST(RadarSignRecordNames, OnePortGivenTwiceUnderAnyNameIsBadInput) {
    Sim sim;
    TempDir dir;
    fs::create_symlink(sim.Port(), dir / "ttyUSB0");
    const std::string pts = sim.Port().substr(std::string("/dev/pts/").size());
    const std::string dotted = "/dev/pts/../pts/" + pts;
    struct Row {
        std::vector<std::string> ports;
        std::string says;
    };
    const Row rows[] = {
        {{sim.Port(), dotted},
         sim.Port() + " and " + dotted + " are the same port, given twice; nothing was sent"},
        {{dir / "ttyUSB0", sim.Port()},
         dir / "ttyUSB0" + " and " + sim.Port() + " are the same port, given twice"},
        {{"/dev/null", "null"}, "/dev/null and null are the same port"},
    };
    for (const Row& row : rows) {
        const TRun r = RadarSign(Plus({"read-time"}, row.ports));
        EXPECT_EQ(r.status, 2) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    // Had anything been sent, the simulator would have read it first.
    TempDir home;
    const TRun once = RadarSign({"read-time", dotted, "/dev/../dev/rc-no-such-tty"},
                                {"XDG_DATA_HOME=" + home.Path().string()});
    EXPECT_EQ(once.status, 3) << once.out << once.err;
    EXPECT_EQ(sim.Received(), std::vector<std::string>{kReadTime});
    // One name for one port, on the line and in the log.
    EXPECT_EQ(ResultOf(once.out, sim.Port()).at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(ResultOf(once.out, "rc-no-such-tty").at(2), "no such port");
    EXPECT_EQ(RowOf(home, sim.Port()).at(3), "ok");
    EXPECT_EQ(RowOf(home, "rc-no-such-tty").at(3), "no such port");
}

TEST(RadarSignRecordNames, TextFromOutsideIsShownVisiblyAndLoggedAsItCame) {
    Sim sim;
    TempDir dir;
    const std::string hostile = dir / "tty\xff\xe2\x80\xae";
    fs::create_symlink(sim.Port(), hostile);
    TempDir home;
    const TRun r = RadarSign({"read-time", hostile}, {"XDG_DATA_HOME=" + home.Path().string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ResultOf(r.out, dir / "tty\\xFF\\u202E").at(2), "ok 12/07 2026  14:35");
    EXPECT_EQ(r.out.find('\xff'), std::string::npos);
    EXPECT_EQ(AuditRows(home).size(), 1u);

    // Messages about bad input quote it visibly.
    struct Row {
        std::vector<std::string> args;
        std::string shown;
    };
    const Row rows[] = {
        {{"read-time", sim.Port(), "--tim\x1b[2J"}, "unknown option '--tim\\x1B[2J'"},
        {{"send-time", sim.Port(), "--at", "\x1b]0;owned\x07"}, "--at '\\x1B]0;owned\\x07'"},
        {{"read-time", hostile, hostile}, "port " + dir / "tty\\xFF\\u202E" + " given twice"},
        {{"download", sim.Port(), "--settings", dir / "\xe2\x80\xae"},
         "the settings file " + dir / "\\u202E"},
    };
    for (const Row& row : rows) {
        const TRun bad = RadarSign(row.args);
        EXPECT_EQ(bad.status, 2) << bad.err;
        EXPECT_NE(bad.err.find(row.shown), std::string::npos) << bad.err;
        EXPECT_EQ(bad.err.find('\x1b'), std::string::npos) << bad.err;
        EXPECT_EQ(bad.err.find('\xff'), std::string::npos) << bad.err;
    }
    EXPECT_EQ(sim.Received(), std::vector<std::string>{kReadTime});
}

} // namespace
