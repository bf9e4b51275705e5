// The serial component on a real USB serial driver: ftdi_sio driving the FTDI
// adapter that QEMU emulates, in a small guest (scripts/test-vm). Runs only
// there: the far end of the guest's /dev/ttyUSB0 is the host's vm-host
// (vm_host.cpp), asked for what to do through lines on the console.
//
// The cases run in the order written: the low-latency cases first (they need
// the first open since the adapter came), the unplug cases last, each of
// which puts the adapter back before it ends.

#include "serial/CPort.h"
#include "serial/CPortErrors.h"
#include "serial/driver/PosixTermios.h"
#include "tests/vm/Pattern.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace cport;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPort = "ttyUSB0";
constexpr const char* kDevice = "/dev/ttyUSB0";
constexpr const char* kSysfs = "/sys/bus/usb-serial/devices/ttyUSB0/";
constexpr std::size_t kMiB = 1 << 20;

// One request to the host, answered by one "@host ..." console line.
std::string Host(const std::string& request) {
    static std::mutex m;
    std::lock_guard lock(m);
    std::cout << "@vm " << request << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        if (line.rfind("@host ", 0) == 0)
            return line.substr(6);
    }
    return "error console closed";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

bool WaitForDevice(bool present, std::chrono::milliseconds limit = 10s) {
    const auto deadline = Clock::now() + limit;
    struct stat st {};
    while (Clock::now() < deadline) {
        if ((::stat(kDevice, &st) == 0) == present)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A child program with its standard output and error in one pipe.
struct Child {
    pid_t Pid = -1;
    int Out = -1;
    std::string Text;
    int Status = -1;
    Clock::time_point Ended;

    explicit Child(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        Pid = ::fork();
        if (Pid == 0) {
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        Out = fds[0];
    }
    ~Child() {
        if (Status < 0 && Pid > 0) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
        }
        if (Out >= 0)
            ::close(Out);
    }
    // Collects the output until the child ends; false when it did not within limit.
    bool Wait(std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            pollfd p{Out, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            ::poll(&p, 1, static_cast<int>(left.count()));
            char buf[4096];
            const ssize_t n = ::read(Out, buf, sizeof buf);
            if (n > 0) {
                Text.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0)
                break;
        }
        int st = 0;
        ::waitpid(Pid, &st, 0);
        Ended = Clock::now();
        Status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
        return true;
    }
};

std::string RadarSign() {
    const char* p = std::getenv("RC_RADAR_SIGN");
    return p != nullptr ? p : "/bin/radar-sign";
}

// The frames of radar-sign's --verbose trace, one a line: "> F7 ..." or "< F7 ...".
std::string Frames(const std::string& trace) {
    std::istringstream in(trace);
    std::string line, out;
    while (std::getline(in, line)) {
        for (const char* dir : {" > ", " < "}) {
            const auto at = line.find(dir);
            if (at != std::string::npos && line.find(" ms ") != std::string::npos)
                out += line.substr(at + 1) + "\n";
        }
    }
    return out;
}

// Collects the bytes OnRxChar delivers.
struct Received {
    std::mutex M;
    std::string Bytes;
    std::size_t Size() {
        std::lock_guard lock(M);
        return Bytes.size();
    }
};

void ReceiveInto(TComPort& p, Received& r) {
    p.OnRxChar = [&r](TCustomComPort* sender, std::int32_t count) {
        std::string s;
        sender->ReadString(count, s);
        std::lock_guard lock(r.M);
        r.Bytes += s;
    };
}

// A port on the adapter whose events run on the event thread, without write
// timeouts (a mebibyte at the emulated speed takes longer than the defaults allow).
void Prepare(TComPort& p) {
    p.SetPort(kPort);
    p.SetSyncMethod(smNone);
    p.Timeouts().SetWriteTotalMultiplier(0);
    p.Timeouts().SetWriteTotalConstant(0);
    p.Buffer().SetInputSize(1 << 16);
}

template <typename Pred> bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 60s) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// ---- The low-latency request at open ---------------------------------------------
//
// ftdi_sio reads ASYNC_LOW_LATENCY as "latency timer 1 ms" and shows it in
// latency_timer. These cases come first: the first open since the adapter
// came.

// What an open of the adapter gave, in a child whose ioctl(TIOCSSERIAL)
// fails with EPERM (a seccomp filter): a driver refusing the request. The
// child is forked before this process has started any thread.
std::string OpenRefusingLowLatency() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::string out;
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TIOCSSERIAL, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog prog{static_cast<unsigned short>(std::size(filter)), filter};
        serial_struct probe{};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
            out = "no seccomp";
        } else if (::ioctl(-1, TIOCSSERIAL, &probe) == 0 || errno != EPERM) {
            // (No descriptor: without the filter the call fails with EBADF.)
            out = "filter not in force";
        } else {
            TComPort p(nullptr);
            Prepare(p);
            p.SetEvents(TComEvents());
            p.Timeouts().SetReadTotalConstant(5000);
            const bool opened = p.OpenWithSettings("57600,E,7,1");
            out = std::string("opened ") + (opened ? "yes" : "no") + ", latency_timer " +
                  ReadFile(std::string(kSysfs) + "latency_timer");
            const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            termios t{};
            if (fd >= 0 && ::tcgetattr(fd, &t) == 0)
                out += std::string(", line ") + (::cfgetospeed(&t) == B57600 &&
                                                         (t.c_cflag & CSIZE) == CS7 &&
                                                         (t.c_cflag & (PARENB | PARODD)) == PARENB
                                                     ? "57600,E,7,1"
                                                     : "other");
            if (fd >= 0)
                ::close(fd);
            const std::string hello("\x00hello\xFF", 7);
            std::string back;
            if (opened && p.Write(hello.data(), 7) == 7)
                p.ReadString(7, back);
            out += std::string(", echo ") + (back == hello ? "ok" : "wrong");
        }
        (void)::write(fds[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return out;
}

TEST(LowLatency, ADriverRefusingTheRequestChangesNothingElse) {
    const std::string before = ReadFile(std::string(kSysfs) + "latency_timer");
    ASSERT_NE(before, "1") << "asked for already";
    ASSERT_EQ(Host("peer echo"), "ok");
    EXPECT_EQ(OpenRefusingLowLatency(),
              "opened yes, latency_timer " + before + ", line 57600,E,7,1, echo ok");
    ASSERT_EQ(Host("peer drop"), "ok");
}

TEST(LowLatency, TheRequestAtOpenSetsTheLatencyTimer) {
    const std::string before = ReadFile(std::string(kSysfs) + "latency_timer");
    TComPort p(nullptr);
    Prepare(p);
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    const std::string open = ReadFile(std::string(kSysfs) + "latency_timer");
    std::cout << "latency_timer before open " << before << ", open " << open << "\n";
    EXPECT_EQ(open, "1");
    const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    serial_struct s{};
    ASSERT_EQ(::ioctl(fd, TIOCGSERIAL, &s), 0);
    ::close(fd);
    EXPECT_NE(s.flags & ASYNC_LOW_LATENCY, 0);
    // The flag lives with the device, not with an open: left on, the next
    // program on the adapter (and every adapter the scan probed) would get
    // the 1 ms timer. Close puts back what open found.
    p.Close();
    EXPECT_EQ(ReadFile(std::string(kSysfs) + "latency_timer"), before);
}

// ---- Opening, settings and traffic ------------------------------------------------

TEST(UsbSerial, TheScanListsTheAdapterAndLeavesItsLatencyTimer) {
    const std::string latency = ReadFile(std::string(kSysfs) + "latency_timer");
    Child ports({RadarSign(), "ports", "--long"});
    ASSERT_TRUE(ports.Wait(10s));
    std::cout << "radar-sign ports --long:\n" << ports.Text;
    EXPECT_EQ(ports.Status, 0);
    // The identity from sysfs alone (no udevd here): QEMU's product and
    // maker, FTDI's VID:PID, QEMU's serial number, the driver.
    EXPECT_EQ(ports.Text, "ttyUSB0\tQEMU USB SERIAL (QEMU)\t0403:6001\t" +
                              ReadFile(std::string(kSysfs) + "../../serial") + "\tftdi_sio\n");
    // The scan opens each port to probe it.
    EXPECT_EQ(ReadFile(std::string(kSysfs) + "latency_timer"), latency);
}

struct LineCase {
    const char* Settings;
    speed_t Speed;
    tcflag_t Size;
    tcflag_t Parity; // PARENB | PARODD as set
    bool TwoStops;
};

TEST(UsbSerial, OpenAppliesTheLineSettingsToTheDriver) {
    const LineCase cases[] = {
        {"115200,N,8,1", B115200, CS8, 0, false},
        {"9600,E,7,2", B9600, CS7, PARENB, true},
        {"57600,O,8,1", B57600, CS8, PARENB | PARODD, false},
        {"1200,N,8,2", B1200, CS8, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Settings);
        TComPort p(nullptr);
        p.SetPort(kPort);
        p.SetEvents(TComEvents());
        ASSERT_TRUE(p.OpenWithSettings(c.Settings));
        // root opens past TIOCEXCL: the driver's own view of the line.
        const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        ::close(fd);
        EXPECT_EQ(::cfgetospeed(&t), c.Speed);
        EXPECT_EQ(t.c_cflag & CSIZE, c.Size);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), c.Parity);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.TwoStops);
    }
}

