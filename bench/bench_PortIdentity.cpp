// The ports' identity and the port watcher on USB serial adapters mocked by
// umockdev (tests/support/MockAdapter.h: the program restarts itself under
// umockdev-wrapper). Google Benchmark; two figures, each against a baseline
// measured in the same run:
//  1. The identity of 8 ports (PortIdentities, one call), alone and after a
//     scan of them (sign::ScanPorts over a folder of links to 8 mocked FTDI
//     adapters). Baseline: the scan of the same 8 alone. Goal: the identity
//     adds under 20 ms for the 8 (both the identity alone and the difference
//     of the two scans, whose wall time varies more, must stay under).
//  2. From a tty's uevent (umockdev_testbed_uevent, "remove" and "add" in
//     turn) to TPortWatcher::Changed() in the Qt event loop. Baseline: the
//     same uevent to a bare udev monitor, poll() and receive. Goal: under
//     200 ms.
//  3. From pulling out or plugging in one of the 8 adapters to the window's
//     port list holding 7 or 8 ports again (the watcher, the scan and the
//     identities of the list). Baseline: "Refresh" on the same 8, the same
//     scan without the uevent. Goal: under 200 ms.
// Figures are medians over repetitions (--benchmark_repetitions, default 9
// here); the last lines say whether the goals are met. Only the mocked nodes
// (pseudo-terminals that umockdev made) are opened.

#include "configurator/PortWatcher.h"
#include "configurator/Unit1.h"
#include "sign/PortIdentity.h"
#include "sign/PortList.h"
#include "sign/SignTransaction.h"

#include "serial/CPort.h"
#include "tests/support/MockAdapter.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <libudev.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPorts = 8;

// The test bed with 8 plugged adapters and a folder of links to them, made
// once for the whole run (before any watcher: its socket must be the test
// bed's).
struct TBench {
    rc_test::TMockTestbed Testbed;
    std::vector<std::unique_ptr<rc_test::TMockAdapter>> Adapters;
    std::vector<std::string> Candidates;

    TBench() {
        std::vector<std::string> nodes;
        for (int n = 0; n < kPorts; ++n) {
            Adapters.push_back(std::make_unique<rc_test::TMockAdapter>(Testbed, n));
            Adapters.back()->Plug();
            nodes.push_back(Adapters.back()->TtyName());
        }
        Candidates = sign::PortCandidates(Testbed.LinkFolder("scan", nodes));
    }
};

TBench& Bench() {
    static TBench bench;
    return bench;
}

std::vector<std::string> Scan() {
    cport::TComPort port(nullptr);
    return sign::ScanPorts(port, Bench().Candidates);
}

void BM_Scan8(benchmark::State& state) {
    for (auto _ : state) {
        const std::vector<std::string> found = Scan();
        if (found.size() != kPorts) {
            state.SkipWithError("the scan did not find the 8 mocked ports");
            break;
        }
        benchmark::DoNotOptimize(found.data());
    }
}

void BM_Scan8ThenIdentity(benchmark::State& state) {
    for (auto _ : state) {
        const std::vector<sign::TPortIdentity> identities = sign::PortIdentities(Scan());
        if (identities.size() != kPorts ||
            !std::all_of(identities.begin(), identities.end(),
                         [](const sign::TPortIdentity& i) { return i.VidPid() == "0403:6001"; })) {
            state.SkipWithError("the identities of the 8 mocked ports were not found");
            break;
        }
        benchmark::DoNotOptimize(identities.data());
    }
}

void BM_Identity8(benchmark::State& state) {
    const std::vector<std::string>& names = Bench().Candidates;
    for (auto _ : state) {
        const std::vector<sign::TPortIdentity> identities = sign::PortIdentities(names);
        if (identities.size() != kPorts || identities.back().VidPid() != "0403:6001") {
            state.SkipWithError("the identities of the 8 mocked ports were not found");
            break;
        }
        benchmark::DoNotOptimize(identities.data());
    }
}

const char* Action(std::int64_t iteration) {
    return iteration % 2 == 0 ? "remove" : "add";
}

void BM_UeventToBareMonitor(benchmark::State& state) {
    TBench& bench = Bench();
    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr);
    udev_monitor_enable_receiving(monitor);
    const rc_test::TMockAdapter& adapter = *bench.Adapters.front();
    std::int64_t iteration = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        adapter.TtyUevent(Action(iteration++));
        pollfd fd{udev_monitor_get_fd(monitor), POLLIN, 0};
        udev_device* device =
            ::poll(&fd, 1, 5000) == 1 ? udev_monitor_receive_device(monitor) : nullptr;
        const auto end = Clock::now();
        if (device == nullptr) {
            state.SkipWithError("no uevent within 5 s");
            break;
        }
        udev_device_unref(device);
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    udev_monitor_unref(monitor);
    udev_unref(context);
}

