// The POSIX port's I/O thread: it watches the device and the deadlines,
// takes input in while nobody waits, and ends what the device going away
// ends; a thread waiting for a transfer may pump the device in its stead.

#include "serial/driver/PosixPort.h"

#include "serial/driver/PosixCommApi.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace comm::posix {

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

void Port::HangUp() {
    if (removed_)
        return;
    removed_ = true;
    errors_.Add(CE_IOE);
    // Bytes already queued stay readable; what is pending ends now.
    ServeReads(Clock::now());
    CompleteAll(reads_, rules::kDeviceGone);
    CompleteAll(writes_, rules::kDeviceGone);
    if (wait_) {
        Op op = std::move(*wait_);
        wait_.reset();
        *op.maskOut = 0;
        Complete(op, rules::kDeviceGone);
    }
    draining_ = false;
    drainCheck_.reset();
    modemCheck_.reset();
}

} // namespace comm::posix