struct BaudCase {
    std::int32_t Asked;
    std::uint32_t Line; // what the driver runs at afterwards
};

// ftdi_sio divides its 3 MHz clock (QEMU's adapter is an FT232BM): a rate it
// can reach closely is taken, any rate too (through termios2); one above 3
// Mbaud it silently replaces by 9600. The driver then refuses the setting,
// as the Windows driver does, and the line keeps the rate it had (4800).
TEST(UsbSerial, TheDriverRunsTheRatesItCanAndARefusedRateLeavesTheLineAsItWas) {
    const BaudCase cases[] = {
        {300, 300},       {115200, 115200},   {230400, 230400}, {250000, 250000}, {31250, 31250},
        {921600, 921600}, {3000000, 3000000}, {4000000, 4800},  {12000000, 4800},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Asked);
        TComPort p(nullptr);
        p.SetPort(kPort);
        p.SetEvents(TComEvents());
        ASSERT_TRUE(p.OpenWithSettings("4800,N,8,1"));
        p.SetBaudRate(c.Asked); // applied at once; refused without raising
        const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::uint32_t line = 0;
        EXPECT_EQ(comm::posix::GetAnyBaud(fd, &line), 0);
        ::close(fd);
        EXPECT_EQ(line, c.Line);
        comm::DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(comm::Api().GetCommState(p.Handle(), &dcb));
        EXPECT_EQ(dcb.BaudRate, c.Line);
    }
}

