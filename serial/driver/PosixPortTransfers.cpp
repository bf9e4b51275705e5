// The POSIX port: reads, writes and event waits, the input and output
// queues, and how transfers complete.

#include "serial/driver/PosixPort.h"

#include "serial/driver/PosixCommApi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace comm::posix {

// ---- Transfers -------------------------------------------------------------------

// Takes ov for a new read or write: the caller's count is 0 and ov is pending
// until the transfer completes; its event is reset.
Port::Op Port::NewTransfer(Op::Kind kind, Overlapped* ov, std::shared_ptr<EventObject> event,
                           std::uint8_t* buffer, std::uint32_t count, std::uint32_t* transferred) {
    if (transferred != nullptr)
        *transferred = 0;
    ov->Internal = kStatusPending;
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
    const auto lock = Enter(true);
    if (!lock)
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
        Complete(op, rules::kDeviceGone);
        return rules::kDeviceGone;
    }
    const auto now = Clock::now();
    if (reads_.empty()) {
        StartRead(op, now);
        const bool satisfied = op.plan.EndsWith(op.done, op.count) || removed_;
        if (satisfied) {
            const std::uint32_t error =
                removed_ && op.done == 0 ? rules::kDeviceGone : ERROR_SUCCESS;
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
    const auto lock = Enter();
    if (!lock)
        return ERROR_INVALID_HANDLE;
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
        Complete(op, rules::kDeviceGone);
        return rules::kDeviceGone;
    }
    const auto now = Clock::now();
    if (writes_.empty()) {
        StartWrite(op, now);
        const int e = WriteSome(op);
        if (e != 0 && IsGone(e)) {
            HangUp();
            Complete(op, rules::kDeviceGone);
            return rules::kDeviceGone;
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
    const auto lock = Enter(true);
    if (!lock)
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
        ov->Internal = rules::kDeviceGone;
        return rules::kDeviceGone;
    }
    ov->Internal = kStatusPending;
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
            Complete(op, op.done > 0 ? ERROR_SUCCESS : rules::kDeviceGone);
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

// ---- Queues

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
} // namespace comm::posix
