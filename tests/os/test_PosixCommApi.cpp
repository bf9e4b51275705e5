// The POSIX backend on pseudo-terminal pairs: the test holds the master side
// as the "far end" and opens the slave through a symlink as the port.

#include "serial/os/CommApi.h"
#include "serial/os/PosixCommApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <random>
#include <string>
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

// A pseudo-terminal pair with a symlink to its slave in a temporary folder.
class Pty {
public:
    Pty() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        slave_ = slave;
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        char dir[] = "/tmp/rc-pty-XXXXXX";
        dir_ = ::mkdtemp(dir);
        link_ = dir_ + "/port";
        if (::symlink(name, link_.c_str()) != 0)
            throw std::runtime_error("symlink failed");
    }
    ~Pty() {
        CloseMaster();
        if (slave_ >= 0)
            ::close(slave_);
        ::unlink(link_.c_str());
        ::rmdir(dir_.c_str());
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    std::string Name() const { return "\\\\.\\" + link_; }
    int master() const { return master_; }
    int slave() const { return slave_; }
    void CloseMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    void Send(const std::string& bytes) const { SendBytes(bytes.data(), bytes.size()); }
    void SendBytes(const void* data, std::size_t size) const {
        const auto* p = static_cast<const std::uint8_t*>(data);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (size > 0 && Clock::now() < deadline) {
            const ssize_t n = ::write(master_, p, size);
            if (n > 0) {
                p += n;
                size -= static_cast<std::size_t>(n);
            } else {
                pollfd fd{master_, POLLOUT, 0};
                ::poll(&fd, 1, 100);
            }
        }
        ASSERT_EQ(size, 0u) << "far end could not send";
    }
    // Reads exactly n bytes from the far end, waiting at most 20 s.
    std::string Receive(std::size_t n) const {
        std::string out;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (out.size() < n && Clock::now() < deadline) {
            char buf[65536];
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) {
                out.append(buf, static_cast<std::size_t>(r));
            } else {
                pollfd fd{master_, POLLIN, 0};
                ::poll(&fd, 1, 100);
            }
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string dir_;
    std::string link_;
};

Handle Open(const Pty& pty) {
    return Api().CreateFileA(pty.Name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
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

[[maybe_unused]] double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// ---- Names and opening -------------------------------------------------------------

TEST(PosixNames, DevicePathFollowsWindowsNames) {
    const struct {
        const char* given;
        const char* path;
    } rows[] = {
        {"\\\\.\\ttyUSB0", "/dev/ttyUSB0"},
        {"ttyS1", "/dev/ttyS1"},
        {"\\\\.\\/tmp/x/port", "/tmp/x/port"},
        {"/dev/pts/3", "/dev/pts/3"},
        {"\\\\.\\", ""},
        {"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(posix::DevicePath(row.given), row.path) << row.given;
    EXPECT_EQ(posix::DevicePath(nullptr), "");
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
        ::setenv("RC_POSIX_OPEN_CHILD", pty.Name().c_str(), 1);
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
    const std::size_t fds = CountEntries("/proc/self/fd");
    const std::size_t tasks = CountEntries("/proc/self/task");
    for (int i = 0; i < 1000; ++i) {
        const Handle h = Open(pty);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << i;
        ASSERT_TRUE(Api().CloseHandle(h));
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), tasks);
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

TEST_F(PortTest, EventsBetweenWaitsAreKeptForTheNextWait) {
    ASSERT_TRUE(Api().SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    pty_.Send("x");
    ASSERT_TRUE(WaitQueued(1));
    // Already recorded: the wait completes at once and signals its event.
    Transfer t;
    std::uint32_t mask = 0;
    ASSERT_TRUE(Api().WaitCommEvent(port_, &mask, &t.ov));
    EXPECT_EQ(mask, EV_RXCHAR);
    EXPECT_TRUE(t.Signalled());
}

TEST_F(PortTest, SetCommMaskEndsAPendingWaitWithMaskZero) {
    ASSERT_TRUE(Api().SetCommMask(port_, EV_RXCHAR));
    Transfer t;
    std::uint32_t mask = 0xFF;
    ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &t.ov));
    ASSERT_EQ(Api().GetLastError(), ERROR_IO_PENDING);
    std::uint32_t n = 0;
    EXPECT_FALSE(Api().GetOverlappedResult(port_, &t.ov, &n, false));
    EXPECT_EQ(Api().GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(Api().SetCommMask(port_, EV_RXCHAR));
    ASSERT_TRUE(t.Wait());
    EXPECT_TRUE(Api().GetOverlappedResult(port_, &t.ov, &n, false));
    EXPECT_EQ(mask, 0u);
}

} // namespace