TEST(UsbSerial, AMebibyteOutArrivesByteExactAndEndsWithTxEmpty) {
    ASSERT_EQ(Host("peer sink " + std::to_string(kMiB)), "ok");
    std::vector<std::uint8_t> data(kMiB);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = rc_vm::PatternByte(i);
    std::atomic<int> txEmpty{0};
    TComPort p(nullptr);
    Prepare(p);
    p.OnTxEmpty = [&](TCustomComPort*) { ++txEmpty; };
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    const auto start = Clock::now();
    EXPECT_EQ(p.Write(data.data(), static_cast<std::int32_t>(data.size())),
              static_cast<std::int32_t>(kMiB));
    EXPECT_EQ(Host("status"), "sink " + std::to_string(kMiB) + " -1");
    std::cout << "1 MiB out in " << Seconds(Clock::now() - start) << " s\n";
    EXPECT_TRUE(WaitUntil([&] { return txEmpty > 0; }, 10s));
}

TEST(UsbSerial, AMebibyteInReachesOnRxCharByteExact) {
    Received r;
    TComPort p(nullptr);
    Prepare(p);
    ReceiveInto(p, r);
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    const auto start = Clock::now();
    ASSERT_EQ(Host("peer source " + std::to_string(kMiB)), "ok");
    EXPECT_TRUE(WaitUntil([&] { return r.Size() >= kMiB; }));
    std::cout << "1 MiB in in " << Seconds(Clock::now() - start) << " s\n";
    std::lock_guard lock(r.M);
    ASSERT_EQ(r.Bytes.size(), kMiB);
    EXPECT_EQ(rc_vm::FirstMismatch(reinterpret_cast<const std::uint8_t*>(r.Bytes.data()),
                                   r.Bytes.size(), 0),
              -1);
}

