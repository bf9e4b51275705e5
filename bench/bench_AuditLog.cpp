// The cost of the audit line a command writes, against a baseline in the
// same run: one write() of the same bytes to a file already open for
// appending. Measured per call, in rounds that alternate:
//  - baseline: write() of the line to an O_APPEND descriptor kept open;
//  - Append(record): CurrentContext, the row, open, flock, fstat, write,
//    close (what a command pays);
//  - Append(context, record): the same with a context made once (the file
//    work alone).
// Goal: Append(record) under 1 ms per command, at its 99th percentile as
// well as its median. Also: Append from 4 threads with a log each at once
// (contention for the lock). The folder is a new one under $TMPDIR (or the
// argument), which should be on the disk the per-user data folder is on.
// Prints figures; exits 0 either way.
#include "sign/AuditLog.h"
#include "tests/sign/AuditLogRows.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace audit;

constexpr int Rounds = 10;
constexpr int PerRound = 1000;

struct TFigures {
    std::vector<double> us; // every call, microseconds
    double At(double q) {
        std::sort(us.begin(), us.end());
        return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))];
    }
    void Print(const char* what) {
        std::sort(us.begin(), us.end());
        std::printf("%-28s median %7.1f  p90 %7.1f  p99 %7.1f  max %8.1f us\n", what, At(0.5),
                    At(0.9), At(0.99), us.back());
    }
};

template <typename F> void Time(TFigures& figures, F&& call) {
    const auto start = Clock::now();
    call();
    figures.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
}

} // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = argc > 1 ? argv[1] : (tmp != nullptr ? tmp : "/tmp");
    std::string pattern = base + "/rc-bench-audit-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = pattern;
    const TAuditRecord record = rc_test::ReadTime("ttyUSB0"); // the tests' Read Time row
    const TAuditContext context = CurrentContext();
    const std::string line = AuditRow(context, record) + "\r\n";

    const std::string plain = dir + "/plain.csv";
    const int fd = ::open(plain.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    TAuditLog full(dir + "/full");
    TAuditLog fileOnly(dir + "/file-only");
    bool ok = fd >= 0 && full.Append(record) && fileOnly.Append(context, record); // folders made

    TFigures baseline;
    TFigures append;
    TFigures appendFileOnly;
    TFigures contextOnly;
    for (int round = 0; round < Rounds && ok; ++round) {
        for (int i = 0; i < PerRound; ++i)
            Time(baseline, [&] { ok = ::write(fd, line.data(), line.size()) > 0 && ok; });
        for (int i = 0; i < PerRound; ++i)
            Time(append, [&] { ok = full.Append(record) && ok; });
        for (int i = 0; i < PerRound; ++i)
            Time(appendFileOnly, [&] { ok = fileOnly.Append(context, record) && ok; });
        for (int i = 0; i < PerRound; ++i)
            Time(contextOnly, [&] { (void)CurrentContext(); });
    }

    // Four threads, a log each, on one file: each waits for the others' lock.
    constexpr int Threads = 4;
    std::vector<TFigures> contended(Threads);
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            TAuditLog own(dir + "/contended");
            for (int i = 0; i < Rounds * PerRound / Threads; ++i)
                Time(contended[static_cast<std::size_t>(t)], [&] { own.Append(record); });
        });
    for (std::thread& t : threads)
        t.join();
    TFigures allContended;
    for (TFigures& f : contended)
        allContended.us.insert(allContended.us.end(), f.us.begin(), f.us.end());

    std::printf("bench_AuditLog: %d rounds of %d calls each, a %zu-byte line, in %s\n", Rounds,
                PerRound, line.size(), dir.c_str());
    if (!ok) {
        std::printf("an append failed: %s\n", full.Error().c_str());
    } else {
        baseline.Print("baseline write()");
        append.Print("Append(record)");
        appendFileOnly.Print("Append(context, record)");
        contextOnly.Print("CurrentContext()");
        allContended.Print("Append, 4 threads at once");
        const double median = append.At(0.5);
        const double p99 = append.At(0.99);
        std::printf("Append(record) / baseline (median) %.1f; goal: under 1000 us per command: "
                    "median %s, p99 %s\n",
                    median / baseline.At(0.5), median < 1000 ? "met" : "NOT MET",
                    p99 < 1000 ? "met" : "NOT MET");
    }
    if (fd >= 0)
        ::close(fd);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
