// The configurator's window talking to a sign on a pseudo-terminal pair: the
// real TForm1 on the offscreen platform, a sign played by a thread on the
// pty master. Three figures, each against a baseline measured in the same run:
//  1. Read Time against a sign that answers at once: from Button3's click to
//     the acknowledgement (the moment the reply handler has set the link's
//     AckReceived) and to the result shown (after the port's Close).
//     Baselines: the 10 ms pause after opening (the floor), the port's
//     OpenWithSettings + Close alone on the same pty, and the raw round trip
//     (request written on the slave, the sign answers, poll()+read() the
//     reply). Goal: click to acknowledgement median <= floor + 2 ms.
//  2. CPU of the process during a Read Time the sign never answers (three
//     writes, three one-second waits), as % of one core. Baseline: the same
//     transaction with a busy wait (ProcessMessages and a clock check, never
//     blocking). Goal: < 5 %.
//  3. The port scan (TForm1::ScanPorts and sign::ScanPorts) over a folder
//     with four symlinks ttyUSB0..3 to ptys made here. Baselines: the listing
//     of that folder, the listing of /dev (comm::posix::ListSerialPorts opens
//     nothing) and one PortExists on one pty. Goal: < 50 ms.
// Only pseudo-terminals made here are opened; no device under /dev is.
// bench_SignCommands [runs]: runs of figures 1 and 3 (default 200).
// Prints the figures and whether each goal is met; exits 1 only when a run
// did not end as it should (a wrong result, a pty that could not be made).

#include "configurator/Unit1.h"
#include "sign/PortList.h"
#include "sign/SignTransaction.h"

#include "host/MessageLoop.h"
#include "host/qt/Application.h"
#include "serial/CPort.h"
#include "serial/driver/PosixPorts.h"

#include <QComboBox>
#include <QPushButton>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr double kFloorMs = 10.0; // the pause between opening and the first write
constexpr double kReadGoalMs = kFloorMs + 2.0;
constexpr double kCpuGoal = 0.05;
constexpr double kScanGoalMs = 50.0;
constexpr int kScanPtys = 4;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double ProcessCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

const char* Verdict(bool met) {
    return met ? "met" : "NOT MET";
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "bench_SignCommands: %s\n", what);
    std::exit(1);
}

// Median, p90 and best of a series of milliseconds.
struct Stats {
    double median = 0;
    double p90 = 0;
    double best = 0;
    double worst = 0;
};

Stats Summarise(std::vector<double> v) {
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p90 = v[std::min(v.size() - 1, (v.size() * 9 + 9) / 10 - 1)];
    s.best = v.front();
    s.worst = v.back();
    return s;
}

