// The network port's settings: the line settings (RFC 2217 commands, each
// answered before SetState returns; kept locally on a raw port), the time-
// outs, the queues' sizes, the modem and line state, purge.

#include "serial/driver/NetPort.h"

#include "serial/driver/NetCommApi.h"

namespace comm::net {

namespace {

// As the Windows driver (and the POSIX backend) validates a DCB.
bool DcbValid(const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
        dcb.StopBits > 2)
        return false;
    return (dcb.Flags & (DCB_fInX | DCB_fOutX)) == 0 || dcb.XonChar != dcb.XoffChar;
}

DCB DefaultDcb() {
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 9600;
    dcb.Flags = DCB_fBinary;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

} // namespace

std::uint32_t TNetPort::Setup(std::uint32_t inQueue, std::uint32_t /*outQueue*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (inQueue > kMaxInputSize)
        return ERROR_INVALID_PARAMETER;
    if (queue_.Setup(inQueue))
        errors_.Add(CE_RXOVER);
    Wake(); // room made may let held input in
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::SetState(const DCB& dcb) {
    std::lock_guard<std::mutex> one(settingsMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (removed_)
        return rules::kDeviceGone;
    if (!DcbValid(dcb))
        return ERROR_INVALID_PARAMETER;
    if (!comPort_) {
        dcb_ = dcb;
        Wake(); // input flow control may have changed
        return ERROR_SUCCESS;
    }
    static constexpr TComParity kParity[] = {TComParity::cpaNone, TComParity::cpaOdd,
                                             TComParity::cpaEven, TComParity::cpaMark,
                                             TComParity::cpaSpace};
    static constexpr TComStopSize kStop[] = {TComStopSize::csOne, TComStopSize::csOneAndHalf,
                                             TComStopSize::csTwo};
    const std::uint32_t rts = (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
    const std::uint32_t dtr = (dcb.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift;
    TComControl flow = TComControl::ccNoFlow;
    if ((dcb.Flags & DCB_fOutxCtsFlow) != 0 || rts == 2)
        flow = TComControl::ccHardwareFlow;
    else if ((dcb.Flags & (DCB_fOutX | DCB_fInX)) != 0)
        flow = TComControl::ccXonXoffFlow;

    expected_.clear();
    const auto send = [&](std::vector<std::uint8_t> bytes, TComPortCommand command,
                          std::uint32_t value, bool lines) {
        Control(bytes);
        expected_.push_back({command, value, lines, std::nullopt});
    };
    // DTR and RTS go first: a server whose device has no such lines (a
    // pseudo-terminal) does not answer them, and once the commands after
    // them are answered, no answer to them is coming (the server answers in
    // order). The lines are then taken as absent, as the POSIX backend
    // takes a port without modem lines; an answer that says otherwise than
    // asked still fails.
    const TComControl dtrLine = dtr == 0 ? TComControl::ccDtrOff : TComControl::ccDtrOn;
    send(EncodeSetControl(dtrLine), TComPortCommand::cpSetControl,
         static_cast<std::uint32_t>(dtrLine), true);
    // RTS handshake is the hardware flow control below; toggle (RTS on while
    // sending) has no RFC 2217 command and leaves RTS as the server has it.
    if (rts == 0 || rts == 1) {
        const TComControl rtsLine = rts == 0 ? TComControl::ccRtsOff : TComControl::ccRtsOn;
        send(EncodeSetControl(rtsLine), TComPortCommand::cpSetControl,
             static_cast<std::uint32_t>(rtsLine), true);
    }
    send(EncodeSetBaudRate(dcb.BaudRate), TComPortCommand::cpSetBaudRate, dcb.BaudRate, false);
    send(EncodeSetDataSize(dcb.ByteSize), TComPortCommand::cpSetDataSize, dcb.ByteSize, false);
    const TComParity parity = kParity[dcb.Parity];
    send(EncodeSetParity(parity), TComPortCommand::cpSetParity, static_cast<std::uint32_t>(parity),
         false);
    const TComStopSize stop = kStop[dcb.StopBits];
    send(EncodeSetStopSize(stop), TComPortCommand::cpSetStopSize, static_cast<std::uint32_t>(stop),
         false);
    send(EncodeSetControl(flow), TComPortCommand::cpSetControl, static_cast<std::uint32_t>(flow),
         false);
    Wake();
    const auto deadline = Clock::now() + ConnectTimeout();
    const auto allAnswered = [&] {
        for (const Expected& e : expected_) {
            if (!e.answer && !e.lines)
                return false;
        }
        return true;
    };
    answered_.wait_until(lock, deadline, [&] { return closed_ || removed_ || allAnswered(); });
    std::uint32_t error = ERROR_SUCCESS;
    if (closed_)
        error = ERROR_INVALID_HANDLE;
    else if (removed_)
        error = rules::kDeviceGone;
    else if (!allAnswered())
        error = ERROR_TIMEOUT;
    for (const Expected& e : expected_) {
        if (error == ERROR_SUCCESS && e.answer && *e.answer != e.asked)
            error = ERROR_INVALID_PARAMETER;
    }
    expected_.clear();
    if (error == ERROR_SUCCESS) {
        dcb_ = dcb;
        Wake(); // input flow control may have changed
    }
    return error;
}

std::uint32_t TNetPort::GetState(DCB* dcb) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    *dcb = dcb_ ? *dcb_ : DefaultDcb();
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (!rules::TimeoutsAccepted(timeouts))
        return ERROR_INVALID_PARAMETER;
    timeouts_ = timeouts;
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::GetTimeouts(COMMTIMEOUTS* timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    *timeouts = timeouts_;
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::ClearError(std::uint32_t* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    const std::uint32_t taken = errors_.Take();
    if (errors != nullptr)
        *errors = taken;
    if (stat != nullptr) {
        std::uint64_t out = wire_.size() - wireHead_;
        for (const Op& op : writes_)
            out += op.count - op.committed;
        *stat = rules::QueueStatus(queue_.Size(), out);
    }
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::ModemStatus(std::uint32_t* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (removed_)
        return rules::kDeviceGone;
    *status = modem_;
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::Purge(std::uint32_t flags) {
    // Not under settingsMutex_: a purge that aborts transfers must not wait
    // for a SetState that waits for the server. Purges waiting at once
    // each wait for the answer to their own PURGE-DATA.
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    const auto purge = rules::PlanPurge(flags);
    if (!purge)
        return ERROR_INVALID_PARAMETER;
    if (purge->AbortWrites) {
        for (Op& op : writes_)
            op.done = op.committed;
        CompleteAll(writes_, ERROR_OPERATION_ABORTED);
    }
    if (purge->AbortReads)
        CompleteAll(reads_, ERROR_OPERATION_ABORTED);
    if (purge->ClearInput)
        queue_.Clear();
    if (!comPort_ || removed_ || !(purge->ClearInput || purge->ClearOutput)) {
        Wake();
        return ERROR_SUCCESS;
    }
    // The server's buffers too: those of the device's input and output. The
    // server answers once it has purged them: what it sends before that was
    // in the device's input already (or on its way), what it sends after is
    // new, and kept, as a Windows port keeps what comes after PurgeComm.
    const TComPurge which = purge->ClearInput && purge->ClearOutput ? TComPurge::cpuBoth
                            : purge->ClearInput                     ? TComPurge::cpuReceive
                                                                    : TComPurge::cpuTransmit;
    Control(EncodePurgeData(which));
    Wake();
    if (purgeSilent_)
        return ERROR_SUCCESS;
    const std::uint64_t ticket = ++purgesSent_;
    if (purge->ClearInput)
        purgeDropsTo_ = ticket;
    const auto deadline = Clock::now() + ConnectTimeout();
    answered_.wait_until(lock, deadline, [&] {
        return closed_ || removed_ || purgesAnswered_ >= ticket || purgesGivenUp_ >= ticket;
    });
    if (closed_)
        return ERROR_INVALID_HANDLE;
    if (removed_ || purgesAnswered_ >= ticket)
        return ERROR_SUCCESS;
    // No answer: none is waited for any more on this port (those waiting
    // now end too), and input is kept from now on.
    purgeSilent_ = true;
    purgesGivenUp_ = purgesSent_;
    answered_.notify_all();
    return ERROR_TIMEOUT;
}

std::uint32_t TNetPort::SetMask(std::uint32_t mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    latch_.SetMask(mask);
    CompleteWait(ERROR_SUCCESS);
    return ERROR_SUCCESS;
}

std::uint32_t TNetPort::GetMask(std::uint32_t* mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_)
        return ERROR_INVALID_HANDLE;
    *mask = latch_.Mask();
    return ERROR_SUCCESS;
}

} // namespace comm::net
