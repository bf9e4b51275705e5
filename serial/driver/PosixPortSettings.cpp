// The POSIX port: its settings and the state of its lines (modem lines,
// RTS, break, the line-error counters).

#include "serial/driver/PosixPort.h"

#include "serial/driver/PosixCommApi.h"
#include "serial/driver/PosixTermios.h"

#include <algorithm>
#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

#if __has_include(<linux/serial.h>)
#include <linux/serial.h>
#endif

namespace comm::posix {

// ---- Settings ------------------------------------------------------------------

std::uint32_t Port::Setup(std::uint32_t inQueue, std::uint32_t /*outQueue*/) {
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
    if (queue_.Setup(inQueue))
        errors_.Add(CE_RXOVER);
    Wake(); // room made may let held input in
    return ERROR_SUCCESS;
}

std::uint32_t Port::SetState(const DCB& dcb) {
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
    if (removed_)
        return rules::kDeviceGone;
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
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
    const auto lock = Enter();
    if (!lock)
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
    if (!rules::TimeoutsAccepted(timeouts))
        return ERROR_INVALID_PARAMETER;
    timeouts_ = timeouts;
    return ERROR_SUCCESS;
}

std::uint32_t Port::GetTimeouts(COMMTIMEOUTS* timeouts) {
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
    *timeouts = timeouts_;
    return ERROR_SUCCESS;
}

std::uint32_t Port::ClearError(std::uint32_t* errors, COMSTAT* stat) {
    const auto lock = Enter(true);
    if (!lock)
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
    if (removed_)
        return rules::kDeviceGone;
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
    *mask = events_.Mask();
    return ERROR_SUCCESS;
}

void Port::SetRts(bool on) {
    if (hasLines_)
        SetLines(fd_, TIOCM_RTS, on);
}

// ---- Line state from the I/O thread

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
} // namespace comm::posix