// A pty pair; the slave stays open here so that the master never sees a
// hang-up while the port is closed between commands.
class Pty {
public:
    Pty() {
        char name[256] = {};
        if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
            Fail("openpty failed");
        termios t{};
        ::tcgetattr(FMaster, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(FMaster, TCSANOW, &t);
        ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        ::fcntl(FMaster, F_SETFD, FD_CLOEXEC);
        ::fcntl(FSlave, F_SETFD, FD_CLOEXEC);
        FPath = name;
    }
    ~Pty() {
        ::close(FMaster);
        ::close(FSlave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }
    const std::string& Path() const { return FPath; }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FPath;
};

// The sign on the master: reassembles requests (6, 12 or 18 bytes by their
// code) and, while answering, writes the reply at once. Blocks in poll()
// between bytes; a pipe ends it.
class SignPeer {
public:
    explicit SignPeer(const Pty& pty) : FPty(pty) {
        if (::pipe(FStop) != 0)
            Fail("pipe failed");
        FThread = std::thread([this] { Run(); });
    }
    ~SignPeer() {
        const char c = 0;
        if (::write(FStop[1], &c, 1) != 1)
            std::perror("write");
        FThread.join();
        ::close(FStop[0]);
        ::close(FStop[1]);
    }
    SignPeer(const SignPeer&) = delete;
    SignPeer& operator=(const SignPeer&) = delete;

    void SetAnswering(bool on) { FAnswering = on; }
    int Requests() const { return FRequests; }
    // When the last request was whole at the far end.
    Clock::time_point LastRequestAt() const {
        std::lock_guard lock(FMutex);
        return FRequestAt;
    }

private:
    static std::size_t FrameSize(unsigned char code) {
        return code == sign::CmdSetTime ? 12 : code == sign::CmdDownload ? 18 : 6;
    }
    void Run() {
        std::string buffer;
        for (;;) {
            pollfd fds[2] = {{FPty.Master(), POLLIN, 0}, {FStop[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0)
                continue;
            if (fds[1].revents != 0)
                return;
            if ((fds[0].revents & POLLIN) == 0) {
                // A hang-up without data: the slave is kept open, so this
                // should not happen; do not spin if it does.
                std::this_thread::sleep_for(milliseconds(1));
                continue;
            }
            char bytes[256];
            const ssize_t n = ::read(FPty.Master(), bytes, sizeof bytes);
            if (n <= 0)
                continue;
            buffer.append(bytes, static_cast<std::size_t>(n));
            while (buffer.size() >= 5 &&
                   buffer.size() >= FrameSize(static_cast<unsigned char>(buffer[4]))) {
                const auto code = static_cast<unsigned char>(buffer[4]);
                buffer.erase(0, FrameSize(code));
                {
                    std::lock_guard lock(FMutex);
                    FRequestAt = Clock::now();
                }
                ++FRequests;
                if (FAnswering) {
                    const std::string reply = sign::BuildReply(code, FClock);
                    if (::write(FPty.Master(), reply.data(), reply.size()) !=
                        static_cast<ssize_t>(reply.size()))
                        std::perror("peer write");
                }
            }
        }
    }

    const Pty& FPty;
    const sign::TSignClock FClock{2026, 12, 7, 14, 35, 9};
    int FStop[2] = {-1, -1};
    std::atomic<bool> FAnswering{true};
    std::atomic<int> FRequests{0};
    mutable std::mutex FMutex;
    Clock::time_point FRequestAt;
    std::thread FThread;
};

// The raw round trip on the slave: the Read Time request written, the
// 12-byte clock reply read back with poll()+read().
double RawRoundTripMs(const Pty& pty) {
    const std::string request = sign::BuildFrame(sign::CmdReadTime, {});
    const auto start = Clock::now();
    if (::write(pty.Slave(), request.data(), request.size()) !=
        static_cast<ssize_t>(request.size()))
        Fail("raw write failed");
    std::size_t got = 0;
    while (got < sign::ClockReplySize) {
        pollfd fd{pty.Slave(), POLLIN, 0};
        if (::poll(&fd, 1, 5000) <= 0)
            Fail("raw round trip: no reply");
        char bytes[64];
        const ssize_t n = ::read(pty.Slave(), bytes, sizeof bytes);
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    return Ms(Clock::now() - start);
}

struct ReadTimeFigures {
    Stats clickToAck, clickToResult, clickToRequest, requestToAck, ackToResult;
    Stats open, close, openClose, roundTrip, pause;
};

// Figure 1: Read Time against the answering sign, the open/close of the
// port and the raw round trip, taking turns run by run.
ReadTimeFigures MeasureReadTime(TForm1& form, const Pty& pty, SignPeer& peer,
                                const std::string& portPath, int runs,
                                std::vector<QString>& results,
                                std::optional<Clock::time_point>& resultAt) {
    std::optional<Clock::time_point> ackAt;
    const cport::TRxCharEvent handler = form.mycomm1->OnRxChar;
    form.mycomm1->OnRxChar = [&form, &ackAt, handler](cport::TCustomComPort* sender,
                                                      std::int32_t count) {
        const bool before = form.SignLink().AckReceived();
        handler(sender, count);
        if (!before && form.SignLink().AckReceived() && !ackAt)
            ackAt = Clock::now();
    };
    peer.SetAnswering(true);
    std::vector<double> clickToAck, clickToResult, clickToRequest, requestToAck, ackToResult;
    std::vector<double> open, close, openClose, roundTrip, pause;
    for (int i = 0; i < runs; ++i) {
        // The command, as the operator runs it.
        results.clear();
        ackAt.reset();
        resultAt.reset();
        const auto start = Clock::now();
        form.Button3->click();
        if (results.size() != 1 || results[0] != QStringLiteral("send sucess") || !ackAt ||
            !resultAt)
            Fail("Read Time against the answering sign did not succeed");
        const auto requestAt = peer.LastRequestAt();
        clickToAck.push_back(Ms(*ackAt - start));
        clickToResult.push_back(Ms(*resultAt - start));
        clickToRequest.push_back(Ms(requestAt - start));
        requestToAck.push_back(Ms(*ackAt - requestAt));
        ackToResult.push_back(Ms(*resultAt - *ackAt));
        host::ProcessMessages();

        // The same port object opened and closed alone.
        form.mycomm1->SetPort(portPath);
        const auto t0 = Clock::now();
        form.mycomm1->OpenWithSettings(sign::LineSettings);
        const auto t1 = Clock::now();
        if (!form.mycomm1->Connected())
            Fail("the port did not open");
        form.mycomm1->Close();
        const auto t2 = Clock::now();
        open.push_back(Ms(t1 - t0));
        close.push_back(Ms(t2 - t1));
        openClose.push_back(Ms(t2 - t0));
        host::ProcessMessages();

        // The raw round trip on the same pty.
        roundTrip.push_back(RawRoundTripMs(pty));

        // The pause after opening, as the transaction sleeps it.
        const auto p0 = Clock::now();
        std::this_thread::sleep_for(milliseconds(static_cast<int>(kFloorMs)));
        pause.push_back(Ms(Clock::now() - p0));
    }
    form.mycomm1->OnRxChar = handler;
    ReadTimeFigures f;
    f.clickToAck = Summarise(clickToAck);
    f.clickToResult = Summarise(clickToResult);
    f.clickToRequest = Summarise(clickToRequest);
    f.requestToAck = Summarise(requestToAck);
    f.ackToResult = Summarise(ackToResult);
    f.open = Summarise(open);
    f.close = Summarise(close);
    f.openClose = Summarise(openClose);
    f.roundTrip = Summarise(roundTrip);
    f.pause = Summarise(pause);
    return f;
}

struct CpuShare {
    double cpuMs = 0;
    double wallMs = 0;
    double Share() const { return wallMs > 0 ? cpuMs / wallMs : 0; }
};

template <typename F> CpuShare MeasureCpu(F&& run) {
    const double cpu0 = ProcessCpuSeconds();
    const auto wall0 = Clock::now();
    run();
    const auto wall1 = Clock::now();
    const double cpu1 = ProcessCpuSeconds();
    return {(cpu1 - cpu0) * 1000.0, Ms(wall1 - wall0)};
}

struct CpuFigures {
    CpuShare command, busy;
    int commandWrites = 0, busyWrites = 0;
};

// Figure 2: an unanswered Read Time through the window, then the same
// transaction on the same port with a busy wait.
CpuFigures MeasureCpu(TForm1& form, SignPeer& peer, const std::string& portPath,
                      std::vector<QString>& results) {
    CpuFigures f;
    peer.SetAnswering(false);
    host::ProcessMessages();

    results.clear();
    int before = peer.Requests();
    f.command = MeasureCpu([&] { form.Button3->click(); });
    f.commandWrites = peer.Requests() - before;
    if (results.size() != 1 || results[0] != QStringLiteral("send error"))
        Fail("the unanswered Read Time did not end with send error");
    host::ProcessMessages();

    sign::TSignLink link;
    link.BeginRequest(sign::CmdReadTime, {});
    sign::TTransactionHooks hooks;
    hooks.Wait = [](milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline)
            host::ProcessMessages();
    };
    before = peer.Requests();
    sign::TTransactionResult result;
    f.busy = MeasureCpu(
        [&] { result = sign::RunTransaction(*form.mycomm1, link, portPath, {}, hooks); });
    f.busyWrites = peer.Requests() - before;
    if (!result.Opened || result.Acknowledged || result.Writes != 3)
        Fail("the busy-wait transaction did not run its three tries");
    host::ProcessMessages();
    peer.SetAnswering(true);
    return f;
}

struct ScanFigures {
    Stats formScan, signScan, listDir, listDev, portExists;
    int found = 0;
    std::size_t devCandidates = 0;
};

// Figure 3: the scan over the folder's four pty links, and its parts.
ScanFigures MeasureScan(TForm1& form, const std::string& dir, const std::string& onePty, int runs) {
    std::vector<double> formScan, signScan, listDir, listDev, portExists;
    ScanFigures f;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        form.ScanPorts();
        formScan.push_back(Ms(Clock::now() - t0));
        if (form.ComboBox3->count() != kScanPtys)
            Fail("TForm1::ScanPorts did not find the four ptys");

        t0 = Clock::now();
        const auto found = sign::ScanPorts(*form.mycomm1, sign::PortCandidates(dir));
        signScan.push_back(Ms(Clock::now() - t0));
        f.found = static_cast<int>(found.size());
        if (found.size() != kScanPtys)
            Fail("sign::ScanPorts did not find the four ptys");

        t0 = Clock::now();
        const auto candidates = sign::PortCandidates(dir);
        listDir.push_back(Ms(Clock::now() - t0));
        if (candidates.size() != kScanPtys)
            Fail("the folder does not list the four links");

        // Listing only: nothing under /dev is opened.
        t0 = Clock::now();
        const auto dev = comm::posix::ListSerialPorts("/dev");
        listDev.push_back(Ms(Clock::now() - t0));
        f.devCandidates = dev.size();

        t0 = Clock::now();
        const bool exists = form.mycomm1->PortExists(onePty);
        portExists.push_back(Ms(Clock::now() - t0));
        if (!exists)
            Fail("PortExists did not find the pty");
        host::ProcessMessages();
    }
    f.formScan = Summarise(formScan);
    f.signScan = Summarise(signScan);
    f.listDir = Summarise(listDir);
    f.listDev = Summarise(listDev);
    f.portExists = Summarise(portExists);
    return f;
}

void Row(const char* name, const Stats& s) {
    std::printf("  %-40s %8.3f %8.3f %8.3f %8.3f\n", name, s.median, s.p90, s.best, s.worst);
}

void Header(const char* title) {
    std::printf("%s\n  %-40s %8s %8s %8s %8s\n", title, "ms", "median", "p90", "best", "worst");
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    host::qt::TApplication app(qtArgc, argv);

    // The folder the window scans: ttyUSB0 links to the sign's pty.
    char dirTemplate[] = "/tmp/rc-bench-sign-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr)
        Fail("mkdtemp failed");
    const std::filesystem::path dir = dirTemplate;
    {
        Pty signPty;
        const std::string signPort = (dir / "ttyUSB0").string();
        std::filesystem::create_symlink(signPty.Path(), signPort);
        SignPeer peer(signPty);

        std::vector<QString> results;
        std::optional<Clock::time_point> resultAt;
        TForm1Options options;
        options.SettingsPath = QString::fromStdString((dir / "LEDINFO.BIN").string());
        options.PortDirectory = dir.string();
        options.ShowResult = [&](const QString& text) {
            resultAt = Clock::now();
            results.push_back(text);
        };
        TForm1 form(options);
        if (form.ComboBox3->count() != 1)
            Fail("the window did not find the sign's pty");
        form.ComboBox3->setCurrentIndex(0);

        // A few commands first, so that the first runs do not carry the
        // start-up (allocations, code paged in).
        MeasureReadTime(form, signPty, peer, signPort, 5, results, resultAt);
        const ReadTimeFigures rt =
            MeasureReadTime(form, signPty, peer, signPort, runs, results, resultAt);
        const CpuFigures cpu = MeasureCpu(form, peer, signPort, results);

        // Three more ptys for the scan: ttyUSB0..3.
        std::vector<std::unique_ptr<Pty>> more;
        for (int i = 1; i < kScanPtys; ++i) {
            more.push_back(std::make_unique<Pty>());
            std::filesystem::create_symlink(more.back()->Path(),
                                            dir / ("ttyUSB" + std::to_string(i)));
        }
        const ScanFigures scan = MeasureScan(form, dir.string(), signPort, runs);

        std::printf("bench_SignCommands: %d runs; the real TForm1 (offscreen), pty pairs\n", runs);
        Header("1. Read Time, sign answering at once");
        Row("click -> acknowledgement", rt.clickToAck);
        Row("click -> result shown (after Close)", rt.clickToResult);
        Row("  click -> request whole at the sign", rt.clickToRequest);
        Row("  request at the sign -> acknowledgement", rt.requestToAck);
        Row("  acknowledgement -> result shown", rt.ackToResult);
        Row("baseline: OpenWithSettings", rt.open);
        Row("baseline: Close", rt.close);
        Row("baseline: OpenWithSettings + Close", rt.openClose);
        Row("baseline: raw pty round trip", rt.roundTrip);
        Row("baseline: the 10 ms pause as slept", rt.pause);
        // The medians of the parts; "the rest" is what none of them covers
        // (the click, the request's set-up, the hand-over of the reply from
        // the port's event thread to the GUI thread).
        const auto split = [&](const char* what, const Stats& total, double port) {
            const double rest = total.median - rt.pause.median - port - rt.roundTrip.median;
            std::printf("  split of the median click -> %s: pause %.3f (floor %.1f + oversleep "
                        "%.3f) + %s %.3f + round trip %.3f + the rest %.3f ms\n",
                        what, rt.pause.median, kFloorMs, rt.pause.median - kFloorMs,
                        port == rt.open.median ? "open" : "open/close", port, rt.roundTrip.median,
                        rest);
        };
        split("ack", rt.clickToAck, rt.open.median);
        split("result", rt.clickToResult, rt.openClose.median);

        std::printf("2. CPU during a Read Time the sign never answers\n");
        std::printf("  %-40s %8.1f ms CPU over %8.1f ms = %6.2f %% of a core (%d writes)\n",
                    "the window's command", cpu.command.cpuMs, cpu.command.wallMs,
                    cpu.command.Share() * 100, cpu.commandWrites);
        std::printf("  %-40s %8.1f ms CPU over %8.1f ms = %6.2f %% of a core (%d writes)\n",
                    "baseline: busy wait, same transaction", cpu.busy.cpuMs, cpu.busy.wallMs,
                    cpu.busy.Share() * 100, cpu.busyWrites);

        Header("3. Port scan, four pty links in a folder");
        Row("TForm1::ScanPorts", scan.formScan);
        Row("sign::ScanPorts(PortCandidates(dir))", scan.signScan);
        Row("baseline: PortCandidates(dir), listing", scan.listDir);
        Row("baseline: ListSerialPorts(\"/dev\")", scan.listDev);
        Row("baseline: one PortExists on a pty", scan.portExists);
        std::printf("  /dev lists %zu candidates (not probed here); at one pty's PortExists "
                    "each, a scan of /dev would take about %.3f ms\n",
                    scan.devCandidates,
                    scan.listDev.median +
                        static_cast<double>(scan.devCandidates) * scan.portExists.median);

        std::printf("goals\n");
        std::printf("  Read Time click -> ack median %.3f ms (goal <= %.1f ms) %s\n",
                    rt.clickToAck.median, kReadGoalMs,
                    Verdict(rt.clickToAck.median <= kReadGoalMs));
        std::printf("  unanswered command CPU %.2f %% of a core (goal < %.0f %%; busy wait "
                    "%.1f %%) %s\n",
                    cpu.command.Share() * 100, kCpuGoal * 100, cpu.busy.Share() * 100,
                    Verdict(cpu.command.Share() < kCpuGoal));
        std::printf("  port scan of four ptys median %.3f ms, worst %.3f ms (goal < %.0f ms) %s\n",
                    scan.formScan.median, scan.formScan.worst, kScanGoalMs,
                    Verdict(scan.formScan.median < kScanGoalMs));
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
