#include "serial/os/PosixPort.h"

#include "serial/os/PosixCommApi.h"
#include "serial/os/PosixTermios.h"

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

// Overlapped::Internal while a transfer is pending (Windows' STATUS_PENDING).
constexpr std::uintptr_t kPending = 0x103;
constexpr char kIoThreadName[] = "rc-port-io"; // at most 15 characters
constexpr std::size_t kMaxQueue = 64u << 20;
constexpr std::size_t kScratch = 64u << 10;
constexpr std::size_t kLargeRead = 1024; // a read this large: the device streams
constexpr auto kModemPeriod = std::chrono::milliseconds(10);
// When the I/O thread, having left the device to a pumping waiter, looks
// once whether the pump has ended.
constexpr auto kYieldCheck = std::chrono::milliseconds(2);
constexpr std::uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

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

// errno values by which a tty tells that its device has gone away.
bool IsGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

std::chrono::milliseconds Ms(std::uint64_t ms) {
    // Bounded so that a time point far in the future does not overflow.
    return std::chrono::milliseconds(std::min<std::uint64_t>(ms, 1ull << 33));
}

int ModemLines(int fd, bool* ok) {
    int lines = 0;
    *ok = ::ioctl(fd, TIOCMGET, &lines) == 0;
    return lines;
}

void SetLines(int fd, int lines, bool on) {
    if (lines != 0)
        ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
}

} // namespace

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

#if defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
    {
        struct serial_struct serial {};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            ::ioctl(fd, TIOCSSERIAL, &serial); // a driver without it just says no
        }
    }
#endif

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(fd, ErrorFromErrno(errno));

    std::shared_ptr<Port> port(new Port(fd, pipeFds[0], pipeFds[1], dev, ino));
    port->hasLines_ = hasLines;
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
    ::ioctl(fd_, TIOCNXCL);
    ::close(wakeRead_);
    ::close(wakeWrite_);
    ReleaseDevice(dev_, ino_);
}

// ---- Settings ------------------------------------------------------------------