// ---- Modem lines and line counters --------------------------------------------------

TEST(UsbSerial, ModemLinesReadAsQemusAdapterReportsThem) {
    TComPort p(nullptr);
    Prepare(p);
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    const TLineSignals lines = p.ModemSignals();
    const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int bits = 0;
    ASSERT_EQ(::ioctl(fd, TIOCMGET, &bits), 0);
    serial_icounter_struct icount{};
    const int counted = ::ioctl(fd, TIOCGICOUNT, &icount);
    ::close(fd);
    std::cout << "modem lines: tiocm 0x" << std::hex << bits << std::dec << ", TIOCGICOUNT "
              << (counted == 0 ? "answers" : "refused") << " (frame " << icount.frame
              << ", overrun " << icount.overrun << ", parity " << icount.parity << ", break "
              << icount.brk << ")\n";
    // The component's view is the driver's.
    EXPECT_EQ(lines.Contains(lsCTS), (bits & TIOCM_CTS) != 0);
    EXPECT_EQ(lines.Contains(lsDSR), (bits & TIOCM_DSR) != 0);
    EXPECT_EQ(lines.Contains(lsRLSD), (bits & TIOCM_CD) != 0);
    EXPECT_EQ(lines.Contains(lsRing), (bits & TIOCM_RI) != 0);
    EXPECT_EQ(counted, 0) << "usbserial answers TIOCGICOUNT for every adapter";
    // Nothing went wrong on the line: no error is reported.
    EXPECT_TRUE(p.ReadLineErrors().Empty());
}

struct ControlCase {
    TDTRFlowControl Dtr;
    TRTSFlowControl Rts;
    int Lines; // TIOCM_DTR | TIOCM_RTS as the driver should hold them
};

// DTR and RTS as the driver holds them (ftdi_sio answers them from what it
// last sent to the adapter), read through a descriptor opened before the
// port: an open raises both lines, the port's open must set them as told.
TEST(UsbSerial, DtrAndRtsReachTheDriverAtOpenWhenChangedAndDropAtClose) {
    const ControlCase cases[] = {
        {dtrDisable, rtsDisable, 0},
        {dtrEnable, rtsDisable, TIOCM_DTR},
        {dtrDisable, rtsEnable, TIOCM_RTS},
        {dtrEnable, rtsEnable, TIOCM_DTR | TIOCM_RTS},
    };
    const auto lines = [](int fd) {
        int bits = 0;
        EXPECT_EQ(::ioctl(fd, TIOCMGET, &bits), 0);
        return bits & (TIOCM_DTR | TIOCM_RTS);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "DTR " << int{c.Dtr} << ", RTS " << int{c.Rts});
        const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        TComPort p(nullptr);
        Prepare(p);
        p.SetEvents(TComEvents());
        p.FlowControl().SetControlDTR(c.Dtr);
        p.FlowControl().SetControlRTS(c.Rts);
        ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
        EXPECT_EQ(lines(fd), c.Lines);
        // Changed on the open port: the other way round.
        p.FlowControl().SetControlDTR(c.Dtr == dtrEnable ? dtrDisable : dtrEnable);
        p.FlowControl().SetControlRTS(c.Rts == rtsEnable ? rtsDisable : rtsEnable);
        EXPECT_EQ(lines(fd), (TIOCM_DTR | TIOCM_RTS) & ~c.Lines);
        p.Close();
        EXPECT_EQ(lines(fd), 0) << "the lines drop at close";
        ::close(fd);
    }
}

TEST(UsbSerial, ABreakFromTheFarEnd) {
    GTEST_SKIP() << "tried: a telnet break on QEMU's usb-serial character device never "
                    "reaches ftdi_sio's break counter (QEMU sends the break bit in a packet "
                    "of its own, without data, and ftdi_sio takes break and error bits only "
                    "from packets with data), and QEMU sets no frame, parity or overrun bit: "
                    "TIOCGICOUNT's error counters stay 0, so no line error can be made";
}

TEST(UsbSerial, ModemLineChangesAndRing) {
    GTEST_SKIP() << "QEMU's usb-serial on a socket character device reports CTS, DSR and "
                    "RLSD always on and RI off, and DTR and RTS do not reach the far end: no "
                    "line change, so no CTS/DSR/RLSD/ring event, can be made from the host";
}

