// The network port: connecting, the RFC 2217 negotiation, closing.

#include "serial/driver/NetPort.h"

#include "serial/driver/NetCommApi.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace comm::net {

namespace {

// What the client asks of the modem and line state notifications: every
// modem line and its change; the line's errors and breaks.
constexpr std::uint8_t kModemMask = 0xFF;
constexpr std::uint8_t kLineMask = 0x1E; // break, framing, parity, overrun

int MsLeft(TNetPort::Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - TNetPort::Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

} // namespace

std::chrono::milliseconds TNetPort::Ms(std::uint64_t ms) {
    return std::chrono::milliseconds(std::min<std::uint64_t>(ms, 1ull << 33));
}

TNetPort::TNetPort(const TNetPortName& name, ICommApi& events, std::unique_ptr<TNetSocket> socket)
    : name_(FormatNetPortName(name)), comPort_(name.Scheme == TNetScheme::nsRfc2217),
      events_(events), socket_(std::move(socket)), client_(comPort_), scratch_(kScratch) {}

std::shared_ptr<TNetPort> TNetPort::Open(const TNetPortName& name, ICommApi& events,
                                         std::uint32_t* error) {
    const auto deadline = Clock::now() + ConnectTimeout();
    auto socket = TNetSocket::Connect(name, deadline, error);
    if (!socket)
        return nullptr;
    std::shared_ptr<TNetPort> port(new TNetPort(name, events, std::move(socket)));
    {
        // AbortOpens wakes the negotiation's wait, and a stop that came
        // while connecting still ends the open.
        TNetSocket* const s = port->socket_.get();
        const TOpenWatch watch([s] { s->Wake(); });
        if (port->comPort_) {
            if (const std::uint32_t e = port->Negotiate(deadline); e != ERROR_SUCCESS) {
                *error = e;
                return nullptr;
            }
        }
        if (OpensAborted()) {
            *error = ERROR_OPERATION_ABORTED;
            return nullptr;
        }
    }
    port->thread_ = std::thread([raw = port.get()] { raw->Run(); });
    return port;
}

// Before the I/O thread starts, on the opening thread: asks for BINARY,
// SUPPRESS-GO-AHEAD and COM-PORT-OPTION and reads the server's answers
// until it has accepted or refused COM-PORT-OPTION, or the deadline. Data
// that comes meanwhile goes to the input queue.
std::uint32_t TNetPort::Negotiate(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    Control(client_.Start());
    bool hungUp = false;
    for (;;) {
        PushOutput(Clock::now());
        if (!removed_)
            ReadInput(hungUp);
        if (removed_)
            return WSAECONNRESET;
        if (OpensAborted())
            return ERROR_OPERATION_ABORTED;
        switch (client_.ComPortStatus()) {
        case TComPortStatus::csAccepted:
            Control(EncodeSetModemStateMask(kModemMask));
            Control(EncodeSetLineStateMask(kLineMask));
            return ERROR_SUCCESS;
        case TComPortStatus::csRefused:
            return ERROR_NOT_SUPPORTED;
        case TComPortStatus::csPending:
            break;
        }
        const int left = MsLeft(deadline);
        if (left == 0)
            return WSAETIMEDOUT;
        const bool read = !InputPaused();
        const bool write = WirePending();
        lock.unlock();
        hungUp = socket_->Wait(read, write, left);
        lock.lock();
    }
}

TNetPort::~TNetPort() {
    Close();
}

bool TNetPort::Gone() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return removed_;
}

void TNetPort::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        CompleteAll(reads_, ERROR_OPERATION_ABORTED);
        CompleteAll(writes_, ERROR_OPERATION_ABORTED);
        CompleteWait(ERROR_OPERATION_ABORTED);
        answered_.notify_all();
        idle_.notify_all();
        socket_->Wake();
    }
    if (thread_.joinable())
        thread_.join();
}

} // namespace comm::net
