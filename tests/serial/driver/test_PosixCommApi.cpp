// The POSIX backend on pseudo-terminal pairs: the test holds the master side
// as the "far end" and opens the slave through a symlink as the port.

#include "serial/driver/CommApi.h"
#include "serial/driver/PosixCommApi.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace comm;
using Clock = std::chrono::steady_clock;

ICommApi& Api() {
    return NativeApi();
}

// A child process started by the exclusive-open test runs this before main:
// it tries to open the port named in the environment and exits with the
// error code (0 when the open succeeded).
const bool g_childHelper = [] {
    const char* name = std::getenv("RC_POSIX_OPEN_CHILD");
    if (name == nullptr)
        return false;
    const Handle h = NativeApi().CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                             FILE_FLAG_OVERLAPPED);
    const std::uint32_t code = h == INVALID_HANDLE_VALUE ? NativeApi().GetLastError() : 0;
    if (h != INVALID_HANDLE_VALUE)
        NativeApi().CloseHandle(h);
    std::_Exit(static_cast<int>(code & 0xFF));
}();

using Pty = rc_test::PtyPair;

Handle Open(const Pty& pty) {
    return Api().CreateFileA(pty.FileName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED);
}

DCB LineDcb(std::uint32_t baud = 9600) {
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.Flags = DCB_fBinary;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = dcb.XoffLim = 256;
    return dcb;
}

COMMTIMEOUTS Timeouts(std::uint32_t interval, std::uint32_t mult, std::uint32_t constant,
                      std::uint32_t wmult = 0, std::uint32_t wconst = 0) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = mult;
    t.ReadTotalTimeoutConstant = constant;
    t.WriteTotalTimeoutMultiplier = wmult;
    t.WriteTotalTimeoutConstant = wconst;
    return t;
}

// An overlapped block with its own manual-reset event.
struct Transfer {
    Transfer() { ov.hEvent = Api().CreateEventA(true, false); }
    ~Transfer() { Api().CloseHandle(ov.hEvent); }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    bool Wait(std::uint32_t ms = 10000) {
        return Api().WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0;
    }
    bool Signalled() { return Api().WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }
    // The completed result: true/false and count, after waiting for it.
    bool Result(Handle port, std::uint32_t* count) {
        return Api().GetOverlappedResult(port, &ov, count, true);
    }
    Overlapped ov;
};

// A port opened on a fresh pty with the component's usual set-up.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = Open(pty_);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << Api().GetLastError();
        ASSERT_TRUE(Api().SetupComm(port_, 4096, 4096));
        DCB dcb = LineDcb();
        ASSERT_TRUE(Api().SetCommState(port_, &dcb));
        SetTimeouts(Timeouts(MAXDWORD, 0, 0));
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(Api().CloseHandle(port_));
        }
    }
    void SetTimeouts(const COMMTIMEOUTS& t) { ASSERT_TRUE(Api().SetCommTimeouts(port_, &t)); }
    std::uint32_t InQueue() {
        COMSTAT stat;
        std::uint32_t errors = 0;
        EXPECT_TRUE(Api().ClearCommError(port_, &errors, &stat));
        return stat.cbInQue;
    }
    // Waits until the input queue holds at least n bytes (20 s at most).
    bool WaitQueued(std::uint32_t n) {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            if (InQueue() >= n)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // Waits for the next event batch (10 s at most); 0xFFFFFFFF on failure.
    std::uint32_t NextEvents() {
        Transfer t;
        std::uint32_t mask = 0;
        if (Api().WaitCommEvent(port_, &mask, &t.ov))
            return mask;
        if (Api().GetLastError() != ERROR_IO_PENDING || !t.Wait())
            return 0xFFFFFFFFu;
        std::uint32_t n = 0;
        return Api().GetOverlappedResult(port_, &t.ov, &n, false) ? mask : 0xFFFFFFFFu;
    }
    std::string ReadNow(std::uint32_t max) {
        std::string buf(max, '\0');
        Transfer t;
        std::uint32_t n = 0;
        if (!Api().ReadFile(port_, buf.data(), max, &n, &t.ov)) {
            EXPECT_EQ(Api().GetLastError(), ERROR_IO_PENDING);
            EXPECT_TRUE(t.Result(port_, &n));
        }
        buf.resize(n);
        return buf;
    }

    Pty pty_;
    Handle port_ = INVALID_HANDLE_VALUE;
};

