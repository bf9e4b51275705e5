#pragma once
// What the tests of radar-sign share: simulated signs (SIGN_SIM_PATH) on
// pseudo-terminals, runs of the real program (RADAR_SIGN_PATH) with a data
// folder of the test's own, and readers of its result lines and audit log.

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace radarsign_test {

// Whether this program (and radar-sign, built alike) runs under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
inline constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
inline constexpr bool kSanitized = false;
#endif

using Clock = std::chrono::steady_clock;
using rc_test::TempDir;
using std::chrono::milliseconds;
using Child = rc_test::ChildProcess;

const char* const kReadTime = "F7 8C 8D 8A 03 7F";
const char* const kSetTime = "F7 8C 8D 8A 01 26 12 07 14 35 09 66";
const char* const kDownloadDefaults = "F7 8C 8D 8A 02 08 00 12 00 14 12 00 16 00 14 14 00 74";
// The PC's clock for the program, the same as the simulated sign's.
const char* const kPcIsSign = "RADAR_SIGN_PC_CLOCK=2026-12-07 14:35:09";

// Waits until done() is true, looking every 5 ms, at most 20 s; whether it
// became true. For what gives no event to wait on: a file that another
// process writes.
template <typename F> bool WaitFor(F done) {
    const auto deadline = Clock::now() + rc_test::ChildProcess::kDeadline;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// Whether a simulated sign's clock stands still (the default: the test
// knows what it reads) or runs with this PC's.
enum class TSimClock { Stopped, PcTime };

// A simulated sign; Port() is its pty, Received() the frames it read.
class Sim {
public:
    explicit Sim(std::vector<std::string> args = {}, TSimClock clock = TSimClock::Stopped)
        : child_(SIGN_SIM_PATH, clock == TSimClock::Stopped ? WithClock(args) : args) {
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
    // Waits until the log holds `text` (the simulator writes a line as each
    // thing happens), at most 20 s; whether it came.
    bool WaitForLog(const std::string& text) const {
        return WaitFor([&] { return Log().find(text) != std::string::npos; });
    }

private:
    // The sign's clock stopped at kSignClock, unless the test sets it.
    static std::vector<std::string> WithClock(std::vector<std::string> args) {
        if (std::find(args.begin(), args.end(), "--clock-bytes") == args.end() &&
            std::find(args.begin(), args.end(), "--clock") == args.end())
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

// The per-user data folder of every run that names none.
const std::string& DataHome() {
    static const TempDir dir;
    static const std::string path = dir.Path().string();
    return path;
}

// The program, or another that starts it (a shell, setpriv) when given.
TRun RadarSign(const std::vector<std::string>& args, std::vector<std::string> env = {},
               const std::string& program = RADAR_SIGN_PATH) {
    env.push_back("XDG_DATA_HOME=" + DataHome()); // the first of a name counts
    Child child(program, args, env);
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

std::vector<std::string> Plus(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The rows of a CSV file (RFC 4180: quoted fields, CR LF), each split into
// its fields.
std::vector<std::vector<std::string>> CsvRows(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row(1);
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                row.back() += text[++i];
            else if (c == '"')
                quoted = false;
            else
                row.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            row.emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.push_back(std::exchange(row, std::vector<std::string>(1)));
            ++i;
        } else {
            row.back() += c;
        }
    }
    return rows;
}

} // namespace radarsign_test