void BM_UeventToWatcherChanged(benchmark::State& state) {
    TBench& bench = Bench();
    TPortWatcher watcher;
    if (!watcher.Active()) {
        state.SkipWithError("the watcher is not active");
        return;
    }
    QEventLoop loop;
    Clock::time_point changedAt;
    QObject::connect(&watcher, &TPortWatcher::Changed, &loop, [&] {
        changedAt = Clock::now();
        loop.quit();
    });
    const rc_test::TMockAdapter& adapter = *bench.Adapters.front();
    std::int64_t iteration = 0;
    for (auto _ : state) {
        changedAt = {};
        const auto start = Clock::now();
        adapter.TtyUevent(Action(iteration++));
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        loop.exec();
        if (changedAt == Clock::time_point{}) {
            state.SkipWithError("no Changed() within 5 s");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(changedAt - start).count());
    }
}

// The window on the 8 ports' folder, its entries in a folder of its own.
class TBenchForm {
public:
    TBenchForm() {
        char pattern[] = "/tmp/rc-bench-form.XXXXXX";
        FDir = ::mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        TForm1Options options;
        options.SettingsPath = QString::fromStdString(FDir + "/LEDINFO.BIN");
        options.PortDirectory = std::filesystem::path(Bench().Candidates.front()).parent_path();
        options.AuditFolder = std::string();
        FForm = std::make_unique<TForm1>(options);
    }
    ~TBenchForm() {
        FForm.reset();
        std::filesystem::remove_all(FDir);
    }
    TForm1& Form() { return *FForm; }

private:
    std::string FDir;
    std::unique_ptr<TForm1> FForm;
};

void BM_RefreshWindowList(benchmark::State& state) {
    TBenchForm bench;
    QComboBox* box = bench.Form().ComboBox3;
    for (auto _ : state) {
        bench.Form().Button8Click();
        if (box->count() != kPorts) {
            state.SkipWithError("Refresh did not list the 8 mocked ports");
            break;
        }
    }
}

void BM_PlugToWindowList(benchmark::State& state) {
    TBenchForm bench;
    QComboBox* box = bench.Form().ComboBox3;
    rc_test::TMockAdapter& adapter = *Bench().Adapters.back();
    for (auto _ : state) {
        const int expected = adapter.Plugged() ? kPorts - 1 : kPorts;
        const auto start = Clock::now();
        if (adapter.Plugged())
            adapter.Unplug();
        else
            adapter.Plug();
        const auto deadline = start + std::chrono::seconds(5);
        while (box->count() != expected && Clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        const auto end = Clock::now();
        if (box->count() != expected) {
            state.SkipWithError("the window's list did not follow within 5 s");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    if (!adapter.Plugged())
        adapter.Plug();
}

BENCHMARK(BM_Scan8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan8ThenIdentity)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Identity8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UeventToBareMonitor)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UeventToWatcherChanged)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RefreshWindowList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlugToWindowList)->UseManualTime()->Unit(benchmark::kMillisecond);

// Keeps the medians of the repetitions, by benchmark name, besides printing.
class TMedians : public benchmark::ConsoleReporter {
public:
    TMedians() : ConsoleReporter(OO_None) {} // plain text, for logs
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                FMedians[run.run_name.function_name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
    }
    double Seconds(const std::string& name) const {
        const auto it = FMedians.find(name);
        return it == FMedians.end() ? -1 : it->second;
    }

private:
    std::map<std::string, double> FMedians;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=9";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions.data(), aggregates.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    TMedians medians;
    benchmark::RunSpecifiedBenchmarks(&medians);

    const double scan = medians.Seconds("BM_Scan8");
    const double both = medians.Seconds("BM_Scan8ThenIdentity");
    const double alone = medians.Seconds("BM_Identity8");
    const double bare = medians.Seconds("BM_UeventToBareMonitor");
    const double watcher = medians.Seconds("BM_UeventToWatcherChanged");
    if (scan >= 0 && both >= 0 && alone >= 0) {
        std::printf("identity of 8 ports: %.2f ms alone; the scan %.2f ms, the scan then the "
                    "identity %.2f ms (adds %.2f ms); goal < 20 ms: %s\n",
                    alone * 1e3, scan * 1e3, both * 1e3, (both - scan) * 1e3,
                    std::max(alone, both - scan) < 20e-3 ? "met" : "NOT met");
    }
    if (bare >= 0 && watcher >= 0) {
        std::printf("uevent to Changed(): %.3f ms, to a bare monitor %.3f ms (goal < 200 ms): %s\n",
                    watcher * 1e3, bare * 1e3, watcher * 1e3 < 200 ? "met" : "NOT met");
    }
    const double refresh = medians.Seconds("BM_RefreshWindowList");
    const double plug = medians.Seconds("BM_PlugToWindowList");
    if (refresh >= 0 && plug >= 0) {
        std::printf("plug or pull to the window's updated list: %.2f ms, Refresh %.2f ms "
                    "(goal < 200 ms): %s\n",
                    plug * 1e3, refresh * 1e3, plug * 1e3 < 200 ? "met" : "NOT met");
    }
    benchmark::Shutdown();
    return 0;
}
