// Receiving with the port component on a pseudo-terminal pair, against two
// baselines measured in the same run on the same kind of pair:
//  (a) a raw poll()+read() loop on its own thread;
//  (b) Qt's QSerialPort on the GUI thread (readyRead, readAll).
// The component runs as the configurator runs it: smThreadSync, OnRxChar on
// the GUI thread (Qt binding of the runtime), ReadString of the count.
//  - latency: one byte written at the far end until the handler has it;
//  - throughput: a 16 MiB stream from the far end read by the handler;
//  - idle: process CPU time while an open port receives nothing.
// With the stream it also prints what each receiver costs the process per
// MiB (CPU time, context switches) and the bytes per handler call: figures
// that tell where a difference comes from, and that vary less with the
// machine's load than the rates do.
// Goals: latency median <= 2x raw and <= QSerialPort; throughput >= 70 % of
// raw and >= QSerialPort; idle < 0.5 % of a core. Prints figures and ratios;
// exits 0 either way (1 only when a run could not complete).

#include "serial/CPort.h"

#include "host/MessageLoop.h"
#include "host/qt/Application.h"
#include "host/qt/QtMainLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 400;
constexpr std::size_t kStreamBytes = 16u << 20;
constexpr auto kDeadline = std::chrono::seconds(60);

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// The process's CPU time (all threads, the far end's writer too) and its
// context switches, voluntary and forced: what a receiver costs besides time.
struct Usage {
    double cpuSeconds = 0;
    double switches = 0;
    static Usage Now() {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        Usage r;
        r.cpuSeconds = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
        r.switches = static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
        return r;
    }
};

// A pty pair; the slave is kept open here so that the far end never sees a
// hang-up between runs.
struct Pty {
    Pty() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        keepSlave = slave;
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        path = name;
    }
    ~Pty() {
        ::close(master);
        ::close(keepSlave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void WriteAll(const char* p, std::size_t n) const {
        while (n > 0) {
            const ssize_t w = ::write(master, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
                return;
            }
        }
    }

    int master = -1;
    int keepSlave = -1;
    std::string path;
};

// What a receiver reports to the far end: bytes seen so far, and when.
class Progress {
public:
    void Add(std::size_t n) {
        {
            std::lock_guard lock(mutex_);
            total_ += n;
            ++calls_;
            last_ = Clock::now();
        }
        changed_.notify_all();
    }
    // Waits until at least n bytes have been seen; the time of the byte that
    // made it so, or nothing at the deadline.
    bool WaitFor(std::size_t n, Clock::time_point& at) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kDeadline, [&] { return total_ >= n; }))
            return false;
        at = last_;
        return true;
    }
    std::size_t Total() {
        std::lock_guard lock(mutex_);
        return total_;
    }
    std::size_t Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t total_ = 0;
    std::size_t calls_ = 0;
    Clock::time_point last_;
};

struct Result {
    std::vector<double> latencies;
    double medianUs = 0;
    double p90Us = 0;
    double mbPerS = 0;
    double bytesPerCall = 0; // of the stream, per handler call (reader wake-up)
    double cpuMsPerMiB = 0;  // process CPU time per MiB of the stream
    double switchesPerMiB = 0;
    bool ok = true;
};

// The far end's script, on its own thread: kRounds single bytes, each after
// the previous one has arrived; then the stream. Fills r.
void FarEnd(const Pty& pty, Progress& progress, Result& r) {
    std::vector<double> lat;
    std::size_t expected = 0;
    for (int i = 0; i < kRounds; ++i) {
        const char b = static_cast<char>(i);
        const auto t0 = Clock::now();
        pty.WriteAll(&b, 1);
        ++expected;
        Clock::time_point t1;
        if (!progress.WaitFor(expected, t1)) {
            r.ok = false;
            return;
        }
        lat.push_back(Micros(t1 - t0));
    }
    r.latencies = lat;

    std::vector<char> chunk(65536);
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 7);
    const std::size_t callsBefore = progress.Calls();
    const Usage usage0 = Usage::Now();
    const auto start = Clock::now();
    for (std::size_t sent = 0; sent < kStreamBytes; sent += chunk.size())
        pty.WriteAll(chunk.data(), chunk.size());
    expected += kStreamBytes;
    Clock::time_point end;
    if (!progress.WaitFor(expected, end)) {
        r.ok = false;
        return;
    }
    r.mbPerS = static_cast<double>(kStreamBytes) / 1e6 /
               std::chrono::duration<double>(end - start).count();
    const Usage usage1 = Usage::Now();
    const double mib = static_cast<double>(kStreamBytes >> 20);
    r.cpuMsPerMiB = (usage1.cpuSeconds - usage0.cpuSeconds) * 1e3 / mib;
    r.switchesPerMiB = (usage1.switches - usage0.switches) / mib;
    r.bytesPerCall = static_cast<double>(kStreamBytes) /
                     static_cast<double>(std::max<std::size_t>(1, progress.Calls() - callsBefore));
}

