// The network port's I/O thread: it takes the server's bytes in whether or
// not anyone reads, hands written bytes and commands to the socket, reads
// the server's COM-PORT answers and notifications, and ends transfers whose
// time-outs expire. It sleeps in the socket's wait while nothing is due.

#include "serial/driver/NetPort.h"

#include <algorithm>
#include <climits>

namespace comm::net {

void TNetPort::Wake() {
    if (removed_) {
        idle_.notify_all();
        return;
    }
    if (wakePending_)
        return;
    wakePending_ = true;
    socket_->Wake();
}

void TNetPort::WatchDeadlines() {
    const auto next = NextDeadline();
    if (next && (!ioDeadline_ || *next < *ioDeadline_))
        Wake();
}

bool TNetPort::InputFlowControl() const {
    if (!dcb_)
        return false;
    const std::uint32_t rts = (dcb_->Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const std::uint32_t dtr = (dcb_->Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    return rts == 2 || dtr == 2 || (dcb_->Flags & DCB_fInX) != 0;
}

bool TNetPort::InputPaused() const {
    return (InputFlowControl() && queue_.Space() == 0) || wire_.size() - wireHead_ > kWireBacklog;
}

std::optional<TNetPort::Clock::time_point> TNetPort::NextDeadline() const {
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
    return next;
}

void TNetPort::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool hungUp = false;
    while (!closed_) {
        const auto now = Clock::now();
        if (!removed_)
            ReadInput(hungUp);
        if (!removed_)
            PushOutput(now);
        Expire(now);
        wakePending_ = false;
        ioDeadline_ = NextDeadline();
        if (removed_) {
            // Nothing more comes from the socket: wait for the close, or
            // for what a caller starts (its time-outs still run).
            if (ioDeadline_)
                idle_.wait_until(lock, *ioDeadline_);
            else
                idle_.wait(lock);
            continue;
        }
        int timeout = -1;
        if (ioDeadline_) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*ioDeadline_ - now);
            timeout = static_cast<int>(std::clamp<long long>(ms.count(), 0, INT_MAX));
        }
        const bool read = !InputPaused();
        const bool write = WirePending() || (!writes_.empty() && !suspended_);
        lock.unlock();
        hungUp = socket_->Wait(read, write, timeout);
        lock.lock();
    }
}

// Takes in what the socket holds, as far as the queue may take it (see
// InputPaused); `force`: all of it, the socket having said it is closed.
void TNetPort::ReadInput(bool force) {
    for (int round = 0; round < 16 && !removed_ && !closed_; ++round) {
        std::size_t want = scratch_.size();
        if (!force) {
            if (InputPaused())
                break;
            if (InputFlowControl())
                want = std::min(want, queue_.Space());
        }
        std::size_t n = 0;
        const TNetSocket::TIo io = socket_->Receive(scratch_.data(), want, &n);
        if (io == TNetSocket::TIo::ioWouldBlock)
            break;
        if (io == TNetSocket::TIo::ioClosed) {
            HangUp();
            break;
        }
        Process(scratch_.data(), n);
        if (n < want)
            break;
    }
}

void TNetPort::Process(std::uint8_t* bytes, std::size_t count) {
    if (!comPort_) {
        Ingest(bytes, count);
        return;
    }
    input_.Data.clear();
    input_.Replies.clear();
    input_.BadReplies.clear();
    input_.Answer.clear();
    client_.Feed({bytes, count}, input_);
    if (!input_.Answer.empty())
        Control(input_.Answer);
    // The replies in their place among the data: a notification of an error
    // comes after the bytes received before it.
    std::size_t offset = 0;
    for (const TComPortReply& reply : input_.Replies) {
        const std::size_t at = std::min(reply.DataOffset, input_.Data.size());
        if (at > offset)
            Ingest(input_.Data.data() + offset, at - offset);
        offset = std::max(offset, at);
        OnReply(reply);
    }
    if (input_.Data.size() > offset)
        Ingest(input_.Data.data() + offset, input_.Data.size() - offset);
}

void TNetPort::Ingest(std::uint8_t* bytes, std::size_t count) {
    if (purgeDropsTo_ > std::max(purgesAnswered_, purgesGivenUp_))
        return; // purged on the server: its answer has not come yet
    if (dcb_ && (dcb_->Flags & DCB_fNull) != 0)
        count = rules::DiscardNulls(bytes, count);
    if (count == 0)
        return;
    std::uint32_t events = rules::ArrivalEvents(bytes, count, dcb_ ? dcb_->EvtChar : 0);
    const auto now = Clock::now();
    if (queue_.Arrive(
            bytes, count, [&] { ServeReads(now); }, &events) != 0)
        errors_.Add(CE_RXOVER);
    Record(events);
}