// ---- Exclusive use --------------------------------------------------------------------

TEST(UsbSerial, TheExclusiveOpenHoldsAgainstASecondOpener) {
    TComPort holder(nullptr);
    Prepare(holder);
    ASSERT_TRUE(holder.OpenWithSettings("9600,N,8,1"));
    TComPort second(nullptr);
    second.SetPort(kPort);
    second.SetEvents(TComEvents());
    second.Open();
    EXPECT_FALSE(second.Connected());
    EXPECT_FALSE(second.PortExists(kPort));
    Child other({RadarSign(), "--no-log", "--tries", "1", "read-time", kPort});
    ASSERT_TRUE(other.Wait(10s));
    EXPECT_EQ(other.Status, 3) << other.Text;
    EXPECT_NE(other.Text.find("in use by another program"), std::string::npos) << other.Text;
    holder.Close();
    EXPECT_TRUE(second.PortExists(kPort));
}

// ---- radar-sign against the host's sign-sim ----------------------------------------------

TEST(UsbSerial, RadarSignSendsAndReceivesTheFramesOfAPseudoTerminalRun) {
    // The same commands, run on the host against sign-sim on a pseudo-terminal,
    // left their frames in /expect (scripts/test-vm).
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
        {"read-time", {"read-time"}},
        {"send-time", {"send-time", "--at", "2026-01-02 03:04:05"}},
        {"download",
         {"download", "--morning", "07:00-09:00", "--morning-speed", "30", "--afternoon",
          "16:00-18:00", "--afternoon-speed", "40", "--regular-speed", "50", "--rate", "1"}},
    };
    ASSERT_EQ(Host("peer sign"), "ok");
    for (const auto& [name, args] : commands) {
        SCOPED_TRACE(name);
        std::vector<std::string> argv{RadarSign(), "-v", "--no-log"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(kPort);
        Child c(argv);
        ASSERT_TRUE(c.Wait(20s));
        EXPECT_EQ(c.Status, 0) << c.Text;
        const std::string expected = ReadFile("/expect/" + name + ".frames") + "\n";
        EXPECT_EQ(Frames(c.Text), expected) << c.Text;
    }
    ASSERT_EQ(Host("peer drop"), "ok");
}

// ---- Unplugging ------------------------------------------------------------------------------

// Kernel uevents of tty devices (no udevd runs in the guest: the port list's
// udev monitor hears nothing here; the kernel's own announcements are what it
// would pass on).
class TtyUevents {
public:
    TtyUevents() {
        fd_ =
            ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl a{};
        a.nl_family = AF_NETLINK;
        a.nl_groups = 1;
        if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~TtyUevents() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Waits until "<action> ttyUSB0" of subsystem tty has come.
    bool WaitFor(const std::string& action, std::chrono::milliseconds limit = 10s) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            char buf[8192];
            const ssize_t n = ::recv(fd_, buf, sizeof buf - 1, 0);
            if (n <= 0) {
                pollfd p{fd_, POLLIN, 0};
                ::poll(&p, 1, 50);
                continue;
            }
            buf[n] = 0;
            std::string head(buf), action_, subsystem, devname;
            for (std::size_t at = head.size() + 1; at < static_cast<std::size_t>(n);) {
                const std::string kv(buf + at);
                at += kv.size() + 1;
                if (kv.rfind("ACTION=", 0) == 0)
                    action_ = kv.substr(7);
                else if (kv.rfind("SUBSYSTEM=", 0) == 0)
                    subsystem = kv.substr(10);
                else if (kv.rfind("DEVNAME=", 0) == 0)
                    devname = kv.substr(8);
            }
            if (subsystem == "tty" && devname == kPort && action_ == action)
                return true;
        }
        return false;
    }
    bool Listening() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The port scan's list, one name a line.
std::string ScannedPorts() {
    Child ports({RadarSign(), "ports"});
    EXPECT_TRUE(ports.Wait(10s));
    EXPECT_EQ(ports.Status, 0) << ports.Text;
    return ports.Text;
}

