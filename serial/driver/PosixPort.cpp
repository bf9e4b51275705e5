// The POSIX port: opening the device, closing it, and what the port's
// parts share.

#include "serial/driver/PosixPort.h"

#include "serial/driver/PosixCommApi.h"
#include "serial/driver/PosixTermios.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

namespace comm::posix {

namespace {

constexpr char kIoThreadName[] = "rc-port-io"; // at most 15 characters
constexpr std::size_t kScratch = 64u << 10;

// Ports open in this process, by device number and inode: a second handle to
// the same device is refused before the device is opened again.
std::mutex& OpenPortsMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::set<std::pair<std::uint64_t, std::uint64_t>>& OpenPorts() {
    static auto* ports = new std::set<std::pair<std::uint64_t, std::uint64_t>>;
    return *ports;
}

void ReleaseDevice(std::uint64_t dev, std::uint64_t ino) {
    std::lock_guard<std::mutex> lock(OpenPortsMutex());
    OpenPorts().erase({dev, ino});
}

} // namespace

bool Port::IsGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

std::chrono::milliseconds Port::Ms(std::uint64_t ms) {
    return std::chrono::milliseconds(std::min<std::uint64_t>(ms, 1ull << 33));
}

int Port::ModemLines(int fd, bool* ok) {
    int lines = 0;
    *ok = ::ioctl(fd, TIOCMGET, &lines) == 0;
    return lines;
}

void Port::SetLines(int fd, int lines, bool on) {
    if (lines != 0)
        ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

std::unique_lock<std::mutex> Port::Enter(bool catchUp) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!closed_) {
        if (catchUp)
            CatchUp(lock);
        else
            ResumeInput();
    }
    if (closed_)
        lock.unlock();
    return lock;
}

// ---- Open and close ------------------------------------------------------------

Port::Port(int fd, int wakeRead, int wakeWrite, std::uint64_t dev, std::uint64_t ino)
    : fd_(fd), wakeRead_(wakeRead), wakeWrite_(wakeWrite), dev_(dev), ino_(ino),
      scratch_(kScratch) {}

std::shared_ptr<Port> Port::Open(const std::string& path, std::uint32_t* error) {
    struct stat st {};
    if (path.empty()) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (::stat(path.c_str(), &st) != 0) {
        *error = ErrorFromErrno(errno);
        return nullptr;
    }
    if (!S_ISCHR(st.st_mode)) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    const auto dev = static_cast<std::uint64_t>(st.st_rdev);
    const auto ino = static_cast<std::uint64_t>(st.st_ino);
    {
        std::lock_guard<std::mutex> lock(OpenPortsMutex());
        if (!OpenPorts().insert({dev, ino}).second) {
            *error = ERROR_ACCESS_DENIED;
            return nullptr;
        }
    }
    const auto fail = [&](int fd, std::uint32_t code) -> std::shared_ptr<Port> {
        if (fd >= 0)
            ::close(fd);
        ReleaseDevice(dev, ino);
        *error = code;
        return nullptr;
    };

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(-1, ErrorFromErrno(errno));
    // A terminal is what answers the terminal query (isatty() asks the same
    // of the kernel, but a device emulated in user space answers only the
    // call itself).
    termios probe{};
    if (::tcgetattr(fd, &probe) != 0)
        return fail(fd, ERROR_INVALID_PARAMETER);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(fd, ErrorFromErrno(errno));
    if (::ioctl(fd, TIOCEXCL) != 0)
        return fail(fd, ErrorFromErrno(errno));

    bool hasLines = false;
    ModemLines(fd, &hasLines);
    if (hasLines)
        SetLines(fd, TIOCM_DTR | TIOCM_RTS, false);

    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return fail(fd, ErrorFromErrno(errno));
    // Raw at the current speed until SetCommState; HUPCL off so that closing
    // does not drop lines behind the caller's back.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        return fail(fd, ErrorFromErrno(errno));

    bool lowLatency = false;
#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    {
        struct serial_struct serial {};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            // A driver without it just says no.
            lowLatency = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
        }
    }
#endif

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(fd, ErrorFromErrno(errno));

    std::shared_ptr<Port> port(new Port(fd, pipeFds[0], pipeFds[1], dev, ino));
    port->hasLines_ = hasLines;
    port->lowLatency_ = lowLatency;
    port->queue_.Resize(rules::kDefaultInputSize);
    std::uint32_t baud = 0;
    if (GetAnyBaud(fd, &baud) != 0 || baud == 0)
        baud = SpeedValue(cfgetospeed(&t));
    port->baud_ = baud != 0 ? baud : 9600;
#if defined(TIOCGICOUNT)
    {
        struct serial_icounter_struct icount {};
        if (::ioctl(fd, TIOCGICOUNT, &icount) == 0) {
            port->hasCounters_ = true;
            port->counters_ = {icount.frame, icount.overrun, icount.parity, icount.brk,
                               icount.buf_overrun};
        }
    }
#endif
    port->thread_ = std::thread([raw = port.get()] {
#if defined(__linux__)
        // Named, so that a debugger, top -H and the tests can tell it.
        ::pthread_setname_np(::pthread_self(), kIoThreadName);
#endif
        raw->Run();
    });
    return port;
}

Port::~Port() {
    Close();
    // Closed only now, not in Close(): a thread pumping this port may still
    // be polling the descriptor, and it holds the port alive while it does.
    ::close(fd_);
}

void Port::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        CompleteAll(reads_, ERROR_OPERATION_ABORTED);
        CompleteAll(writes_, ERROR_OPERATION_ABORTED);
        if (wait_) {
            Op op = std::move(*wait_);
            wait_.reset();
            *op.maskOut = 0;
            Complete(op, ERROR_OPERATION_ABORTED);
        }
        Wake();
    }
    if (thread_.joinable())
        thread_.join();
    // The Windows driver drops DTR and RTS when the port is closed.
    if (hasLines_ && !removed_)
        SetLines(fd_, TIOCM_DTR | TIOCM_RTS, false);
#if defined(TIOCSRS485) && defined(SER_RS485_ENABLED)
    if (hasRs485_) {
        struct serial_rs485 rs485 {};
        ::ioctl(fd_, TIOCSRS485, &rs485);
    }
#endif
#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    // The flag stays with the device after the close (ftdi_sio's latency
    // timer, for whatever program opens it next, and for every adapter the
    // port scan probed): put back what open found.
    if (lowLatency_ && !removed_) {
        struct serial_struct serial {};
        if (::ioctl(fd_, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~ASYNC_LOW_LATENCY;
            ::ioctl(fd_, TIOCSSERIAL, &serial);
        }
    }
#endif
    ::ioctl(fd_, TIOCNXCL);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    ReleaseDevice(dev_, ino_);
}
} // namespace comm::posix