// Runs the far end on a thread while the GUI thread runs its event loop.
Result RunWithEventLoop(const Pty& pty, Progress& progress) {
    Result r;
    QEventLoop loop;
    std::thread far([&] {
        FarEnd(pty, progress, r);
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    far.join();
    return r;
}

Result Failed() {
    Result r;
    r.ok = false;
    return r;
}

Result RunRaw(const Pty& pty) {
    const int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    Progress progress;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<char> buf(65536);
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n > 0)
                progress.Add(static_cast<std::size_t>(n));
        }
    });
    Result r;
    FarEnd(pty, progress, r);
    stop = true;
    reader.join();
    ::close(fd);
    return r;
}

Result RunQSerialPort(const Pty& pty) {
    QSerialPort port(QString::fromStdString(pty.path));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("QSerialPort: open failed\n");
        return Failed();
    }
    port.setBaudRate(9600);
    Progress progress;
    QObject::connect(&port, &QSerialPort::readyRead, [&] {
        const QByteArray bytes = port.readAll();
        progress.Add(static_cast<std::size_t>(bytes.size()));
    });
    return RunWithEventLoop(pty, progress);
}

void ConfigurePort(cport::TComPort& port, const Pty& pty) {
    port.SetPort(pty.path);
    // A driver queue large enough for the stream, and input flow control so
    // that a burst holds the far end back instead of overflowing the queue.
    port.Buffer().SetInputSize(1 << 20);
    port.FlowControl().SetControlRTS(cport::rtsHandshake);
}

Result RunPort(const Pty& pty) {
    cport::TComPort port(nullptr);
    ConfigurePort(port, pty);
    Progress progress;
    port.OnRxChar = [&](cport::TCustomComPort* sender, std::int32_t count) {
        std::string bytes;
        sender->ReadString(count, bytes);
        progress.Add(bytes.size());
    };
    if (!port.OpenWithSettings("9600,N,8,1")) {
        std::printf("TComPort: open failed\n");
        return Failed();
    }
    Result r = RunWithEventLoop(pty, progress);
    port.Close();
    return r;
}

// Share of one core the process uses while it runs its event loop for the
// given time with an open, silent port (or none).
double IdleShare(const Pty* pty, int milliseconds) {
    cport::TComPort port(nullptr);
    if (pty != nullptr) {
        ConfigurePort(port, *pty);
        port.OnRxChar = [](cport::TCustomComPort*, std::int32_t) {};
        port.OpenWithSettings("9600,N,8,1");
    }
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    const double cpu0 = Usage::Now().cpuSeconds;
    const auto t0 = Clock::now();
    loop.exec();
    const double cpu = Usage::Now().cpuSeconds - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return cpu / wall;
}

// The hand-over that puts the component's OnRxChar on the GUI thread, alone:
// a worker thread calls host::Synchronize kRounds times, one after the other,
// while the GUI thread runs its event loop. One way: from the call until the
// call runs on the GUI thread; round trip: until Synchronize has returned.
// This is the hop that the component's path has and QSerialPort's has not.
struct HandOver {
    double oneWayUs = 0;
    double roundTripUs = 0;
};

