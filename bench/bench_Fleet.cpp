// A fleet of network signs read from one machine: the real radar-sign
// (RADAR_SIGN_PATH) reading the clock of 1000 signs at once, each a raw TCP
// port on 127.0.0.1 that answers a request 0.5 s after it came
// (tests/support/TcpSignServer.h, served by this program started again as a
// child, so that the server's descriptors and threads are not the client's),
// named in a --ports-from list. Against, in the same run and alternating: one
// read-time of one network sign that answers at once, over loopback. Figure:
// the wall time from starting the program to its exit. Goal: the fleet read
// in under 3 s (medians).
// bench_Fleet [runs [signs]]: runs of each (default 5), signs (default 1000).
// bench_Fleet --serve SIGNS DELAY_MS: the server alone (what the bench runs):
// prints "port N" for each sign, then "ready", and serves until SIGTERM,
// SIGINT or SIGHUP.
// Exits 1 only when a run did not end as it should. Each command's line in
// the audit log goes to a per-user data folder of the bench's own
// (XDG_DATA_HOME), removed at the end. A stop (Ctrl+C, SIGTERM, SIGHUP)
// lets the run under way end, then ends the servers and the bench.

#include "tests/support/ChildProcess.h"
#include "tests/support/TcpSignServer.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <signal.h>

namespace {

using Clock = std::chrono::steady_clock;
using rc_test::ChildProcess;

constexpr double GoalMs = 3000;
constexpr int SignDelayMs = 500;

volatile std::sig_atomic_t gStop = 0;

extern "C" void OnStop(int signal) {
    gStop = signal;
}

// As many descriptors as the hard limit allows: the server holds two per sign.
void RaiseOpenFiles() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Serve(std::size_t signs, int delayMs) {
    sigset_t stops;
    sigemptyset(&stops);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, s);
    // Blocked before the server's threads start, so that they inherit it.
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    RaiseOpenFiles();
    rc_test::TcpSignServerOptions options;
    options.Ports = signs;
    options.Delay = std::chrono::milliseconds(delayMs);
    options.Threads = 2;
    try {
        rc_test::TcpSignServer server(options);
        std::string text;
        for (const std::uint16_t port : server.Ports())
            text += "port " + std::to_string(port) + "\n";
        text += "ready\n";
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        int signal = 0;
        ::sigwait(&stops, &signal);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_Fleet --serve: %s\n", e.what());
        return 1;
    }
    return 0;
}

// A server child and the ports it serves.
struct TServer {
    std::unique_ptr<ChildProcess> child;
    std::vector<std::string> names;
};

TServer StartServer(const std::string& self, std::size_t signs, int delayMs) {
    TServer s;
    s.child = std::make_unique<ChildProcess>(
        self, std::vector<std::string>{"--serve", std::to_string(signs), std::to_string(delayMs)});
    for (;;) {
        const std::string line = s.child->StdoutLine();
        if (line == "ready")
            break;
        if (line.rfind("port ", 0) != 0)
            throw std::runtime_error("the server said '" + line + "': " + s.child->Stderr());
        s.names.push_back("tcp://127.0.0.1:" + line.substr(5));
    }
    return s;
}

// Runs radar-sign with args to its end; answers the wall time in ms, or -1
// when it did not exit with status 0 and one line per sign.
double Time(const std::vector<std::string>& args, std::size_t lines) {
    const auto start = Clock::now();
    ChildProcess run(RADAR_SIGN_PATH, args);
    const int status = run.Wait();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const std::string& out = run.Stdout();
    const auto got = static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n'));
    if (status != 0 || got != lines) {
        if (gStop == 0) {
            // The first lines that are not "ok" say why.
            std::string bad;
            std::size_t shown = 0, from = 0;
            for (std::size_t nl; (nl = out.find('\n', from)) != std::string::npos && shown < 5;
                 from = nl + 1) {
                const std::string line = out.substr(from, nl - from);
                if (line.find("\tok ") == std::string::npos) {
                    bad += line + "\n";
                    ++shown;
                }
            }
            std::fprintf(stderr, "bench_Fleet: status %d, %zu of %zu lines:\n%s%s", status, got,
                         lines, bad.c_str(), run.Stderr().substr(0, 2000).c_str());
        }
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

void Row(const std::string& name, const TStats& s) {
    std::printf("  %-50s %8.1f %8.1f %8.1f %8.1f\n", name.c_str(), s.median, s.p90, s.best,
                s.worst);
}

bool Measure(const std::string& self, const std::string& folder, int runs, std::size_t signs) {
    const TServer fleet = StartServer(self, signs, SignDelayMs);
    const TServer quick = StartServer(self, 1, 0);
    const std::string list = folder + "/fleet.txt";
    {
        std::ofstream out(list);
        out << "# " << signs << " signs, each answering after " << SignDelayMs << " ms\n";
        for (const std::string& name : fleet.names)
            out << name << "\n";
    }
    const std::vector<std::string> all = {"read-time", "--ports-from", list};
    const std::vector<std::string> one = {"read-time", quick.names.at(0)};
    std::vector<double> tAll, tOne;
    for (int i = 0; i < runs; ++i) {
        if (gStop != 0)
            return false;
        const double a = Time(all, signs);
        const double b = Time(one, 1);
        if (a < 0 || b < 0)
            return false;
        tAll.push_back(a);
        tOne.push_back(b);
    }
    fleet.child->Stop(SIGTERM);
    quick.child->Stop(SIGTERM);
    const TStats sAll = Stats(tAll), sOne = Stats(tOne);
    std::printf("bench_Fleet: %d runs of each, alternating; signs served on 127.0.0.1 by a child\n",
                runs);
    std::printf("%s\n  %-50s %8s %8s %8s %8s\n", "wall time, start to exit", "ms", "median", "p90",
                "best", "worst");
    Row("read-time, " + std::to_string(signs) + " signs answering after " +
            std::to_string(SignDelayMs) + " ms",
        sAll);
    Row("baseline: read-time, one sign answering at once", sOne);
    std::printf("goals\n");
    std::printf("  %zu signs read, median: %.0f ms (goal < %.0f ms) %s\n", signs, sAll.median,
                GoalMs, sAll.median < GoalMs ? "met" : "NOT MET");
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--serve")
        return Serve(static_cast<std::size_t>(std::max(1, std::atoi(argv[2]))),
                     std::max(0, std::atoi(argv[3])));
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::size_t signs =
        argc > 2 ? static_cast<std::size_t>(std::max(1, std::atoi(argv[2]))) : 1000;
    char folder[] = "/tmp/rc-bench-fleet-XXXXXX";
    if (::mkdtemp(folder) == nullptr || ::setenv("XDG_DATA_HOME", folder, 1) != 0)
        return 1;
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &stop, nullptr);
    bool ok = false;
    try {
        ok = Measure(std::filesystem::canonical("/proc/self/exe").string(), folder, runs, signs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_Fleet: %s\n", e.what());
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    if (gStop != 0) {
        ::signal(gStop, SIG_DFL);
        ::raise(gStop);
    }
    return ok ? 0 : 1;
}