std::uint32_t Port::Setup(std::uint32_t inQueue, std::uint32_t /*outQueue*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    if (inQueue == 0 || inQueue > kMaxQueue)
        return ERROR_INVALID_PARAMETER;
    if (inQueue != queue_.Capacity()) {
        if (queue_.Resize(inQueue) != 0)
            errors_.Add(CE_RXOVER);
        Wake();
    }
    return ERROR_SUCCESS;
}

std::uint32_t Port::SetState(const DCB& dcb) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    if (removed_)
        return ERROR_DEVICE_REMOVED;
    if (const std::uint32_t invalid = ValidateDcb(dcb); invalid != ERROR_SUCCESS)
        return invalid;
    termios old{};
    if (::tcgetattr(fd_, &old) != 0)
        return ErrorFromErrno(errno);
    termios t = old;
    bool anyBaud = false;
    if (const std::uint32_t invalid = DcbToTermios(dcb, &t, &anyBaud); invalid != ERROR_SUCCESS)
        return invalid;

    const std::uint32_t oldBaud = baud_;
    const auto restore = [&] {
        ::tcsetattr(fd_, TCSANOW, &old);
        if (SpeedConstant(oldBaud) == 0)
            SetAnyBaud(fd_, oldBaud);
    };
    int rc = ::tcsetattr(fd_, TCSANOW, &t);
    if (rc != 0 && errno == EINVAL && !hasLines_ && (t.c_cflag & CSIZE) != CS8) {
        // A pseudo-terminal has no wire and runs 8 data bits only; some
        // kernels refuse the others outright instead of keeping 8.
        termios eight = t;
        eight.c_cflag = (eight.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
        rc = ::tcsetattr(fd_, TCSANOW, &eight);
    }
    if (rc != 0) {
        const int e = errno;
        restore();
        return ErrorFromErrno(e);
    }
    if (anyBaud) {
        if (const int e = SetAnyBaud(fd_, dcb.BaudRate); e != 0) {
            restore();
            return ErrorFromErrno(e);
        }
    }
    termios got{};
    std::uint32_t actual = 0;
    if (::tcgetattr(fd_, &got) != 0) {
        const int e = errno;
        restore();
        return ErrorFromErrno(e);
    }
    if (GetAnyBaud(fd_, &actual) != 0)
        actual = SpeedValue(cfgetospeed(&got));
    // Drivers round the rate to what their clock divides to; within 3 % the
    // line still works.
    const std::uint64_t diff =
        actual > dcb.BaudRate ? actual - dcb.BaudRate : dcb.BaudRate - actual;
    const bool baudOk = actual == 0 || diff * 100 <= std::uint64_t{dcb.BaudRate} * 3;
    if (!baudOk || !EssentialsMatch(t, got, !hasLines_)) {
        restore();
        return ERROR_INVALID_PARAMETER;
    }
    requested_ = t;
    haveRequested_ = true;
    baud_ = dcb.BaudRate;
    if (!dcb_ || ((dcb_->Flags ^ dcb.Flags) & DCB_fParity) != 0)
        markState_ = 0;
    dcb_ = dcb;
    ApplyLines(dcb);
    Wake();
    return ERROR_SUCCESS;
}

std::uint32_t Port::ApplyLines(const DCB& dcb) {
    const std::uint32_t dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    const std::uint32_t rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
#if defined(TIOCSRS485) && defined(SER_RS485_ENABLED) && defined(SER_RS485_RTS_ON_SEND)
    if (rts == 3) {
        struct serial_rs485 rs485 {};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        hasRs485_ = ::ioctl(fd_, TIOCSRS485, &rs485) == 0;
    } else if (hasRs485_) {
        struct serial_rs485 rs485 {};
        ::ioctl(fd_, TIOCSRS485, &rs485);
        hasRs485_ = false;
    }
#endif
    softToggle_ = rts == 3 && !hasRs485_ && hasLines_;
    if (!hasLines_)
        return ERROR_SUCCESS;
    SetLines(fd_, TIOCM_DTR, dtr != 0);
    if (rts == 1 || rts == 2)
        SetLines(fd_, TIOCM_RTS, true);
    else if (rts == 0 || softToggle_)
        SetLines(fd_, TIOCM_RTS, softToggle_ && (!writes_.empty() || draining_));
    return ERROR_SUCCESS;
}

std::uint32_t Port::GetState(DCB* dcb) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    if (dcb_) {
        *dcb = *dcb_;
        return ERROR_SUCCESS;
    }
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
        return ErrorFromErrno(errno);
    *dcb = DcbFromTermios(t, baud_);
    return ERROR_SUCCESS;
}

std::uint32_t Port::RequestedTermios(termios* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (!haveRequested_) {
        if (::tcgetattr(fd_, out) != 0)
            return ErrorFromErrno(errno);
        return ERROR_SUCCESS;
    }
    *out = requested_;
    return ERROR_SUCCESS;
}

std::uint32_t Port::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    if (!rules::TimeoutsAccepted(timeouts))
        return ERROR_INVALID_PARAMETER;
    timeouts_ = timeouts;
    return ERROR_SUCCESS;
}

std::uint32_t Port::GetTimeouts(COMMTIMEOUTS* timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    *timeouts = timeouts_;
    return ERROR_SUCCESS;
}

std::uint32_t Port::ClearError(std::uint32_t* errors, COMSTAT* stat) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    CatchUp(lock);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    const std::uint32_t reported = errors_.Take();
    if (errors != nullptr)
        *errors = reported;
    if (stat != nullptr) {
        std::uint64_t out = 0;
        for (const Op& op : writes_)
            out += op.count - op.done;
        int outq = 0;
        if (!removed_ && ::ioctl(fd_, TIOCOUTQ, &outq) == 0 && outq > 0)
            out += static_cast<std::uint64_t>(outq);
        *stat = rules::QueueStatus(queue_.Size(), out);
    }
    return ERROR_SUCCESS;
}

std::uint32_t Port::ModemStatus(std::uint32_t* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    if (removed_)
        return ERROR_DEVICE_REMOVED;
    *status = 0;
    if (!hasLines_)
        return ERROR_SUCCESS;
    int lines = 0;
    if (::ioctl(fd_, TIOCMGET, &lines) != 0)
        return ErrorFromErrno(errno);
    if ((lines & TIOCM_CTS) != 0)
        *status |= MS_CTS_ON;
    if ((lines & TIOCM_DSR) != 0)
        *status |= MS_DSR_ON;
    if ((lines & TIOCM_RI) != 0)
        *status |= MS_RING_ON;
    if ((lines & TIOCM_CD) != 0)
        *status |= MS_RLSD_ON;
    return ERROR_SUCCESS;
}

std::uint32_t Port::Purge(std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    const auto purge = rules::PlanPurge(flags);
    if (!purge)
        return ERROR_INVALID_PARAMETER;
    if (purge->AbortWrites)
        CompleteAll(writes_, ERROR_OPERATION_ABORTED);
    if (purge->AbortReads)
        CompleteAll(reads_, ERROR_OPERATION_ABORTED);
    if (purge->ClearOutput && !removed_)
        ::tcflush(fd_, TCOFLUSH);
    if (purge->ClearInput) {
        queue_.Clear();
        markState_ = 0;
        if (!removed_)
            ::tcflush(fd_, TCIFLUSH);
    }
    Wake();
    return ERROR_SUCCESS;
}

std::uint32_t Port::SetMask(std::uint32_t mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    const bool polled = ModemPolling();
    events_.SetMask(mask);
    if (wait_) {
        Op op = std::move(*wait_);
        wait_.reset();
        *op.maskOut = 0;
        Complete(op, ERROR_SUCCESS);
    }
    if (!polled && ModemPolling()) {
        bool ok = false;
        lastLines_ = ModemLines(fd_, &ok);
        modemCheck_ = Clock::now() + kModemPeriod;
        Wake();
    }
    return ERROR_SUCCESS;
}

std::uint32_t Port::GetMask(std::uint32_t* mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    *mask = events_.Mask();
    return ERROR_SUCCESS;
}

// ---- Transfers -------------------------------------------------------------------

// Takes ov for a new read or write: the caller's count is 0 and ov is pending
// until the transfer completes; its event is reset.
Port::Op Port::NewTransfer(Op::Kind kind, Overlapped* ov, std::shared_ptr<EventObject> event,
                           std::uint8_t* buffer, std::uint32_t count, std::uint32_t* transferred) {
    if (transferred != nullptr)
        *transferred = 0;
    ov->Internal = kPending;
    ov->InternalHigh = 0;
    if (event)
        ClearEvent(*event);
    Op op;
    op.kind = kind;
    op.ov = ov;
    op.event = std::move(event);
    op.buffer = buffer;
    op.count = count;
    return op;
}

std::uint32_t Port::Read(void* buffer, std::uint32_t count, std::uint32_t* read, Overlapped* ov,
                         std::shared_ptr<EventObject> event) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    CatchUp(lock);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    // An Overlapped belongs to one transfer until it completes.
    if (Pending(ov))
        return ERROR_INVALID_PARAMETER;
    Op op = NewTransfer(Op::Kind::Read, ov, std::move(event), static_cast<std::uint8_t*>(buffer),
                        count, read);
    if (count == 0) {
        Complete(op, ERROR_SUCCESS);
        return ERROR_SUCCESS;
    }
    if (removed_ && queue_.Size() == 0) {
        Complete(op, ERROR_DEVICE_REMOVED);
        return ERROR_DEVICE_REMOVED;
    }
    const auto now = Clock::now();
    if (reads_.empty()) {
        StartRead(op, now);
        const bool satisfied = op.plan.EndsWith(op.done, op.count) || removed_;
        if (satisfied) {
            const std::uint32_t error =
                removed_ && op.done == 0 ? ERROR_DEVICE_REMOVED : ERROR_SUCCESS;
            Complete(op, error);
            if (read != nullptr && error == ERROR_SUCCESS)
                *read = op.done;
            return error;
        }
    }
    if (op.event)
        SetEventPump(*op.event, weak_from_this());
    reads_.push_back(std::move(op));
    WatchDeadlines();
    return ERROR_IO_PENDING;
}

std::uint32_t Port::Write(const void* buffer, std::uint32_t count, std::uint32_t* written,
                          Overlapped* ov, std::shared_ptr<EventObject> event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    ResumeInput();
    if (Pending(ov))
        return ERROR_INVALID_PARAMETER;
    // The bytes are only read; the buffer is the caller's until completion.
    Op op = NewTransfer(Op::Kind::Write, ov, std::move(event),
                        const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), count,
                        written);
    if (count == 0) {
        Complete(op, ERROR_SUCCESS);
        return ERROR_SUCCESS;
    }
    if (removed_) {
        Complete(op, ERROR_DEVICE_REMOVED);
        return ERROR_DEVICE_REMOVED;
    }
    const auto now = Clock::now();
    if (writes_.empty()) {
        StartWrite(op, now);
        const int e = WriteSome(op);
        if (e != 0 && IsGone(e)) {
            HangUp();
            Complete(op, ERROR_DEVICE_REMOVED);
            return ERROR_DEVICE_REMOVED;
        }
        if (e != 0) {
            Complete(op, ErrorFromErrno(e));
            return ErrorFromErrno(e);
        }
        if (op.done == op.count) {
            Complete(op, ERROR_SUCCESS);
            if (written != nullptr)
                *written = op.done;
            CheckDrained(now);
            if (drainCheck_)
                Wake();
            return ERROR_SUCCESS;
        }
    }
    writes_.push_back(std::move(op));
    Wake();
    return ERROR_IO_PENDING;
}

std::uint32_t Port::WaitEvent(std::uint32_t* mask, Overlapped* ov,
                              std::shared_ptr<EventObject> event) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    CatchUp(lock);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    // Reset even when the wait is refused below: a caller that waits on the
    // event again must block, not spin (Windows leaves it reset too).
    if (event)
        ClearEvent(*event);
    ov->InternalHigh = 0;
    *mask = 0;
    if (wait_ || !events_.CanWait()) {
        ov->Internal = ERROR_INVALID_PARAMETER;
        return ERROR_INVALID_PARAMETER;
    }
    Op op;
    op.kind = Op::Kind::Wait;
    op.ov = ov;
    op.event = std::move(event);
    op.maskOut = mask;
    if (events_.Kept() != 0) {
        ResumeInput();
        *mask = events_.Take();
        Complete(op, ERROR_SUCCESS);
        return ERROR_SUCCESS;
    }
    if (removed_) {
        ov->Internal = ERROR_DEVICE_REMOVED;
        return ERROR_DEVICE_REMOVED;
    }
    ov->Internal = kPending;
    if (op.event)
        SetEventPump(*op.event, weak_from_this());
    wait_ = std::move(op);
    return ERROR_IO_PENDING;
}

bool Port::Pending(const Overlapped* ov) const {
    const auto is = [ov](const Op& op) { return op.ov == ov; };
    return std::any_of(reads_.begin(), reads_.end(), is) ||
           std::any_of(writes_.begin(), writes_.end(), is) || (wait_ && wait_->ov == ov);
}

bool Port::OverlappedDone(const Overlapped* ov, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wait)
        return !Pending(ov);
    completed_.wait(lock, [&] { return !Pending(ov); });
    return true;
}

void Port::StartRead(Op& op, Clock::time_point now) {
    op.started = true;
    op.plan = rules::PlanRead(timeouts_, op.count);
    if (op.plan.Total)
        op.total = now + Ms(*op.plan.Total);
    PopInput(op.buffer + op.done, op.count - op.done, &op.done);
    if (op.done > 0 && op.plan.Interval != 0)
        op.intervalDeadline = now + Ms(op.plan.Interval);
}

void Port::StartWrite(Op& op, Clock::time_point now) {
    op.started = true;
    if (const auto total = rules::WriteDeadline(timeouts_, op.count))
        op.total = now + Ms(*total);
    if (softToggle_)
        SetRts(true);
}

int Port::WriteSome(Op& op) {
    while (op.done < op.count) {
        const ssize_t n = ::write(fd_, op.buffer + op.done, op.count - op.done);
        if (n > 0) {
            op.done += static_cast<std::uint32_t>(n);
            draining_ = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return n < 0 ? errno : EIO;
    }
    return 0;
}

void Port::PopInput(std::uint8_t* out, std::uint32_t count, std::uint32_t* done) {
    const std::size_t n = queue_.Pop(out, count);
    *done += static_cast<std::uint32_t>(n);
    if (n == 0)
        return;
    if (inputPaused_)
        Wake();
}

void Port::ServeReads(Clock::time_point now) {
    while (!reads_.empty()) {
        Op& op = reads_.front();
        if (!op.started) {
            StartRead(op, now);
        } else {
            const std::uint32_t before = op.done;
            PopInput(op.buffer + op.done, op.count - op.done, &op.done);
            if (op.done > before && op.plan.Interval != 0)
                op.intervalDeadline = now + Ms(op.plan.Interval);
        }
        if (op.plan.EndsWith(op.done, op.count)) {
            Complete(op, ERROR_SUCCESS);
            reads_.pop_front();
            continue;
        }
        if (removed_) {
            Complete(op, op.done > 0 ? ERROR_SUCCESS : ERROR_DEVICE_REMOVED);
            reads_.pop_front();
            continue;
        }
        break;
    }
}

void Port::Expire(Clock::time_point now) {
    while (!reads_.empty()) {
        Op& op = reads_.front();
        const bool expired = op.started && ((op.total && now >= *op.total) ||
                                            (op.intervalDeadline && now >= *op.intervalDeadline));
        if (!expired)
            break;
        Complete(op, ERROR_SUCCESS);
        reads_.pop_front();
        ServeReads(now);
    }
    while (!writes_.empty()) {
        Op& op = writes_.front();
        if (!op.started) {
            StartWrite(op, now);
            continue;
        }
        if (!op.total || now < *op.total)
            break;
        Complete(op, ERROR_SUCCESS);
        writes_.pop_front();
    }
}

// ---- The I/O thread -----------------------------------------------------------------

void Port::Wake() {
    if (wakePending_)
        return;
    wakePending_ = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
}

void Port::CatchUp(std::unique_lock<std::mutex>& lock) {
    // While neither a waiter nor the I/O thread watches the device (after a
    // pump, until the I/O thread takes it back), bytes wait in the kernel:
    // take them in now, at every call and not only at the first one, so
    // that each call sees what the Windows driver would have queued by now.
    // A handler that queries and reads thus gets, in one batch, what came
    // while its batch was handed over, and the next wait does not report
    // bytes that no call could see.
    if (pumping_ == 0 && !ioPollsInput_ && !removed_ && !closed_) {
        ReadInput(lock);
        WatchDeadlines();
    }
    ResumeInput();
}

void Port::WatchDeadlines() {
    const auto next = NextDeadline();
    if (next && (!ioDeadline_ || *next < *ioDeadline_))
        Wake();
}

void Port::ResumeInput() {
    if (resumeInput_ && pumping_ == 0) {
        resumeInput_ = false;
        // With its check still to come, the I/O thread takes the device
        // back then (within kYieldCheck); a waiter that waits again before
        // that costs nobody a wake-up.
        if (!yieldCheck_)
            Wake();
    }
}

bool Port::InputFlowControl() const {
    if (!dcb_)
        return false;
    const std::uint32_t rts = (dcb_->Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const std::uint32_t dtr = (dcb_->Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    return rts == 2 || dtr == 2 || (dcb_->Flags & DCB_fInX) != 0;
}

bool Port::ModemPolling() const {
    return hasLines_ && !removed_ && (events_.Mask() & kModemEvents) != 0;
}

std::optional<Port::Clock::time_point> Port::NextDeadline() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&](const std::optional<Clock::time_point>& t) {
        if (t && (!next || *t < *next))
            next = t;
    };
    if (!reads_.empty() && reads_.front().started) {
        consider(reads_.front().total);
        consider(reads_.front().intervalDeadline);
    }
    if (!writes_.empty())
        consider(writes_.front().total);
    consider(drainCheck_);
    consider(yieldCheck_);
    if (ModemPolling())
        consider(modemCheck_);
    return next;
}

void Port::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closed_) {
        short events = 0;
        bool yielded = false;
        if (!removed_) {
            inputPaused_ = InputFlowControl() && queue_.Space() == 0;
            // While a waiting thread pumps the port it alone reads the
            // device: a second thread woken by the same byte only competes
            // with it for the CPU.
            yielded = pumping_ > 0 || resumeInput_;
            if (yielded && ioPollsInput_)
                yieldCheck_ = Clock::now() + kYieldCheck;
            if (!inputPaused_ && !yielded)
                events |= POLLIN;
            if (!writes_.empty())
                events |= POLLOUT;
        }
        ioPollsInput_ = (events & POLLIN) != 0;
        // Left to a pumping waiter, the device is none of this thread's
        // business (the waiter sees a hang-up too): off its wait queues.
        const bool watch = !removed_ && (events != 0 || !yielded);
        pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {watch ? fd_ : -1, events, 0}};
        int timeout = -1;
        ioDeadline_ = NextDeadline();
        if (const auto next = ioDeadline_) {
            const auto left = *next - Clock::now();
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            timeout = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
        }
        lock.unlock();
        const int r = ::poll(fds, 2, timeout);
        const int pollError = errno;
        lock.lock();
        if (closed_)
            break;
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        wakePending_ = false;
        const auto now = Clock::now();
        if (yieldCheck_ && now >= *yieldCheck_) {
            yieldCheck_.reset();
            if (pumping_ == 0)
                resumeInput_ = false; // the pump has ended: take the device back
        }
        if (r < 0 && pollError != EINTR && !removed_) {
            HangUp();
        } else if (r > 0 && !removed_ && fds[1].revents != 0) {
            const short revents = fds[1].revents;
            const bool hangup = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                ReadInput(lock);
            if (!removed_ && (revents & POLLOUT) != 0)
                PushOutput(now);
            if (!removed_ && hangup)
                HangUp();
        }
        Expire(now);
        CheckDrained(now);
        CheckModem(now);
    }
}

void Port::ReadInput(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    std::lock_guard<std::mutex> reading(readMutex_);
    lock.lock();
    for (int round = 0; round < 4 && !removed_ && !closed_; ++round) {
        std::size_t want = scratch_.size();
        if (InputFlowControl())
            want = std::min(want, queue_.Space());
        if (want == 0)
            break;
        // The read itself runs unlocked so that callers are not held up.
        lock.unlock();
        const ssize_t n = ::read(fd_, scratch_.data(), want);
        const int error = errno;
        lock.lock();
        if (closed_)
            break;
        if (n > 0) {
            zeroReads_ = 0;
            Ingest(scratch_.data(), static_cast<std::size_t>(n), Clock::now());
            // A tty hands over what its line discipline holds (4 KiB on
            // Linux) and is refilled meanwhile: after a large read more is
            // likely there already, and taking it now makes one batch for
            // the waiter instead of several. After a small read (a byte, a
            // frame) the device is most likely empty: no read for nothing.
            if (static_cast<std::size_t>(n) < want && static_cast<std::size_t>(n) < kLargeRead)
                break;
            continue;
        }
        if (n == 0) {
            // A tty says end of input only when it has hung up; make sure
            // with a write, which fails on a device that has gone away, and
            // never spin on repeated end-of-input.
            if ((::write(fd_, scratch_.data(), 0) < 0 && IsGone(errno)) || ++zeroReads_ > 3)
                HangUp();
            break;
        }
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK) {
            if (IsGone(error))
                HangUp();
            else
                errors_.Add(CE_IOE);
        }
        break;
    }
    if (hasCounters_ && !removed_ && !closed_)
        CheckCounters();
}

bool Port::Pump(int wakeFd, int timeoutMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || removed_ || (InputFlowControl() && queue_.Space() == 0))
            return false;
        ++pumping_;
        resumeInput_ = false;
        if (ioPollsInput_)
            Wake(); // takes the I/O thread off the device's wait queue
    }
    // fd_ stays open while this port object lives, and the caller holds it.
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const int r = ::poll(fds, 2, timeoutMs);
    if (r > 0 && fds[1].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd, &count, sizeof count);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (r > 0 && fds[0].revents != 0 && !closed_ && !removed_) {
        ReadInput(lock);
        if (!closed_ && !removed_ && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            HangUp();
    }
    --pumping_;
    if (closed_)
        return true;
    // The watch over a timeout that started now (the interval after a byte)
    // is the I/O thread's: wake it if it sleeps past it.
    WatchDeadlines();
    // The device goes back to the I/O thread at the next call on the port
    // or at the thread's own check: not now, which would cost the waiter a
    // wake-up of another thread before it can go on. Until the I/O thread
    // watches it again, each call takes in what has come (see CatchUp).
    if (pumping_ == 0)
        resumeInput_ = true;
    return true;
}

void Port::Ingest(std::uint8_t* bytes, std::size_t count, Clock::time_point now) {
    const std::uint32_t flags = dcb_ ? dcb_->Flags : 0;
    const bool marked = (flags & DCB_fParity) != 0;
    const bool replace = (flags & DCB_fErrorChar) != 0;
    const bool discardNull = (flags & DCB_fNull) != 0;
    const auto errorChar = static_cast<std::uint8_t>(dcb_ ? dcb_->ErrorChar : 0);

    std::uint32_t lineErrors = 0;
    std::size_t out = count; // the usual case: the bytes go in as they came
    if (marked) {
        out = 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::uint8_t c = bytes[i];
            // PARMRK: 0xFF 0xFF is a 0xFF byte, 0xFF 0x00 c a byte c received
            // with a parity or framing error, 0xFF 0x00 0x00 a break.
            if (markState_ == 0 && c == 0xFF) {
                markState_ = 1;
                continue;
            }
            if (markState_ == 1) {
                markState_ = 0;
                if (c == 0x00) {
                    markState_ = 2;
                    continue;
                }
            } else if (markState_ == 2) {
                markState_ = 0;
                if (c == 0x00) {
                    lineErrors |= CE_BREAK;
                    continue;
                }
                lineErrors |= CE_RXPARITY;
                if (replace)
                    c = errorChar;
            }
            bytes[out++] = c;
        }
    }
    if (discardNull)
        out = rules::DiscardNulls(bytes, out);
    std::uint32_t events = 0;
    if (lineErrors != 0 && !hasCounters_) {
        errors_.Add(lineErrors);
        if ((lineErrors & CE_RXPARITY) != 0)
            events |= EV_ERR;
        if ((lineErrors & CE_BREAK) != 0)
            events |= EV_BREAK;
    }
    if (out > 0) {
        events |= rules::ArrivalEvents(bytes, out, dcb_ ? dcb_->EvtChar : 0);
        if (queue_.Arrive(
                bytes, out, [&] { ServeReads(now); }, &events) != 0)
            errors_.Add(CE_RXOVER);
    }
    Record(events);
}

void Port::PushOutput(Clock::time_point now) {
    while (!writes_.empty()) {
        Op& op = writes_.front();
        if (!op.started)
            StartWrite(op, now);
        const int e = WriteSome(op);
        if (e != 0 && IsGone(e)) {
            HangUp();
            return;
        }
        if (e != 0) {
            Complete(op, ErrorFromErrno(e));
            writes_.pop_front();
            continue;
        }
        if (op.done < op.count)
            return;
        Complete(op, ERROR_SUCCESS);
        writes_.pop_front();
    }
}

void Port::CheckDrained(Clock::time_point now) {
    if (!draining_ || !writes_.empty() || removed_) {
        drainCheck_.reset();
        return;
    }
    if (drainCheck_ && now < *drainCheck_)
        return;
    int outq = 0;
    if (::ioctl(fd_, TIOCOUTQ, &outq) != 0)
        outq = 0;
    if (outq <= 0) {
        draining_ = false;
        drainCheck_.reset();
        if (softToggle_)
            SetRts(false);
        Record(EV_TXEMPTY);
        return;
    }
    // Look again when those bytes should be on the line (11 bits a byte at
    // most), between 1 and 100 ms: never a busy wait.
    const std::uint64_t ms = std::uint64_t{static_cast<unsigned>(outq)} * 11 * 1000 / baud_;
    drainCheck_ = now + std::chrono::milliseconds(std::clamp<std::uint64_t>(ms, 1, 100));
}

void Port::CheckModem(Clock::time_point now) {
    if (!ModemPolling()) {
        modemCheck_.reset();
        return;
    }
    if (modemCheck_ && now < *modemCheck_)
        return;
    bool ok = false;
    const int lines = ModemLines(fd_, &ok);
    modemCheck_ = now + kModemPeriod;
    if (!ok)
        return;
    const int changed = lines ^ lastLines_;
    std::uint32_t events = 0;
    if ((changed & TIOCM_CTS) != 0)
        events |= EV_CTS;
    if ((changed & TIOCM_DSR) != 0)
        events |= EV_DSR;
    if ((changed & TIOCM_CD) != 0)
        events |= EV_RLSD;
    if ((changed & lines & TIOCM_RI) != 0)
        events |= EV_RING;
    lastLines_ = lines;
    Record(events);
}

void Port::CheckCounters() {
#if defined(TIOCGICOUNT)
    struct serial_icounter_struct icount {};
    if (::ioctl(fd_, TIOCGICOUNT, &icount) != 0)
        return;
    std::uint32_t errors = 0;
    if (icount.frame != counters_.frame)
        errors |= CE_FRAME;
    if (icount.overrun != counters_.overrun || icount.buf_overrun != counters_.bufOverrun)
        errors |= CE_OVERRUN;
    if (icount.parity != counters_.parity)
        errors |= CE_RXPARITY;
    if (icount.brk != counters_.brk)
        errors |= CE_BREAK;
    counters_ = {icount.frame, icount.overrun, icount.parity, icount.brk, icount.buf_overrun};
    if (errors == 0)
        return;
    errors_.Add(errors);
    std::uint32_t events = 0;
    if ((errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) != 0)
        events |= EV_ERR;
    if ((errors & CE_BREAK) != 0)
        events |= EV_BREAK;
    Record(events);
#endif
}

void Port::Record(std::uint32_t events) {
    if (!events_.Raise(events))
        return;
    if (wait_) {
        Op op = std::move(*wait_);
        wait_.reset();
        *op.maskOut = events_.Take();
        Complete(op, ERROR_SUCCESS);
    }
}

void Port::Complete(Op& op, std::uint32_t error) {
    op.ov->Internal = error;
    op.ov->InternalHigh = op.done;
    if (op.event)
        SignalEvent(*op.event);
    completed_.notify_all();
}

void Port::CompleteAll(std::deque<Op>& ops, std::uint32_t error) {
    while (!ops.empty()) {
        Complete(ops.front(), error);
        ops.pop_front();
    }
}

void Port::HangUp() {
    if (removed_)
        return;
    removed_ = true;
    errors_.Add(CE_IOE);
    // Bytes already queued stay readable; what is pending ends now.
    ServeReads(Clock::now());
    CompleteAll(reads_, ERROR_DEVICE_REMOVED);
    CompleteAll(writes_, ERROR_DEVICE_REMOVED);
    if (wait_) {
        Op op = std::move(*wait_);
        wait_.reset();
        *op.maskOut = 0;
        Complete(op, ERROR_DEVICE_REMOVED);
    }
    draining_ = false;
    drainCheck_.reset();
    modemCheck_.reset();
}

void Port::SetRts(bool on) {
    if (hasLines_)
        SetLines(fd_, TIOCM_RTS, on);
}

} // namespace comm::posix
