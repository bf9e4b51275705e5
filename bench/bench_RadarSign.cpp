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
// Exits 1 only when a run did not end as it should. A stop (Ctrl+C, SIGTERM,
// SIGHUP) lets the run under way end, then ends the simulators, removes what
// the bench made and ends the bench by that signal.

#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <signal.h>

namespace {

using Clock = std::chrono::steady_clock;
using rc_test::ChildProcess;

constexpr double Goal = 1.2;

constexpr std::size_t AnyLines = static_cast<std::size_t>(-1);

// The stop signal received; 0: none.
volatile std::sig_atomic_t gStop = 0;

extern "C" void OnStop(int signal) {
    gStop = signal;
}

// Runs radar-sign with args to its end; answers the wall time in ms, or -1
// when it did not exit with status 0 and `lines` lines of output.
double Time(const std::vector<std::string>& args, std::size_t lines) {
    const auto start = Clock::now();
    ChildProcess run(RADAR_SIGN_PATH, args);
    const int status = run.Wait();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const std::string& out = run.Stdout();
    const auto got = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    if (status != 0 || (lines != AnyLines && got != lines)) {
        if (gStop == 0) // a run that a stop reached too says nothing of the program
            std::fprintf(stderr, "bench_RadarSign: %s ended badly:\n%s%s", args[0].c_str(),
                         out.c_str(), run.Stderr().c_str());
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

// The figures; false when a run did not end as it should.
bool Measure(int runs) {
    std::vector<std::unique_ptr<ChildProcess>> sims;
    std::vector<std::string> ports;
    for (int i = 0; i < 3; ++i) {
        sims.push_back(std::make_unique<ChildProcess>(SIGN_SIM_PATH, std::vector<std::string>{}));
        const std::string line = sims.back()->StdoutLine();
        const std::string prefix = "sign-sim: listening on ";
        if (line.rfind(prefix, 0) != 0) {
            std::fprintf(stderr, "bench_RadarSign: sign-sim said '%s'\n", line.c_str());
            return false;
        }
        ports.push_back(line.substr(prefix.size()));
    }
    const std::vector<std::string> one = {"read-time", ports[0]};
    const std::vector<std::string> three = {"read-time", ports[0], ports[1], ports[2]};
    const std::vector<std::string> help = {"--help"};
    std::vector<double> tOne, tThree, tHelp;
    for (int i = 0; i < runs; ++i) {
        if (gStop != 0)
            return false;
        const double a = Time(one, 1);
        const double b = Time(three, 3);
        const double h = Time(help, AnyLines);
        if (a < 0 || b < 0 || h < 0)
            return false;
        tOne.push_back(a);
        tThree.push_back(b);
        tHelp.push_back(h);
    }
    for (const auto& sim : sims)
        sim->Stop(SIGTERM);
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
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    char dataHome[] = "/tmp/rc-bench-radar-sign-XXXXXX";
    if (::mkdtemp(dataHome) == nullptr || ::setenv("XDG_DATA_HOME", dataHome, 1) != 0)
        return 1;
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &stop, nullptr);
    bool ok = false;
    try {
        ok = Measure(runs);
    } catch (const std::exception& e) { // a program that did not end, or did not start
        std::fprintf(stderr, "bench_RadarSign: %s\n", e.what());
    }
    std::error_code ec;
    std::filesystem::remove_all(dataHome, ec);
    if (gStop != 0) {
        ::signal(gStop, SIG_DFL);
        ::raise(gStop);
    }
    return ok ? 0 : 1;
}