// Puts the adapter back and checks that the scan lists it again and that the
// same name opens and carries bytes.
void PlugBackAndUse() {
    EXPECT_EQ(ScannedPorts(), "") << "the pulled adapter is still listed";
    TtyUevents uevents;
    ASSERT_EQ(Host("plug"), "ok");
    ASSERT_TRUE(WaitForDevice(true)) << "no " << kDevice << " after device_add";
    EXPECT_TRUE(uevents.WaitFor("add"));
    EXPECT_EQ(ScannedPorts(), "ttyUSB0\n");
    ASSERT_EQ(Host("peer echo"), "ok");
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Timeouts().SetReadTotalConstant(5000);
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    const std::string hello("\x00hello\xFF", 7);
    EXPECT_EQ(p.Write(hello.data(), 7), 7);
    std::string back;
    p.ReadString(7, back);
    EXPECT_EQ(back, hello);
    p.Close();
    ASSERT_EQ(Host("peer drop"), "ok");
}

// The moment device_del was asked for, and the CPU the process had used then.
struct AfterUnplug {
    Clock::time_point At;
    double Cpu = 0;
};

AfterUnplug Unplug() {
    AfterUnplug u;
    u.At = Clock::now();
    u.Cpu = CpuSeconds();
    EXPECT_EQ(Host("unplug"), "ok");
    return u;
}

TEST(Unplug, MidReadEndsTheReadWithoutADuplicatedByte) {
    TtyUevents uevents;
    ASSERT_TRUE(uevents.Listening());
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Timeouts().SetReadInterval(0);
    p.Timeouts().SetReadTotalConstant(3000);
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    ASSERT_EQ(Host("peer source " + std::to_string(64 * kMiB)), "ok");
    std::string got;
    std::atomic<std::size_t> size{0};
    std::string reason = "none";
    Clock::time_point ended;
    std::thread reader([&] {
        std::vector<char> buf(65536);
        try {
            for (;;) {
                const std::int32_t n =
                    p.ReadBlock(buf.data(), static_cast<std::int32_t>(buf.size()));
                if (n <= 0) {
                    reason = "read gave " + std::to_string(n);
                    p.InQueueCount();
                    break;
                }
                got.append(buf.data(), static_cast<std::size_t>(n));
                size = got.size();
            }
        } catch (const EComPort& e) {
            reason = std::string(e.what()) + " (" + std::to_string(e.ErrorCode()) + ", OS " +
                     std::to_string(e.OsErrorCode()) + ")";
        }
        ended = Clock::now();
    });
    EXPECT_TRUE(WaitUntil([&] { return size >= 256 * 1024; }));
    const AfterUnplug u = Unplug();
    reader.join();
    const double took = Seconds(ended - u.At);
    std::cout << "read ended " << took << " s after the unplug with " << got.size()
              << " bytes: " << reason << "\n";
    EXPECT_LT(took, 1.0);
    EXPECT_LT(CpuSeconds() - u.Cpu, 0.5);
    EXPECT_NE(reason.find("OS 1617"), std::string::npos) << "device removed, not " << reason;
    EXPECT_EQ(
        rc_vm::FirstMismatch(reinterpret_cast<const std::uint8_t*>(got.data()), got.size(), 0), -1);
    EXPECT_TRUE(uevents.WaitFor("remove"));
    ASSERT_TRUE(WaitForDevice(false));
    p.Close();
    PlugBackAndUse();
}

TEST(Unplug, MidWriteEndsTheWriteWithWhatWasTaken) {
    constexpr std::size_t kSize = 16 * kMiB;
    ASSERT_EQ(Host("peer sink 262144"), "ok");
    std::vector<std::uint8_t> data(kSize);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = rc_vm::PatternByte(i);
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    std::int32_t written = -1;
    Clock::time_point ended;
    std::thread writer([&] {
        written = p.Write(data.data(), static_cast<std::int32_t>(data.size()));
        ended = Clock::now();
    });
    // The host has had a quarter mebibyte: the write is under way.
    const std::string midway = Host("status");
    EXPECT_EQ(midway.rfind("sink ", 0), 0u);
    const AfterUnplug u = Unplug();
    writer.join();
    const double took = Seconds(ended - u.At);
    const std::string after = Host("status");
    std::cout << "write ended " << took << " s after the unplug, " << written
              << " bytes taken; host: " << after << "\n";
    EXPECT_LT(took, 1.0);
    EXPECT_LT(CpuSeconds() - u.Cpu, 0.5);
    EXPECT_LT(written, static_cast<std::int32_t>(kSize));
    // What reached the host is the stream's beginning, no byte twice, and
    // no more than the driver took.
    std::size_t hostBytes = 0;
    long long mismatch = 0;
    ASSERT_EQ(std::sscanf(after.c_str(), "sink %zu %lld", &hostBytes, &mismatch), 2) << after;
    EXPECT_EQ(mismatch, -1);
    EXPECT_LE(hostBytes, static_cast<std::size_t>(written));
    ASSERT_TRUE(WaitForDevice(false));
    p.Close();
    PlugBackAndUse();
}

