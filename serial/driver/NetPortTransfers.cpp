// The network port's reads, writes and event waits, and how they complete:
// by the driver's rules (DriverRules.h), on the caller's events.

#include "serial/driver/NetPort.h"

#include <algorithm>

namespace comm::net {

namespace {

bool NoEvent(Handle event) {
    return event == 0 || event == INVALID_HANDLE_VALUE;
}

} // namespace

bool TNetPort::Pending(const Overlapped* ov) const {
    const auto is = [ov](const Op& op) { return op.ov == ov; };
    return std::any_of(reads_.begin(), reads_.end(), is) ||
           std::any_of(writes_.begin(), writes_.end(), is) || (wait_ && wait_->ov == ov);
}

// Takes ov for a new read or write: refused (touching nothing) on a closed
// port, or when ov has a transfer pending here or its event is none of the
// backend's; else the caller's count is 0, ov pending and its event reset.
// A transfer of no bytes then completes at once. The transfer's result
// where it ended here; nothing where `op` goes on.
std::optional<std::uint32_t> TNetPort::Begin(Op::Kind kind, Overlapped* ov, std::uint8_t* buffer,
                                             std::uint32_t count, std::uint32_t* transferred,
                                             Op* op) {
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (Pending(ov))
        return ERROR_INVALID_PARAMETER;
    if (!NoEvent(ov->hEvent) && !events_.ResetEvent(ov->hEvent))
        return ERROR_INVALID_HANDLE;
    if (transferred != nullptr)
        *transferred = 0;
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    op->kind = kind;
    op->ov = ov;
    op->event = NoEvent(ov->hEvent) ? 0 : ov->hEvent;
    op->buffer = buffer;
    op->count = count;
    if (count == 0) {
        Complete(*op, ERROR_SUCCESS);
        return ERROR_SUCCESS;
    }
    return std::nullopt;
}

std::uint32_t TNetPort::Read(void* buffer, std::uint32_t count, std::uint32_t* read,
                             Overlapped* ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    Op op;
    if (const auto ended =
            Begin(Op::Kind::Read, ov, static_cast<std::uint8_t*>(buffer), count, read, &op))
        return *ended;
    if (removed_ && queue_.Size() == 0) {
        Complete(op, rules::kDeviceGone);
        return rules::kDeviceGone;
    }
    const auto now = Clock::now();
    if (reads_.empty()) {
        StartRead(op, now);
        if (op.plan.EndsWith(op.done, op.count) || removed_) {
            const std::uint32_t error =
                removed_ && op.done == 0 ? rules::kDeviceGone : ERROR_SUCCESS;
            Complete(op, error);
            if (read != nullptr && error == ERROR_SUCCESS)
                *read = op.done;
            // Room made in the queue lets held input in.
            if (InputFlowControl())
                Wake();
            return error;
        }
    }
    reads_.push_back(op);
    WatchDeadlines();
    if (InputFlowControl())
        Wake();
    return ERROR_IO_PENDING;
}

std::uint32_t TNetPort::Write(const void* buffer, std::uint32_t count, std::uint32_t* written,
                              Overlapped* ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    Op op;
    // The bytes are only read; the buffer is the caller's until completion.
    if (const auto ended =
            Begin(Op::Kind::Write, ov,
                  const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(buffer)), count,
                  written, &op))
        return *ended;
    if (removed_) {
        Complete(op, rules::kDeviceGone);
        return rules::kDeviceGone;
    }
    const bool first = writes_.empty();
    writes_.push_back(op);
    draining_ = true;
    if (first) {
        // Handed to the socket at once where it takes them all.
        PushOutput(Clock::now());
        if (!Pending(ov)) {
            const auto error = static_cast<std::uint32_t>(ov->Internal);
            if (written != nullptr && error == ERROR_SUCCESS)
                *written = static_cast<std::uint32_t>(ov->InternalHigh);
            return error;
        }
    }
    Wake();
    return ERROR_IO_PENDING;
}

std::uint32_t TNetPort::WaitEvent(std::uint32_t* mask, Overlapped* ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (Pending(ov))
        return ERROR_INVALID_PARAMETER;
    // Reset even when the wait is refused below: a caller that waits on the
    // event again must block, not spin (Windows leaves it reset too).
    if (!NoEvent(ov->hEvent) && !events_.ResetEvent(ov->hEvent))
        return ERROR_INVALID_HANDLE;
    ov->InternalHigh = 0;
    *mask = 0;
    if (wait_ || !latch_.CanWait()) {
        ov->Internal = ERROR_INVALID_PARAMETER;
        return ERROR_INVALID_PARAMETER;
    }
    Op op;
    op.kind = Op::Kind::Wait;
    op.ov = ov;
    op.event = NoEvent(ov->hEvent) ? 0 : ov->hEvent;
    op.maskOut = mask;
    if (latch_.Kept() != 0) {
        *mask = latch_.Take();
        Complete(op, ERROR_SUCCESS);
        return ERROR_SUCCESS;
    }
    if (removed_) {
        ov->Internal = rules::kDeviceGone;
        return rules::kDeviceGone;
    }
    ov->Internal = kStatusPending;
    wait_ = op;
    return ERROR_IO_PENDING;
}

bool TNetPort::OverlappedDone(const Overlapped* ov, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!wait)
        return !Pending(ov);
    completed_.wait(lock, [&] { return !Pending(ov); });
    return true;
}

void TNetPort::StartRead(Op& op, Clock::time_point now) {
    op.started = true;
    op.plan = rules::PlanRead(timeouts_, op.count);
    if (op.plan.Total)
        op.total = now + Ms(*op.plan.Total);
    PopInput(op.buffer + op.done, op.count - op.done, &op.done);
    if (op.done > 0 && op.plan.Interval != 0)
        op.intervalDeadline = now + Ms(op.plan.Interval);
}

void TNetPort::StartWrite(Op& op, Clock::time_point now) {
    op.started = true;
    if (const auto total = rules::WriteDeadline(timeouts_, op.count))
        op.total = now + Ms(*total);
}

void TNetPort::PopInput(std::uint8_t* out, std::uint32_t count, std::uint32_t* done) {
    *done += static_cast<std::uint32_t>(queue_.Pop(out, count));
}

void TNetPort::ServeReads(Clock::time_point now) {
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

void TNetPort::Record(std::uint32_t events) {
    if (!latch_.Raise(events) || !wait_)
        return;
    Op op = *wait_;
    wait_.reset();
    *op.maskOut = latch_.Take();
    Complete(op, ERROR_SUCCESS);
}

void TNetPort::Complete(Op& op, std::uint32_t error) {
    op.ov->Internal = error;
    op.ov->InternalHigh = op.done;
    if (op.event != 0)
        events_.SetEvent(op.event);
    completed_.notify_all();
}

void TNetPort::CompleteAll(std::deque<Op>& ops, std::uint32_t error) {
    while (!ops.empty()) {
        Complete(ops.front(), error);
        ops.pop_front();
    }
}

void TNetPort::CompleteWait(std::uint32_t error) {
    if (!wait_)
        return;
    Op op = *wait_;
    wait_.reset();
    *op.maskOut = 0;
    Complete(op, error);
}

} // namespace comm::net