HandOver MeasureHandOver() {
    std::vector<double> oneWay;
    std::vector<double> roundTrip;
    QEventLoop loop;
    std::thread worker([&] {
        for (int i = 0; i < kRounds; ++i) {
            Clock::time_point ran;
            const auto t0 = Clock::now();
            host::Synchronize([&ran] { ran = Clock::now(); });
            const auto t1 = Clock::now();
            oneWay.push_back(Micros(ran - t0));
            roundTrip.push_back(Micros(t1 - t0));
        }
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    std::sort(oneWay.begin(), oneWay.end());
    std::sort(roundTrip.begin(), roundTrip.end());
    return {oneWay[oneWay.size() / 2], roundTrip[roundTrip.size() / 2]};
}

void PrintRow(const char* name, const Result& r) {
    std::printf("%-12s latency median %8.1f us  p90 %8.1f us   throughput %8.1f MB/s%s\n", name,
                r.medianUs, r.p90Us, r.mbPerS, r.ok ? "" : "   (DID NOT COMPLETE)");
    std::printf("%-12s   stream: %6.0f B per handler call, per MiB %6.1f ms CPU and %6.0f "
                "context switches (process)\n",
                "", r.bytesPerCall, r.cpuMsPerMiB, r.switchesPerMiB);
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

// Receivers run in turns (raw, QSerialPort, TComPort, then again) so that a
// load change on the machine hits all three alike; latency samples of all
// turns are pooled, throughput is the median of the turns.
struct Pooled {
    std::vector<double> latencies;
    std::vector<double> rates;
    std::vector<double> batches;
    std::vector<double> cpu;
    std::vector<double> switches;
    bool ok = true;
    void Add(const Result& r) {
        latencies.insert(latencies.end(), r.latencies.begin(), r.latencies.end());
        rates.push_back(r.mbPerS);
        batches.push_back(r.bytesPerCall);
        cpu.push_back(r.cpuMsPerMiB);
        switches.push_back(r.switchesPerMiB);
        ok = ok && r.ok;
    }
    static double Median(std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    Result Summary() {
        Result r;
        r.ok = ok && !latencies.empty();
        if (!r.ok)
            return r;
        std::sort(latencies.begin(), latencies.end());
        r.medianUs = latencies[latencies.size() / 2];
        r.p90Us = latencies[latencies.size() * 9 / 10];
        r.mbPerS = Median(rates);
        r.bytesPerCall = Median(batches);
        r.cpuMsPerMiB = Median(cpu);
        r.switchesPerMiB = Median(switches);
        return r;
    }
};

} // namespace

int main(int argc, char** argv) {
    // bench_PortRx [turns] [raw|qsp|port]: the last runs one receiver alone (for profiling).
    const int turns = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::string only = argc > 2 ? argv[2] : "";
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    host::qt::TApplication app(qtArgc, argv);
    host::qt::TQtMainLoop loop;

    Pooled raw;
    Pooled qsp;
    Pooled ours;
    for (int turn = 0; turn < turns; ++turn) {
        if (only.empty() || only == "raw") {
            Pty pty;
            raw.Add(RunRaw(pty));
        }
        if (only.empty() || only == "qsp") {
            Pty pty;
            qsp.Add(RunQSerialPort(pty));
        }
        if (only.empty() || only == "port") {
            Pty pty;
            ours.Add(RunPort(pty));
        }
    }
    double idleOurs = 0;
    double idleNone = 0;
    HandOver handOver;
    if (only.empty()) {
        handOver = MeasureHandOver();
        Pty pty;
        idleNone = IdleShare(nullptr, 3000);
        idleOurs = IdleShare(&pty, 3000);
    }

    std::printf("bench_PortRx: %d turns of %d single bytes and %zu MiB per receiver; pty pairs\n",
                turns, kRounds, kStreamBytes >> 20);
    const Result rawR = raw.Summary();
    const Result qspR = qsp.Summary();
    const Result oursR = ours.Summary();
    PrintRow("raw poll+read", rawR);
    PrintRow("QSerialPort", qspR);
    PrintRow("TComPort", oursR);
    if (!only.empty())
        return 0;
    const double latRaw = oursR.medianUs / rawR.medianUs;
    const double latQsp = oursR.medianUs / qspR.medianUs;
    const double tpRaw = oursR.mbPerS / rawR.mbPerS;
    const double tpQsp = oursR.mbPerS / qspR.mbPerS;
    std::printf("latency    TComPort/raw  %.2f (goal <= 2.00) %s\n", latRaw,
                Verdict(latRaw <= 2.0));
    std::printf("latency    TComPort/QSP  %.2f (goal <= 1.00) %s\n", latQsp,
                Verdict(latQsp <= 1.0));
    std::printf("throughput TComPort/raw  %.2f (goal >= 0.70) %s\n", tpRaw, Verdict(tpRaw >= 0.7));
    std::printf("throughput TComPort/QSP  %.2f (goal >= 1.00) %s\n", tpQsp, Verdict(tpQsp >= 1.0));
    std::printf("hand-over  Synchronize to the GUI thread alone: one way median %.1f us, "
                "round trip median %.1f us\n",
                handOver.oneWayUs, handOver.roundTripUs);
    std::printf("idle CPU   open silent port %.3f %% of a core (event loop alone %.3f %%) "
                "(goal < 0.5 %%) %s\n",
                idleOurs * 100, idleNone * 100, Verdict(idleOurs < 0.005));
    return rawR.ok && qspR.ok && oursR.ok ? 0 : 1;
}