TEST(Unplug, MidWaitNothingSpinsCallsSayTheDeviceWentAndCloseReturns) {
    ASSERT_EQ(Host("peer drop"), "ok");
    std::mutex m;
    std::vector<std::string> events;
    TComPort p(nullptr);
    Prepare(p);
    p.OnError = [&](TCustomComPort*, TComErrors) {
        std::lock_guard lock(m);
        events.push_back("Error");
    };
    p.OnRxChar = [&](TCustomComPort*, std::int32_t) {
        std::lock_guard lock(m);
        events.push_back("RxChar");
    };
    ASSERT_TRUE(p.OpenWithSettings("115200,N,8,1"));
    ASSERT_TRUE(p.EventThreadRunning());
    const AfterUnplug u = Unplug();
    ASSERT_TRUE(WaitForDevice(false));
    // A second with the device gone: the event thread must be idle.
    std::this_thread::sleep_for(1s);
    const double cpu = CpuSeconds() - u.Cpu;
    // Calls on the open port whose device has gone end at once: a write
    // takes nothing; a read and the modem query say the device was removed
    // (radar-sign asks the modem query whether its port is still there).
    const auto osError = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const EComPort& e) {
            return e.OsErrorCode();
        }
        return std::int32_t{0};
    };
    const auto callsStart = Clock::now();
    EXPECT_EQ(p.Write("abc", 3), 0);
    std::string bytes;
    constexpr auto kRemoved = static_cast<std::int32_t>(comm::ERROR_DEVICE_REMOVED);
    EXPECT_EQ(osError([&] { p.ReadString(3, bytes); }), kRemoved);
    EXPECT_EQ(osError([&] { p.ModemSignals(); }), kRemoved);
    EXPECT_LT(Seconds(Clock::now() - callsStart), 1.0);
    const auto closeStart = Clock::now();
    p.Close();
    const double closeTook = Seconds(Clock::now() - closeStart);
    {
        std::lock_guard lock(m);
        std::cout << "event thread after the unplug: " << cpu << " s CPU in "
                  << Seconds(closeStart - u.At) << " s, " << events.size() << " events; Close took "
                  << closeTook << " s\n";
    }
    EXPECT_LT(cpu, 0.2);
    EXPECT_LT(closeTook, 1.0);
    EXPECT_FALSE(p.Connected());
    PlugBackAndUse();
}

TEST(Unplug, MidCommandRadarSignEndsAtOnceSayingTheDeviceHasGone) {
    // The sink takes the request and answers nothing: radar-sign waits for
    // the answer when the host has had the whole read-time request.
    ASSERT_EQ(Host("peer sink 6"), "ok");
    Child c(
        {RadarSign(), "-v", "--no-log", "--tries", "1", "--timeout", "20000", "read-time", kPort});
    EXPECT_EQ(Host("status").rfind("sink 6 ", 0), 0u);
    const AfterUnplug u = Unplug();
    ASSERT_TRUE(c.Wait(30s)) << c.Text;
    const double took = Seconds(c.Ended - u.At);
    std::cout << "radar-sign ended " << took << " s after the unplug, status " << c.Status << ":\n"
              << c.Text;
    EXPECT_LT(took, 1.0);
    EXPECT_EQ(c.Status, 3);
    EXPECT_NE(c.Text.find("the device has gone"), std::string::npos);
    EXPECT_EQ(c.Text.find("no answer"), std::string::npos);
    ASSERT_TRUE(WaitForDevice(false));
    PlugBackAndUse();
}

} // namespace
