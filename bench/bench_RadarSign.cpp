// radar-sign against simulated signs: the real program (RADAR_SIGN_PATH)
// reading the clock of three signs at once (each a sign-sim, SIGN_SIM_PATH,
// answering at once), against the same command on one of those signs alone,
// alternating in the same run. Figure: the wall time from starting the
// program to its exit. Baseline as well: the program's start and end alone
// ("radar-sign --help"). Goal: three at once within 1.2 x one alone
// (medians), since each port runs its transaction on a thread of its own.
// Only the simulators' pseudo-terminals are opened. Each command's line in
// the audit log goes to a per-user data folder of the benchmark's own
// (XDG_DATA_HOME), removed at the end.
// bench_RadarSign [runs]: runs of each (default 100).
// Exits 1 only when a run did not end as it should.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double Goal = 1.2;

// A program with stdout through a pipe (and stderr to /dev/null).
struct TChild {
    pid_t Pid = -1;
    int Out = -1;
};

TChild Start(const std::vector<std::string>& args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    TChild child;
    const int rc = ::posix_spawn(&child.Pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    child.Out = out[0];
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    return child;
}

// Reads a line of the child's stdout (with a deadline of 10 s).
std::string Line(const TChild& child) {
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
        pollfd p{child.Out, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        char c;
        if (::read(child.Out, &c, 1) != 1)
            break;
        line += c;
    }
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

constexpr std::size_t AnyLines = static_cast<std::size_t>(-1);

// Runs the program to its end; answers the wall time in ms, or -1 when it
// did not exit with status 0 and `lines` lines of output.
double Time(const std::vector<std::string>& args, std::size_t lines) {
    const auto start = Clock::now();
    const TChild child = Start(args);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(child.Out, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(child.Pid, &status, 0);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ::close(child.Out);
    const auto got = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || (lines != AnyLines && got != lines)) {
        std::fprintf(stderr, "bench_RadarSign: %s ended badly:\n%s", args[1].c_str(), out.c_str());
        return -1;
    }
    return ms;
}

struct TStats {
    double median, p90, best, worst;
};

TStats Stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) { return v[static_cast<std::size_t>(q * (v.size() - 1))]; };
    return {at(0.5), at(0.9), v.front(), v.back()};
}

void Row(const char* name, const TStats& s) {
    std::printf("  %-40s %8.3f %8.3f %8.3f %8.3f\n", name, s.median, s.p90, s.best, s.worst);
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    char dataHome[] = "/tmp/rc-bench-radar-sign-XXXXXX";
    if (::mkdtemp(dataHome) == nullptr || ::setenv("XDG_DATA_HOME", dataHome, 1) != 0)
        return 1;
    std::vector<TChild> sims;
    std::vector<std::string> ports;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(Start({SIGN_SIM_PATH}));
        const std::string line = Line(sims.back());
        const std::string prefix = "sign-sim: listening on ";
        if (line.rfind(prefix, 0) != 0) {
            std::fprintf(stderr, "bench_RadarSign: sign-sim said '%s'\n", line.c_str());
            return 1;
        }
        ports.push_back(line.substr(prefix.size()));
    }
    const std::vector<std::string> one = {RADAR_SIGN_PATH, "read-time", ports[0]};
    const std::vector<std::string> three = {RADAR_SIGN_PATH, "read-time", ports[0], ports[1],
                                            ports[2]};
    const std::vector<std::string> help = {RADAR_SIGN_PATH, "--help"};
    std::vector<double> tOne, tThree, tHelp;
    bool ok = true;
    for (int i = 0; i < runs && ok; ++i) {
        const double a = Time(one, 1);
        const double b = Time(three, 3);
        const double h = Time(help, AnyLines);
        ok = a >= 0 && b >= 0 && h >= 0;
        tOne.push_back(a);
        tThree.push_back(b);
        tHelp.push_back(h);
    }
    for (const TChild& s : sims) {
        ::kill(s.Pid, SIGTERM);
        ::waitpid(s.Pid, nullptr, 0);
        ::close(s.Out);
    }
    std::error_code ec;
    std::filesystem::remove_all(dataHome, ec);
    if (!ok)
        return 1;
    const TStats s1 = Stats(tOne), s3 = Stats(tThree);
    std::printf("bench_RadarSign: %d runs of each, alternating; sign-sim on three ptys\n", runs);
    std::printf("%s\n  %-40s %8s %8s %8s %8s\n", "wall time, start to exit", "ms", "median", "p90",
                "best", "worst");
    Row("read-time, three signs at once", s3);
    Row("read-time, one sign alone", s1);
    Row("baseline: radar-sign --help", Stats(tHelp));
    const double ratio = s3.median / s1.median;
    std::printf("goals\n");
    std::printf("  three at once / one alone, medians: %.2f x (goal <= %.1f x) %s\n", ratio, Goal,
                ratio <= Goal ? "met" : "NOT MET");
    return 0;
}