std::size_t CountEntries(const char* dir) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (::readdir(d) != nullptr)
            ++n;
        ::closedir(d);
    }
    return n;
}

// The names of this process's threads. A thread that has been joined may
// still be listed for a moment while the kernel releases it.
std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string name;
            if (FILE* f = std::fopen(
                    ("/proc/self/task/" + std::string(e->d_name) + "/comm").c_str(), "r")) {
                char buf[64] = {};
                if (std::fgets(buf, sizeof buf, f) != nullptr)
                    name = buf;
                std::fclose(f);
            }
            if (!name.empty() && name.back() == '\n')
                name.pop_back();
            names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// The number of threads once no port's I/O thread is listed any more (the
// joined ones are gone from /proc), or at the deadline.
std::size_t ThreadsWithoutPortThreads() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const std::vector<std::string> names = ThreadNames();
        if (std::count(names.begin(), names.end(), "rc-port-io") == 0 ||
            std::chrono::steady_clock::now() >= deadline)
            return names.size();
        std::this_thread::yield();
    }
}

double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// ---- Names and opening -------------------------------------------------------------

// CreateFileA's names carry Windows' device prefix; the rest is a port's name
// (comm::posix::DevicePath, tested with the scan).
TEST(PosixNames, FileNamePathDropsTheDevicePrefixOnce) {
    const struct {
        const char* given;
        const char* path;
    } rows[] = {
        {"\\\\.\\ttyUSB0", "/dev/ttyUSB0"},
        {"ttyS1", "/dev/ttyS1"},
        {"\\\\.\\/tmp/x/port", "/tmp/x/port"},
        {"\\\\.\\\\\\.\\ttyS0", "/dev/\\\\.\\ttyS0"},
        {"\\\\.\\", ""},
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(posix::FileNamePath(row.given), row.path) << row.given;
    EXPECT_EQ(posix::FileNamePath(nullptr), "");
}

// A port's name names its device while the device is there: a
// pseudo-terminal's node goes once its far end has closed, though the port
// still holds it open.
TEST(PosixNames, QueryDosDeviceAnswersWhileTheDeviceIsThere) {
    Pty pty;
    const Handle port = Open(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const std::string& name = pty.PortName();
    char target[512] = {};
    EXPECT_EQ(Api().QueryDosDeviceA(name.c_str(), target, sizeof target), name.size() + 2);
    EXPECT_EQ(std::string(target), name);
    EXPECT_EQ(target[name.size() + 1], '\0'); // the list's end
    EXPECT_EQ(Api().QueryDosDeviceA(name.c_str(), target, 4), 0u);
    EXPECT_EQ(Api().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(PortNamePresence(pty.FileName().c_str()), TNamePresence::npPresent);
    EXPECT_EQ(Api().QueryDosDeviceA("ttyRcNoSuchPort7", target, sizeof target), 0u);
    EXPECT_EQ(Api().GetLastError(), ERROR_FILE_NOT_FOUND);
    pty.CloseMaster();
    EXPECT_EQ(Api().QueryDosDeviceA(name.c_str(), target, sizeof target), 0u);
    EXPECT_EQ(Api().GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PortNamePresence(name.c_str()), TNamePresence::npAbsent);
    EXPECT_TRUE(Api().CloseHandle(port));
}

TEST(PosixOpen, AbsentPortIsFileNotFound) {
    for (const char* name : {"\\\\.\\ttyRcNoSuchPort7", "\\\\.\\/tmp/rc-no-such-dir/port", ""}) {
        Api().SetLastError(0);
        EXPECT_EQ(Api().CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(Api().GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(PosixOpen, PortIsExclusiveInProcessAndAcrossProcesses) {
    Pty pty;
    const Handle first = Open(pty);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);

    EXPECT_EQ(Open(pty), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Api().GetLastError(), ERROR_ACCESS_DENIED);

    // Another process (this test program run afresh, as root too when the
    // test runs as root) must be refused as well.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("RC_POSIX_OPEN_CHILD", pty.FileName().c_str(), 1);
        ::execl("/proc/self/exe", "/proc/self/exe", static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(ERROR_ACCESS_DENIED)) << "euid " << ::geteuid();

    ASSERT_TRUE(Api().CloseHandle(first));
    const Handle again = Open(pty);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Api().CloseHandle(again));
    EXPECT_FALSE(Api().CloseHandle(again));
    EXPECT_EQ(Api().GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PosixOpen, OpenCloseCyclesLeakNoFdOrThread) {
    Pty pty;
    // One cycle first: runtimes (a sanitizer's) start threads of their own
    // lazily. Threads are counted once every joined I/O thread has left
    // /proc; any other thread that a cycle leaves behind still counts.
    Api().CloseHandle(Open(pty));
    const std::size_t fds = CountEntries("/proc/self/fd");
    const std::size_t tasks = ThreadsWithoutPortThreads();
    for (int i = 0; i < 1000; ++i) {
        const Handle h = Open(pty);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << i << " error " << Api().GetLastError();
        ASSERT_TRUE(Api().CloseHandle(h));
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(ThreadsWithoutPortThreads(), tasks);
    const std::vector<std::string> names = ThreadNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "rc-port-io"), 0);
}

TEST_F(PortTest, PseudoTerminalHasAllModemLinesOff) {
    std::uint32_t status = 0xFFFF;
    EXPECT_TRUE(Api().GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, 0u);
}

// ---- Reading and writing --------------------------------------------------------------

TEST_F(PortTest, BytesArriveInTheQueueWithoutAReader) {
    pty_.Send(std::string("ab\0cd", 5));
    ASSERT_TRUE(WaitQueued(5));
    EXPECT_EQ(ReadNow(100), std::string("ab\0cd", 5));
    EXPECT_EQ(InQueue(), 0u);
    EXPECT_EQ(ReadNow(100), "");
}

TEST_F(PortTest, WriteReachesTheFarEnd) {
    Transfer t;
    std::uint32_t n = 0;
    const std::string text = "hello";
    if (!Api().WriteFile(port_, text.data(), 5, &n, &t.ov)) {
        ASSERT_EQ(Api().GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(t.Result(port_, &n));
    } else {
        EXPECT_TRUE(t.Signalled());
    }
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(pty_.Receive(5), text);
}

// ---- Events --------------------------------------------------------------------------

} // namespace

namespace {

// ---- Line settings ---------------------------------------------------------------------

// What a DCB must make of termios: checked on what the backend asked the
// driver for and, for what a pseudo-terminal keeps, on the driver itself
// (through the test's own slave descriptor).
TEST_F(PortTest, EachDcbFieldReachesTermios) {
    struct Row {
        const char* what;
        void (*change)(DCB&);
        bool (*requested)(const termios&);
        bool (*driver)(const termios&); // null: a pty does not keep it
    };
    const Row rows[] = {
        {"raw 8N1", [](DCB&) {},
         [](const termios& t) {
             return (t.c_cflag & CSIZE) == CS8 && (t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0;
         },
         [](const termios& t) {
             return (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
                    (t.c_oflag & OPOST) == 0 &&
                    (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) &&
                    (t.c_cflag & HUPCL) == 0 &&
                    (t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP)) == 0;
         }},
        {"5 data bits", [](DCB& d) { d.ByteSize = 5; },
         [](const termios& t) { return (t.c_cflag & CSIZE) == CS5; }, nullptr},
        {"6 data bits", [](DCB& d) { d.ByteSize = 6; },
         [](const termios& t) { return (t.c_cflag & CSIZE) == CS6; }, nullptr},
        {"7 data bits", [](DCB& d) { d.ByteSize = 7; },
         [](const termios& t) { return (t.c_cflag & CSIZE) == CS7; }, nullptr},
        {"odd parity", [](DCB& d) { d.Parity = 1; },
         [](const termios& t) {
             return (t.c_cflag & (PARENB | PARODD | CMSPAR)) == (PARENB | PARODD);
         },
         nullptr},
        {"even parity", [](DCB& d) { d.Parity = 2; },
         [](const termios& t) { return (t.c_cflag & (PARENB | PARODD | CMSPAR)) == PARENB; },
         nullptr},
        {"mark parity", [](DCB& d) { d.Parity = 3; },
         [](const termios& t) {
             return (t.c_cflag & (PARENB | PARODD | CMSPAR)) == (PARENB | PARODD | CMSPAR);
         },
         [](const termios& t) { return (t.c_cflag & (PARODD | CMSPAR)) == (PARODD | CMSPAR); }},
        {"space parity", [](DCB& d) { d.Parity = 4; },
         [](const termios& t) {
             return (t.c_cflag & (PARENB | PARODD | CMSPAR)) == (PARENB | CMSPAR);
         },
         [](const termios& t) { return (t.c_cflag & (PARODD | CMSPAR)) == CMSPAR; }},
        {"2 stop bits", [](DCB& d) { d.StopBits = 2; },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"1.5 stop bits as 2", [](DCB& d) { d.StopBits = 1; },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; },
         [](const termios& t) { return (t.c_cflag & CSTOPB) != 0; }},
        {"CTS output flow", [](DCB& d) { d.Flags |= DCB_fOutxCtsFlow; },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
        {"RTS handshake", [](DCB& d) { d.Flags |= 2u << DCB_fRtsControlShift; },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; },
         [](const termios& t) { return (t.c_cflag & CRTSCTS) != 0; }},
        {"XON/XOFF both ways",
         [](DCB& d) {
             d.Flags |= DCB_fOutX | DCB_fInX;
             d.XonChar = 0x01;
             d.XoffChar = 0x02;
         },
         [](const termios& t) { return (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF); },
         [](const termios& t) {
             return (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF) && t.c_cc[VSTART] == 0x01 &&
                    t.c_cc[VSTOP] == 0x02;
         }},
        {"XON/XOFF out only", [](DCB& d) { d.Flags |= DCB_fOutX; },
         [](const termios& t) { return (t.c_iflag & (IXON | IXOFF)) == IXON; },
         [](const termios& t) { return (t.c_iflag & (IXON | IXOFF)) == IXON; }},
        {"parity check", [](DCB& d) { d.Flags |= DCB_fParity; },
         [](const termios& t) { return (t.c_iflag & (INPCK | PARMRK)) == (INPCK | PARMRK); },
         [](const termios& t) { return (t.c_iflag & (INPCK | PARMRK)) == (INPCK | PARMRK); }},
        {"standard rate", [](DCB& d) { d.BaudRate = 115200; },
         [](const termios& t) { return cfgetospeed(&t) == B115200; },
         [](const termios& t) { return cfgetospeed(&t) == B115200; }},
    };
    for (const Row& row : rows) {
        DCB dcb = LineDcb();
        row.change(dcb);
        ASSERT_TRUE(Api().SetCommState(port_, &dcb)) << row.what << " " << Api().GetLastError();
        termios requested{};
        ASSERT_TRUE(posix::RequestedTermios(port_, &requested));
        EXPECT_TRUE(row.requested(requested)) << row.what;
        if (row.driver != nullptr) {
            termios driver{};
            ASSERT_EQ(::tcgetattr(pty_.Slave(), &driver), 0);
            EXPECT_TRUE(row.driver(driver)) << row.what;
        }
        DCB back;
        ASSERT_TRUE(Api().GetCommState(port_, &back));
        EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0) << row.what;
    }
}

TEST(PosixLine, StateBeforeAnySetCommStateComesFromTheDriver) {
    Pty pty;
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.Slave(), &t), 0);
    ::cfsetospeed(&t, B19200);
    ::cfsetispeed(&t, B19200);
    ASSERT_EQ(::tcsetattr(pty.Slave(), TCSANOW, &t), 0);
    const Handle port = Open(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_TRUE(Api().GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, 0);
    EXPECT_EQ(dcb.StopBits, 0);
    EXPECT_EQ(dcb.Flags & DCB_fBinary, DCB_fBinary);
    // Opening put the line in raw mode and cleared HUPCL.
    ASSERT_EQ(::tcgetattr(pty.Slave(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);
    EXPECT_TRUE(Api().CloseHandle(port));
}

TEST_F(PortTest, AnyBaudRateReachesTheDriver) {
    for (const std::uint32_t baud : {9600u, 250000u, 31250u, 1000000u, 12345u}) {
        DCB dcb = LineDcb(baud);
        ASSERT_TRUE(Api().SetCommState(port_, &dcb)) << baud;
        std::uint32_t actual = 0;
        ASSERT_EQ(posix::ReadDriverBaud(pty_.Slave(), &actual), 0);
        EXPECT_EQ(actual, baud);
    }
}

TEST_F(PortTest, InvalidDcbIsRefusedAndLeavesTheLineAsItWas) {
    DCB good = LineDcb(19200);
    ASSERT_TRUE(Api().SetCommState(port_, &good));
    const struct {
        const char* what;
        void (*change)(DCB&);
    } rows[] = {
        {"4 data bits", [](DCB& d) { d.ByteSize = 4; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"parity 5", [](DCB& d) { d.Parity = 5; }},
        {"stop bits 3", [](DCB& d) { d.StopBits = 3; }},
        {"baud 0", [](DCB& d) { d.BaudRate = 0; }},
        {"XON equals XOFF",
         [](DCB& d) {
             d.Flags |= DCB_fInX;
             d.XoffChar = d.XonChar;
         }},
    };
    for (const auto& row : rows) {
        DCB dcb = good;
        row.change(dcb);
        Api().SetLastError(0);
        EXPECT_FALSE(Api().SetCommState(port_, &dcb)) << row.what;
        EXPECT_EQ(Api().GetLastError(), ERROR_INVALID_PARAMETER) << row.what;
    }
    DCB back;
    ASSERT_TRUE(Api().GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
    termios driver{};
    ASSERT_EQ(::tcgetattr(pty_.Slave(), &driver), 0);
    EXPECT_EQ(cfgetospeed(&driver), B19200);
}

// ---- Read timeouts -----------------------------------------------------------------------

TEST_F(PortTest, ReadsQueueInOrderAndNullOverlappedBlocks) {
    SetTimeouts(Timeouts(0, 0, 0));
    Transfer a, b;
    char bufA[3], bufB[2];
    std::uint32_t n = 0;
    ASSERT_FALSE(Api().ReadFile(port_, bufA, 3, &n, &a.ov));
    // An Overlapped that is still in use is refused, and left as it is.
    EXPECT_FALSE(Api().ReadFile(port_, bufB, 2, &n, &a.ov));
    EXPECT_EQ(Api().GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_FALSE(Api().ReadFile(port_, bufB, 2, &n, &b.ov));
    pty_.Send("12345");
    ASSERT_TRUE(a.Result(port_, &n));
    EXPECT_EQ(std::string(bufA, n), "123");
    ASSERT_TRUE(b.Result(port_, &n));
    EXPECT_EQ(std::string(bufB, n), "45");

    std::thread sender([this] { pty_.Send("678"); });
    char bufC[3];
    EXPECT_TRUE(Api().ReadFile(port_, bufC, 3, &n, nullptr));
    sender.join();
    EXPECT_EQ(std::string(bufC, n), "678");
}

// ---- Write timeouts ------------------------------------------------------------------------

// ---- Events ------------------------------------------------------------------------------

TEST_F(PortTest, FullQueueWithFlowControlHoldsThePeerAndLosesNothing) {
    DCB dcb = LineDcb();
    dcb.Flags |= 2u << DCB_fRtsControlShift;
    ASSERT_TRUE(Api().SetCommState(port_, &dcb));
    ASSERT_TRUE(Api().SetupComm(port_, 64, 64));
    std::string data(20000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    std::thread sender([&] { pty_.Send(data); });
    std::string got;
    while (got.size() < data.size()) {
        ASSERT_TRUE(WaitQueued(1));
        got += ReadNow(50);
    }
    sender.join();
    EXPECT_EQ(got, data);
    std::uint32_t errors = 0;
    ASSERT_TRUE(Api().ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(errors & CE_RXOVER, 0u);
}

// With parity checking the tty doubles 0xFF (PARMRK); the port gives it
// back once.
TEST_F(PortTest, InputPathUndoesParityMarks) {
    DCB dcb = LineDcb();
    dcb.Flags |= DCB_fParity | DCB_fErrorChar;
    dcb.ErrorChar = '?';
    ASSERT_TRUE(Api().SetCommState(port_, &dcb));
    pty_.Send("x\xFFy\xFF\xFF");
    ASSERT_TRUE(WaitQueued(5));
    EXPECT_EQ(ReadNow(10), "x\xFFy\xFF\xFF");
}

// ---- Purge and close ------------------------------------------------------------------------

TEST(PosixClose, CloseEndsPendingTransfersAndTheEventWait) {
    Pty pty;
    const Handle port = Open(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const COMMTIMEOUTS t = Timeouts(0, 0, 0, 0, 0);
    ASSERT_TRUE(Api().SetCommTimeouts(port, &t));
    ASSERT_TRUE(Api().SetCommMask(port, EV_RXCHAR));
    Transfer r, w, e;
    char buf[10];
    std::uint32_t n = 0, mask = 0;
    ASSERT_FALSE(Api().ReadFile(port, buf, 10, &n, &r.ov));
    std::vector<char> big(4u << 20, 'w');
    ASSERT_FALSE(
        Api().WriteFile(port, big.data(), static_cast<std::uint32_t>(big.size()), &n, &w.ov));
    ASSERT_FALSE(Api().WaitCommEvent(port, &mask, &e.ov));
    ASSERT_TRUE(Api().CloseHandle(port));
    for (Transfer* x : {&r, &w, &e}) {
        ASSERT_TRUE(x->Wait());
        EXPECT_EQ(x->ov.Internal, ERROR_OPERATION_ABORTED);
    }
    EXPECT_FALSE(Api().ReadFile(port, buf, 10, &n, &r.ov));
    EXPECT_EQ(Api().GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- A device that goes away -----------------------------------------------------------------

TEST(PosixHangUp, PendingTransfersAndWaitEndWithAnErrorAndNothingSpins) {
    Pty pty;
    const Handle port = Open(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const COMMTIMEOUTS t = Timeouts(0, 0, 0, 0, 0);
    ASSERT_TRUE(Api().SetCommTimeouts(port, &t));
    ASSERT_TRUE(Api().SetCommMask(port, EV_RXCHAR | EV_TXEMPTY | EV_ERR));
    Transfer r, w, e;
    char buf[10];
    std::uint32_t n = 0, mask = 0;
    ASSERT_FALSE(Api().ReadFile(port, buf, 10, &n, &r.ov));
    std::vector<char> big(4u << 20, 'w');
    ASSERT_FALSE(
        Api().WriteFile(port, big.data(), static_cast<std::uint32_t>(big.size()), &n, &w.ov));
    ASSERT_FALSE(Api().WaitCommEvent(port, &mask, &e.ov));

    pty.CloseMaster();
    for (Transfer* x : {&r, &w, &e}) {
        ASSERT_TRUE(x->Wait());
        EXPECT_FALSE(Api().GetOverlappedResult(port, &x->ov, &n, false));
        EXPECT_EQ(Api().GetLastError(), ERROR_DEVICE_REMOVED);
    }
    // Later requests fail at once; a refused wait leaves its event reset, so
    // an event thread that waits on it again blocks instead of spinning.
    EXPECT_FALSE(Api().ReadFile(port, buf, 10, &n, &r.ov));
    EXPECT_EQ(Api().GetLastError(), ERROR_DEVICE_REMOVED);
    EXPECT_TRUE(r.Signalled());
    EXPECT_FALSE(Api().WriteFile(port, buf, 10, &n, &w.ov));
    EXPECT_EQ(Api().GetLastError(), ERROR_DEVICE_REMOVED);
    EXPECT_FALSE(Api().WaitCommEvent(port, &mask, &e.ov));
    EXPECT_EQ(Api().GetLastError(), ERROR_DEVICE_REMOVED);
    EXPECT_FALSE(e.Signalled());
    std::uint32_t errors = 0;
    EXPECT_TRUE(Api().ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors & CE_IOE, CE_IOE);

    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    EXPECT_LT(cpu, 0.1 * wall) << "CPU " << cpu << " s in " << wall << " s";
    EXPECT_TRUE(Api().CloseHandle(port));
}

// ---- Idle ------------------------------------------------------------------------------------

std::vector<std::string> Tasks() {
    std::vector<std::string> tasks;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.')
                tasks.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(tasks.begin(), tasks.end());
    return tasks;
}

// Voluntary context switches (a thread going to sleep) of the given threads
// of this process so far. Involuntary ones are left out: they count the
// machine's load (a thread preempted as it settles), not the port's wake-ups.
long Switches(const std::vector<std::string>& tasks) {
    long total = 0;
    for (const std::string& tid : tasks) {
        FILE* f = std::fopen(("/proc/self/task/" + tid + "/status").c_str(), "r");
        if (f == nullptr)
            continue;
        char line[256];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            long n = 0;
            if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1)
                total += n;
        }
        std::fclose(f);
    }
    return total;
}

// An idle open port wakes nobody up: neither its I/O thread nor a thread
// waiting for its events (a 10 ms poll would show 30 wake-ups here).
TEST(PosixIdle, AnIdlePortHasNoPeriodicWakeUps) {
    Pty pty;
    const auto before = Tasks();
    const Handle port = Open(pty);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Api().SetCommMask(port, EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                                            EV_RING | EV_ERR | EV_BREAK | EV_RXFLAG | EV_RX80FULL));
    Transfer t;
    std::uint32_t mask = 0;
    ASSERT_FALSE(Api().WaitCommEvent(port, &mask, &t.ov));
    std::thread waiter([&] { t.Wait(60000); });
    // Let both settle, then count over a stretch of idleness.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<std::string> ours;
    const auto after = Tasks();
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(ours));
    ASSERT_GE(ours.size(), 2u); // the I/O thread and the waiter
    const long start = Switches(ours);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long woken = Switches(ours) - start;
    EXPECT_LE(woken, 4) << "wake-ups of the port's threads while idle";
    pty.Send("x");
    waiter.join();
    EXPECT_TRUE(Api().CloseHandle(port));
}

// ---- Bulk transfer ------------------------------------------------------------------------------

// 16 MiB of random bytes in random chunk sizes, each way, byte for byte.
TEST_F(PortTest, SixteenMegabytesArriveExactBothWays) {
    DCB dcb = LineDcb(4000000);
    dcb.Flags |= 2u << DCB_fRtsControlShift; // hold the far end instead of dropping
    ASSERT_TRUE(Api().SetCommState(port_, &dcb));
    ASSERT_TRUE(Api().SetupComm(port_, 65536, 65536));
    ASSERT_TRUE(Api().SetCommMask(port_, EV_RXCHAR));
    SetTimeouts(Timeouts(MAXDWORD, 0, 0));
    std::mt19937 rng(20240611);
    std::string data(16u << 20, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());

    // Far end → port, read as events arrive.
    std::thread sender([&] {
        std::mt19937 chunks(1);
        for (std::size_t pos = 0; pos < data.size();) {
            const std::size_t n = std::min<std::size_t>(1 + chunks() % 9000, data.size() - pos);
            pty_.SendBytes(data.data() + pos, n);
            pos += n;
        }
    });
    std::string got;
    got.reserve(data.size());
    std::vector<char> buf(65536);
    while (got.size() < data.size()) {
        const std::uint32_t events = NextEvents();
        ASSERT_NE(events, 0xFFFFFFFFu);
        for (;;) {
            std::uint32_t n = 0;
            const auto want = static_cast<std::uint32_t>(1 + rng() % buf.size());
            ASSERT_TRUE(Api().ReadFile(port_, buf.data(), want, &n, nullptr));
            got.append(buf.data(), n);
            if (n == 0)
                break;
        }
    }
    sender.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);

    // Port → far end, written in random chunks, overlapped.
    std::string back;
    std::thread receiver([&] { back = pty_.Receive(data.size()); });
    for (std::size_t pos = 0; pos < data.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 70000, data.size() - pos);
        Transfer w;
        std::uint32_t written = 0;
        if (!Api().WriteFile(port_, data.data() + pos, static_cast<std::uint32_t>(n), &written,
                             &w.ov)) {
            ASSERT_EQ(Api().GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(w.Result(port_, &written));
        }
        ASSERT_EQ(written, n);
        pos += n;
    }
    receiver.join();
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
}

// The component's event thread: WaitCommEvent, then a wait on a stop event
// and the overlapped event together; events come through it, and the stop
// event set from another thread ends the wait at once.
TEST_F(PortTest, EventThreadPatternDeliversEventsAndStops) {
    ASSERT_TRUE(Api().SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    const Handle stop = Api().CreateEventA(true, false);
    Transfer t;
    const Handle waits[] = {stop, t.ov.hEvent};
    std::atomic<int> batches{0};
    std::string received;
    std::thread thread([&] {
        std::uint32_t mask = 0; // written until the wait ends, after the loop
        for (;;) {
            Api().WaitCommEvent(port_, &mask, &t.ov);
            const std::uint32_t r = Api().WaitForMultipleObjects(2, waits, false, INFINITE);
            if (r != WAIT_OBJECT_0 + 1)
                break;
            std::uint32_t n = 0;
            if (Api().GetOverlappedResult(port_, &t.ov, &n, false) && (mask & EV_RXCHAR) != 0) {
                char buf[64];
                Overlapped ov;
                if (Api().ReadFile(port_, buf, sizeof buf, &n, &ov))
                    received.append(buf, n);
                ++batches;
            }
        }
        Api().SetCommMask(port_, 0);
    });
    for (const char* part : {"one", "two", "three"}) {
        const int before = batches.load();
        pty_.Send(part);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (batches.load() == before && Clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_GT(batches.load(), before) << part;
    }
    // Bytes that come while nobody waits still reach the queue.
    ASSERT_TRUE(Api().SetEvent(stop));
    thread.join();
    pty_.Send("later");
    EXPECT_TRUE(WaitQueued(5));
    EXPECT_EQ(received + ReadNow(100), "onetwothreelater");
    Api().CloseHandle(stop);
}

// After a long wait on the port's event (the waiting thread reads the device
// itself meanwhile) bytes that come before the next call may still be in the
// tty: the next call takes them in first, so it counts every byte.
TEST_F(PortTest, BytesThatComeAfterAWaitAreCountedAtTheNextCall) {
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(Api().SetCommMask(port_, 0)); // forget the last round's events
        ASSERT_TRUE(Api().SetCommMask(port_, EV_RXCHAR));
        Transfer t;
        std::uint32_t mask = 0;
        ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &t.ov));
        std::thread sender([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30)); // a long wait
            pty_.Send("ab");
        });
        ASSERT_TRUE(t.Wait());
        sender.join();
        EXPECT_EQ(mask, EV_RXCHAR);
        pty_.Send("cdef");
        // Until the bytes are in the tty (or already taken in).
        const auto deadline = Clock::now() + std::chrono::milliseconds(500);
        int inTty = 0;
        while (Clock::now() < deadline && ::ioctl(pty_.Slave(), FIONREAD, &inTty) == 0 && inTty < 4)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(InQueue(), 6u) << round;
        EXPECT_EQ(ReadNow(10), "abcdef") << round;
    }
}

// ---- Events objects and waits
// ----------------------------------------------------------------------

TEST(PosixEvents, WaitForMultipleObjectsAnyAllAndTimeouts) {
    const Handle manual = Api().CreateEventA(true, false);
    const Handle autoReset = Api().CreateEventA(false, false);
    const Handle both[] = {manual, autoReset};

    EXPECT_EQ(Api().WaitForMultipleObjects(2, both, false, 0), WAIT_TIMEOUT);
    EXPECT_EQ(Api().WaitForMultipleObjects(2, both, false, 20), WAIT_TIMEOUT);
    ASSERT_TRUE(Api().SetEvent(autoReset));
    EXPECT_EQ(Api().WaitForMultipleObjects(2, both, false, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(Api().WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT) << "auto-reset consumed";

    ASSERT_TRUE(Api().SetEvent(manual));
    EXPECT_EQ(Api().WaitForMultipleObjects(2, both, true, 0), WAIT_TIMEOUT);
    EXPECT_EQ(Api().WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "manual stays set";

    // A waiter on another thread is released by SetEvent, for any and all.
    std::uint32_t result = WAIT_FAILED;
    std::thread waiter([&] { result = Api().WaitForMultipleObjects(2, both, true, INFINITE); });
    ASSERT_TRUE(Api().SetEvent(autoReset));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_EQ(Api().WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(Api().ResetEvent(manual));
    EXPECT_EQ(Api().WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    const Handle twice[] = {manual, manual};
    EXPECT_EQ(Api().WaitForMultipleObjects(2, twice, true, 0), WAIT_FAILED);
    EXPECT_EQ(Api().GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Api().WaitForMultipleObjects(0, both, false, 0), WAIT_FAILED);
    EXPECT_TRUE(Api().CloseHandle(manual));
    EXPECT_EQ(Api().WaitForSingleObject(manual, 0), WAIT_FAILED);
    EXPECT_EQ(Api().GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(Api().CloseHandle(autoReset));
}

TEST(PosixEvents, AutoResetEventReleasesOneWaiterPerSignal) {
    const Handle event = Api().CreateEventA(false, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
        waiters.emplace_back([&] {
            if (Api().WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0)
                ++released;
        });
    // Each signal releases exactly one waiter (a signal on an event that is
    // already set is lost, as on Windows: wait for each release first).
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(Api().SetEvent(event));
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (released.load() < i + 1 && Clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(released.load(), i + 1);
    }
    for (auto& w : waiters)
        w.join();
    EXPECT_EQ(released.load(), 4);
    EXPECT_EQ(Api().WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    Api().CloseHandle(event);
}

TEST(PosixEvents, LastErrorIsPerThreadAndTickCountAdvances) {
    Api().SetLastError(1234);
    std::uint32_t other = 0;
    std::thread([&] {
        Api().SetLastError(99);
        other = Api().GetLastError();
    }).join();
    EXPECT_EQ(other, 99u);
    EXPECT_EQ(Api().GetLastError(), 1234u);
    const std::uint32_t t0 = Api().GetTickCount();
    Api().Sleep(20);
    EXPECT_GE(Api().GetTickCount() - t0, 20u);
}

} // namespace