void TNetPort::OnReply(const TComPortReply& reply) {
    switch (reply.Command) {
    case TComPortCommand::cpNotifyModemState: {
        const TModemState m = DecodeModemState(static_cast<std::uint8_t>(reply.Value));
        const std::uint32_t now = (m.Cts ? MS_CTS_ON : 0u) | (m.Dsr ? MS_DSR_ON : 0u) |
                                  (m.Ri ? MS_RING_ON : 0u) | (m.Dcd ? MS_RLSD_ON : 0u);
        const std::uint32_t changed = now ^ modem_;
        std::uint32_t events = 0;
        if (m.DeltaCts || (changed & MS_CTS_ON) != 0)
            events |= EV_CTS;
        if (m.DeltaDsr || (changed & MS_DSR_ON) != 0)
            events |= EV_DSR;
        if (m.DeltaDcd || (changed & MS_RLSD_ON) != 0)
            events |= EV_RLSD;
        if (m.TrailingEdgeRi || ((changed & now) & MS_RING_ON) != 0)
            events |= EV_RING;
        modem_ = now;
        Record(events);
        return;
    }
    case TComPortCommand::cpNotifyLineState: {
        const TLineState l = DecodeLineState(static_cast<std::uint8_t>(reply.Value));
        std::uint32_t errors = 0;
        std::uint32_t events = 0;
        if (l.Overrun)
            errors |= CE_OVERRUN;
        if (l.Parity)
            errors |= CE_RXPARITY;
        if (l.Framing)
            errors |= CE_FRAME;
        if (errors != 0)
            events |= EV_ERR;
        if (l.Break) {
            errors |= CE_BREAK;
            events |= EV_BREAK;
        }
        errors_.Add(errors);
        Record(events);
        return;
    }
    case TComPortCommand::cpFlowControlSuspend:
        suspended_ = true;
        return;
    case TComPortCommand::cpFlowControlResume:
        suspended_ = false;
        Wake();
        return;
    case TComPortCommand::cpPurgeData:
        // The server has purged: what it sends from here on is kept. An
        // answer no purge waits for (one that came too late) changes nothing.
        if (purgesAnswered_ < purgesSent_) {
            ++purgesAnswered_;
            answered_.notify_all();
        }
        return;
    default:
        break;
    }
    // The answer to a command SetState sent: the first one still waiting
    // for an answer of its kind (the server answers in order), and for
    // SET-CONTROL of the same setting.
    for (Expected& e : expected_) {
        if (e.command == reply.Command && !e.answer &&
            (e.command != TComPortCommand::cpSetControl ||
             ControlGroup(e.asked) == ControlGroup(reply.Value))) {
            e.answer = reply.Value;
            answered_.notify_all();
            return;
        }
    }
}

int TNetPort::ControlGroup(std::uint32_t value) {
    if (value <= 3 || value == 17 || value == 19)
        return 0; // outbound flow control: none, XON/XOFF, hardware, DCD, DSR
    if (value <= 6)
        return 1; // break
    if (value <= 9)
        return 2; // DTR
    if (value <= 12)
        return 3; // RTS
    return 4;     // inbound flow control
}

void TNetPort::Control(const std::vector<std::uint8_t>& bytes) {
    if (wireHead_ == wire_.size()) {
        wire_.clear();
        wireHead_ = 0;
    }
    wire_.insert(wire_.end(), bytes.begin(), bytes.end());
}

// Hands the wire and then the pending writes to the socket, while it takes
// them. A write's bytes go on the wire a chunk at a time, once what is
// before them has gone; the write is done when its last chunk has gone.
void TNetPort::PushOutput(Clock::time_point now) {
    for (;;) {
        if (!WirePending()) {
            wire_.clear();
            wireHead_ = 0;
            if (writes_.empty() || suspended_)
                break;
            Op& op = writes_.front();
            if (!op.started)
                StartWrite(op, now);
            if (op.committed == op.count) {
                op.done = op.count;
                Complete(op, ERROR_SUCCESS);
                writes_.pop_front();
                continue;
            }
            const std::size_t n = std::min<std::size_t>(kChunk, op.count - op.committed);
            if (comPort_)
                client_.EscapeData({op.buffer + op.committed, n}, wire_);
            else
                wire_.assign(op.buffer + op.committed, op.buffer + op.committed + n);
            op.committed += static_cast<std::uint32_t>(n);
        }
        std::size_t moved = 0;
        const TNetSocket::TIo io =
            socket_->Send(wire_.data() + wireHead_, wire_.size() - wireHead_, &moved);
        if (io == TNetSocket::TIo::ioWouldBlock)
            break;
        if (io == TNetSocket::TIo::ioClosed) {
            HangUp();
            return;
        }
        wireHead_ += moved;
    }
    if (draining_ && writes_.empty() && !WirePending()) {
        draining_ = false;
        Record(EV_TXEMPTY);
    }
}

void TNetPort::Expire(Clock::time_point now) {
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
        // Ends with the bytes put on the wire: those go on all the same.
        op.done = op.committed;
        Complete(op, ERROR_SUCCESS);
        writes_.pop_front();
    }
}

void TNetPort::HangUp() {
    if (removed_)
        return;
    removed_ = true;
    errors_.Add(CE_IOE);
    // Bytes already queued stay readable; what is pending ends now.
    ServeReads(Clock::now());
    for (Op& op : reads_)
        Complete(op, op.done > 0 ? ERROR_SUCCESS : rules::kDeviceGone);
    reads_.clear();
    for (Op& op : writes_)
        op.done = op.committed;
    CompleteAll(writes_, rules::kDeviceGone);
    CompleteWait(rules::kDeviceGone);
    draining_ = false;
    answered_.notify_all();
    // Found by a caller's write: the I/O thread leaves the socket's wait
    // and waits for the close instead.
    socket_->Wake();
}

} // namespace comm::net
