#include "tests/support/FakeCommApi.h"

#include "serial/driver/DriverRules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace comm {

namespace {

std::string Key(std::string_view name) {
    std::string key(name);
    for (char& c : key) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return key;
}

// Signed difference of two tick counts: >= 0 once `now` has reached `deadline`.
bool Reached(std::uint32_t now, std::uint32_t deadline) {
    return static_cast<std::int32_t>(now - deadline) >= 0;
}

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

struct FakeCommApi::Event {
    bool manual = true;
    bool signalled = false;
};

struct FakeCommApi::Read {
    Overlapped* ov = nullptr;
    std::shared_ptr<Event> event;
    std::uint8_t* buffer = nullptr;
    std::uint32_t count = 0;
    std::uint32_t got = 0;
    rules::TReadPlan plan;
    // Deadlines on the fake's unwrapped clock (elapsed_), so that a total
    // time-out beyond 32 bits is kept as it is.
    std::optional<std::int64_t> totalDeadline;
    std::optional<std::int64_t> intervalDeadline;
};

struct FakeCommApi::Write {
    Overlapped* ov = nullptr;
    std::shared_ptr<Event> event;
    std::string data;
    std::optional<std::int64_t> deadline;
};

struct FakeCommApi::Port {
    struct Wait {
        std::uint32_t* mask = nullptr;
        Overlapped* ov = nullptr;
        std::shared_ptr<Event> event;
    };

    std::string name;
    bool exists = true;
    bool busy = false;
    bool removed = false; // pulled while open
    // What the driver fails the calls that need the device with once it has
    // gone (RemovePort).
    std::uint32_t goneError = rules::kDeviceGone;
    Handle handle = INVALID_HANDLE_VALUE;
    DCB dcb;
    COMMTIMEOUTS timeouts;
    rules::TEventLatch events; // the mask and the events kept for the next wait
    std::uint32_t outQueueSize = 0;
    rules::TInputQueue input{rules::kDefaultInputSize};
    std::string written;
    rules::TCommErrors lineErrors;
    std::uint32_t modemStatus = 0;
    std::optional<std::uint32_t> cbInQue;
    std::optional<Wait> wait;
    std::deque<Read> reads;
    std::deque<Write> writes;
};

std::string FakeCall::ToString() const {
    std::string s = name + "(";
    bool first = true;
    auto add = [&](const std::string& part) {
        if (!first) {
            s += ", ";
        }
        s += part;
        first = false;
    };
    if (handle != INVALID_HANDLE_VALUE) {
        add("h=" + Hex(static_cast<std::uint64_t>(handle)));
    }
    for (Handle h : handles) {
        add("h=" + Hex(static_cast<std::uint64_t>(h)));
    }
    if (!text.empty()) {
        if (name == "WriteFile") {
            std::string bytes;
            for (unsigned char c : text) {
                char b[4];
                std::snprintf(b, sizeof b, "%02X", c);
                bytes += bytes.empty() ? "" : " ";
                bytes += b;
            }
            add("[" + bytes + "]");
        } else {
            add("\"" + text + "\"");
        }
    }
    for (std::uint64_t a : args) {
        add(a > 9 ? Hex(a) : std::to_string(a));
    }
    if (dcb) {
        add("DCB{baud=" + std::to_string(dcb->BaudRate) + " flags=" + Hex(dcb->Flags) +
            " size=" + std::to_string(dcb->ByteSize) + " parity=" + std::to_string(dcb->Parity) +
            " stop=" + std::to_string(dcb->StopBits) + " xon=" + Hex(std::uint8_t(dcb->XonChar)) +
            " xoff=" + Hex(std::uint8_t(dcb->XoffChar)) +
            " evt=" + Hex(std::uint8_t(dcb->EvtChar)) + "}");
    }
    if (timeouts) {
        add("TIMEOUTS{" + std::to_string(timeouts->ReadIntervalTimeout) + "," +
            std::to_string(timeouts->ReadTotalTimeoutMultiplier) + "," +
            std::to_string(timeouts->ReadTotalTimeoutConstant) + "," +
            std::to_string(timeouts->WriteTotalTimeoutMultiplier) + "," +
            std::to_string(timeouts->WriteTotalTimeoutConstant) + "}");
    }
    s += ") -> " + std::to_string(result);
    if (error != 0) {
        s += " error " + std::to_string(error);
    }
    if (injected) {
        s += " (injected)";
    }
    return s;
}

FakeCommApi::FakeCommApi() = default;
FakeCommApi::~FakeCommApi() = default;

// ---- Bookkeeping -------------------------------------------------------------------

std::size_t FakeCommApi::Record(FakeCall call) {
    call.thread = std::this_thread::get_id();
    calls_.push_back(std::move(call));
    changed_.notify_all();
    return callsCleared_ + calls_.size() - 1;
}

FakeCall* FakeCommApi::Recorded(std::size_t sequence) {
    // A call that ClearCalls dropped while it blocked is no longer there.
    if (sequence < callsCleared_ || sequence - callsCleared_ >= calls_.size()) {
        return nullptr;
    }
    return &calls_[sequence - callsCleared_];
}

void FakeCommApi::Finish(std::size_t sequence, std::int64_t result, std::uint32_t error) {
    if (FakeCall* call = Recorded(sequence)) {
        call->result = result;
        call->error = error;
    }
}

std::optional<std::uint32_t> FakeCommApi::Injected(const std::string& call) {
    auto it = failures_.find(call);
    if (it == failures_.end()) {
        return std::nullopt;
    }
    Failure& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return std::nullopt;
    }
    if (f.times == 0) {
        return std::nullopt;
    }
    if (f.times > 0) {
        --f.times;
    }
    return f.error;
}

void FakeCommApi::SetError(std::uint32_t error) {
    lastError_[std::this_thread::get_id()] = error;
}

FakeCommApi::Port* FakeCommApi::FindPort(std::string_view name) const {
    auto it = ports_.find(Key(name));
    return it == ports_.end() ? nullptr : it->second.get();
}

FakeCommApi::Port& FakeCommApi::PortNamed(std::string_view name) const {
    Port* port = FindPort(name);
    if (port == nullptr) {
        throw std::invalid_argument("FakeCommApi: no port named " + std::string(name));
    }
    return *port;
}

FakeCommApi::Port* FakeCommApi::PortOf(Handle handle) const {
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    for (const auto& [key, port] : ports_) {
        if (port->handle == handle) {
            return port.get();
        }
    }
    return nullptr;
}

std::shared_ptr<FakeCommApi::Event> FakeCommApi::EventOf(Handle handle) const {
    auto it = events_.find(handle);
    return it == events_.end() ? nullptr : it->second;
}

Handle FakeCommApi::NewHandle() {
    nextHandle_ += 4;
    return nextHandle_;
}

bool FakeCommApi::Satisfy(Waiter& waiter) {
    auto& events = waiter.events;
    if (waiter.all) {
        if (!std::all_of(events.begin(), events.end(),
                         [](const auto& e) { return e->signalled; })) {
            return false;
        }
        for (auto& e : events) {
            e->signalled = e->manual;
        }
        waiter.result = WAIT_OBJECT_0;
        return true;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]->signalled) {
            events[i]->signalled = events[i]->manual;
            waiter.result = WAIT_OBJECT_0 + static_cast<std::uint32_t>(i);
            return true;
        }
    }
    return false;
}

void FakeCommApi::Signal(const std::shared_ptr<Event>& event) {
    if (!event) {
        return;
    }
    event->signalled = true;
    // Release the blocked waiters now, in the order they began to wait: an
    // auto-reset event releases one of them and is reset.
    for (Waiter* waiter : waiters_) {
        if (!waiter->result) {
            Satisfy(*waiter);
        }
    }
    changed_.notify_all();
}

void FakeCommApi::Complete(Overlapped* ov, const std::shared_ptr<Event>& event, std::uint32_t error,
                           std::uint32_t count) {
    // The fake keeps the Win32 error code itself in Internal (0: success).
    ov->Internal = error;
    ov->InternalHigh = count;
    Signal(event);
    changed_.notify_all();
}

void FakeCommApi::RaiseLocked(Port& port, std::uint32_t events) {
    if (port.handle == INVALID_HANDLE_VALUE || port.removed) {
        return;
    }
    if (port.events.Raise(events) && port.wait) {
        Port::Wait wait = *port.wait;
        port.wait.reset();
        *wait.mask = port.events.Take();
        Complete(wait.ov, wait.event, ERROR_SUCCESS, 0);
    }
}

void FakeCommApi::ServeReads(Port& port) {
    while (!port.reads.empty() && port.input.Size() != 0) {
        Read& read = port.reads.front();
        read.got += static_cast<std::uint32_t>(
            port.input.Pop(read.buffer + read.got, read.count - read.got));
        if (read.plan.Interval != 0) {
            read.intervalDeadline = elapsed_ + read.plan.Interval;
        }
        if (read.plan.EndsWith(read.got, read.count)) {
            Read done = std::move(read);
            port.reads.pop_front();
            Complete(done.ov, done.event, ERROR_SUCCESS, done.got);
        } else {
            break;
        }
    }
}

void FakeCommApi::ExpireTimeouts() {
    for (auto& [key, port] : ports_) {
        for (auto it = port->reads.begin(); it != port->reads.end();) {
            const bool expired = (it->totalDeadline && elapsed_ >= *it->totalDeadline) ||
                                 (it->intervalDeadline && elapsed_ >= *it->intervalDeadline);
            if (expired) {
                Read done = std::move(*it);
                it = port->reads.erase(it);
                Complete(done.ov, done.event, ERROR_SUCCESS, done.got);
            } else {
                ++it;
            }
        }
        for (auto it = port->writes.begin(); it != port->writes.end();) {
            if (it->deadline && elapsed_ >= *it->deadline) {
                // A write timeout ends the write successfully with what was sent: nothing.
                Write done = std::move(*it);
                it = port->writes.erase(it);
                Complete(done.ov, done.event, ERROR_SUCCESS, 0);
            } else {
                ++it;
            }
        }
    }
}

void FakeCommApi::AbortAll(Port& port, std::uint32_t error) {
    while (!port.reads.empty()) {
        Read done = std::move(port.reads.front());
        port.reads.pop_front();
        Complete(done.ov, done.event, error, done.got);
    }
    while (!port.writes.empty()) {
        Write done = std::move(port.writes.front());
        port.writes.pop_front();
        Complete(done.ov, done.event, error, 0);
    }
    if (port.wait) {
        Port::Wait wait = *port.wait;
        port.wait.reset();
        *wait.mask = 0;
        Complete(wait.ov, wait.event, error, 0);
    }
}

void FakeCommApi::FinishWrite(Port& port, Write& write, std::uint32_t count, std::uint32_t error) {
    count = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(write.data.size()));
    port.written.append(write.data, 0, count);
    Complete(write.ov, write.event, error, count);
    if (error == ERROR_SUCCESS && txEmptyOnWrite_ && port.writes.empty()) {
        RaiseLocked(port, EV_TXEMPTY);
    }
}

void FakeCommApi::AdvanceLocked(std::uint32_t ms) {
    clock_ += ms;
    elapsed_ += ms;
    ExpireTimeouts();
    changed_.notify_all();
}

bool FakeCommApi::WaitRealTime(Lock& lock, Timeout timeout, const std::function<bool()>& ready) {
    return changed_.wait_for(lock, timeout, ready);
}

// ---- Test side: ports and line ------------------------------------------------------

void FakeCommApi::AddPort(std::string_view name) {
    Lock lock(mutex_);
    auto& slot = ports_[Key(name)];
    if (!slot) {
        slot = std::make_unique<Port>();
        slot->name = std::string(name);
        slot->dcb.DCBlength = sizeof(DCB);
        slot->dcb.BaudRate = 9600;
        slot->dcb.Flags = DCB_fBinary;
        slot->dcb.ByteSize = 8;
    }
    slot->exists = true;
}

void FakeCommApi::RemovePort(std::string_view name, std::uint32_t driverError) {
    Lock lock(mutex_);
    Port& port = PortNamed(name);
    port.exists = false;
    // A driver that fails nothing leaves the open port as it was: what is
    // pending stays so, and nothing more arrives.
    if (port.handle != INVALID_HANDLE_VALUE && driverError != ERROR_SUCCESS) {
        port.goneError = driverError;
        port.lineErrors.Add(CE_IOE);
        AbortAll(port, driverError);
        port.removed = true;
    }
    changed_.notify_all();
}

void FakeCommApi::SetPortBusy(std::string_view name, bool busy) {
    Lock lock(mutex_);
    PortNamed(name).busy = busy;
}

Handle FakeCommApi::PortHandle(std::string_view name) const {
    Lock lock(mutex_);
    Port* port = FindPort(name);
    return port == nullptr ? INVALID_HANDLE_VALUE : port->handle;
}

bool FakeCommApi::IsOpen(std::string_view name) const {
    return PortHandle(name) != INVALID_HANDLE_VALUE;
}

void FakeCommApi::FeedInput(std::string_view name, std::string_view bytes, bool raiseEvents) {
    Lock lock(mutex_);
    Port& port = PortNamed(name);
    if (port.handle == INVALID_HANDLE_VALUE || port.removed || bytes.empty()) {
        return;
    }
    std::vector<std::uint8_t> kept(bytes.begin(), bytes.end());
    if ((port.dcb.Flags & DCB_fNull) != 0) {
        kept.resize(rules::DiscardNulls(kept.data(), kept.size()));
        if (kept.empty()) {
            return;
        }
    }
    std::uint32_t events = rules::ArrivalEvents(kept.data(), kept.size(), port.dcb.EvtChar);
    // Without handshake, what neither the pending reads nor the queue take is lost.
    if (port.input.Arrive(
            kept.data(), kept.size(), [&] { ServeReads(port); }, &events) != 0) {
        port.lineErrors.Add(CE_RXOVER);
    }
    if (raiseEvents) {
        RaiseLocked(port, events);
    }
    changed_.notify_all();
}

void FakeCommApi::RaiseEvents(std::string_view name, std::uint32_t events) {
    Lock lock(mutex_);
    RaiseLocked(PortNamed(name), events);
}

void FakeCommApi::SetModemStatus(std::string_view name, std::uint32_t status) {
    Lock lock(mutex_);
    PortNamed(name).modemStatus = status;
}

void FakeCommApi::AddLineErrors(std::string_view name, std::uint32_t errors) {
    Lock lock(mutex_);
    PortNamed(name).lineErrors.Add(errors);
}

void FakeCommApi::SetInQueueCount(std::string_view name, std::optional<std::uint32_t> count) {
    Lock lock(mutex_);
    PortNamed(name).cbInQue = count;
}

std::size_t FakeCommApi::InputQueued(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).input.Size();
}

std::string FakeCommApi::Written(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).written;
}

std::string FakeCommApi::TakeWritten(std::string_view name) {
    Lock lock(mutex_);
    return std::exchange(PortNamed(name).written, std::string());
}

DCB FakeCommApi::CommState(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).dcb;
}

COMMTIMEOUTS FakeCommApi::CommTimeouts(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).timeouts;
}

std::uint32_t FakeCommApi::CommMask(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).events.Mask();
}

// ---- Test side: transfers, failures, clock, recording --------------------------------

void FakeCommApi::SetWriteMode(WriteMode mode) {
    Lock lock(mutex_);
    writeMode_ = mode;
}

void FakeCommApi::SetTxEmptyOnWrite(bool on) {
    Lock lock(mutex_);
    txEmptyOnWrite_ = on;
}

void FakeCommApi::SetWriteTimeoutsIgnored(bool ignored) {
    Lock lock(mutex_);
    writeTimeoutsIgnored_ = ignored;
}

bool FakeCommApi::CompleteWrite(std::string_view name, std::optional<std::uint32_t> count,
                                std::uint32_t error) {
    Lock lock(mutex_);
    Port& port = PortNamed(name);
    if (port.writes.empty()) {
        return false;
    }
    Write write = std::move(port.writes.front());
    port.writes.pop_front();
    FinishWrite(port, write, count.value_or(static_cast<std::uint32_t>(write.data.size())), error);
    return true;
}

std::size_t FakeCommApi::PendingWrites(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).writes.size();
}

std::size_t FakeCommApi::PendingReads(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).reads.size();
}

bool FakeCommApi::CommWaitPending(std::string_view name) const {
    Lock lock(mutex_);
    return PortNamed(name).wait.has_value();
}

void FakeCommApi::Fail(std::string_view call, std::uint32_t error, int times, int skip) {
    Lock lock(mutex_);
    failures_[std::string(call)] = Failure{error, times, skip};
}

void FakeCommApi::ClearFailures() {
    Lock lock(mutex_);
    failures_.clear();
}

std::uint32_t FakeCommApi::Now() const {
    Lock lock(mutex_);
    return clock_;
}

void FakeCommApi::SetClock(std::uint32_t ticks) {
    Lock lock(mutex_);
    elapsed_ += static_cast<std::int32_t>(ticks - clock_);
    clock_ = ticks;
    ExpireTimeouts();
    changed_.notify_all();
}

void FakeCommApi::AdvanceClock(std::uint32_t ms) {
    Lock lock(mutex_);
    AdvanceLocked(ms);
}

void FakeCommApi::SetAutoAdvance(std::uint32_t step) {
    Lock lock(mutex_);
    autoStep_ = step;
}

std::vector<FakeCall> FakeCommApi::Calls() const {
    Lock lock(mutex_);
    return calls_;
}

std::vector<FakeCall> FakeCommApi::CallsNamed(std::string_view name) const {
    Lock lock(mutex_);
    std::vector<FakeCall> found;
    for (const FakeCall& call : calls_) {
        if (call.name == name) {
            found.push_back(call);
        }
    }
    return found;
}

std::size_t FakeCommApi::CallCount(std::string_view name) const {
    Lock lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        calls_.begin(), calls_.end(), [&](const FakeCall& call) { return call.name == name; }));
}

std::vector<std::string> FakeCommApi::CallNames(const std::vector<std::string>& except) const {
    Lock lock(mutex_);
    std::vector<std::string> names;
    for (const FakeCall& call : calls_) {
        if (std::find(except.begin(), except.end(), call.name) == except.end()) {
            names.push_back(call.name);
        }
    }
    return names;
}

std::string FakeCommApi::Trace() const {
    Lock lock(mutex_);
    std::string trace;
    for (const FakeCall& call : calls_) {
        trace += call.ToString() + "\n";
    }
    return trace;
}

void FakeCommApi::ClearCalls() {
    Lock lock(mutex_);
    callsCleared_ += calls_.size();
    calls_.clear();
}

std::size_t FakeCommApi::OpenHandles() const {
    Lock lock(mutex_);
    std::size_t open = events_.size();
    for (const auto& [key, port] : ports_) {
        open += port->handle != INVALID_HANDLE_VALUE ? 1 : 0;
    }
    return open;
}

bool FakeCommApi::IsSignalled(Handle event) const {
    Lock lock(mutex_);
    auto found = EventOf(event);
    return found && found->signalled;
}

bool FakeCommApi::WaitForCalls(std::string_view name, std::size_t count, Timeout timeout) {
    Lock lock(mutex_);
    return WaitRealTime(lock, timeout, [&] {
        return static_cast<std::size_t>(
                   std::count_if(calls_.begin(), calls_.end(),
                                 [&](const FakeCall& call) { return call.name == name; })) >= count;
    });
}

bool FakeCommApi::WaitForCommWait(std::string_view name, Timeout timeout) {
    Lock lock(mutex_);
    Port& port = PortNamed(name);
    return WaitRealTime(lock, timeout, [&] { return port.wait.has_value(); });
}

bool FakeCommApi::WaitForPendingRead(std::string_view name, Timeout timeout) {
    Lock lock(mutex_);
    Port& port = PortNamed(name);
    return WaitRealTime(lock, timeout, [&] { return !port.reads.empty(); });
}

bool FakeCommApi::WaitForPendingWrite(std::string_view name, Timeout timeout) {
    Lock lock(mutex_);
    Port& port = PortNamed(name);
    return WaitRealTime(lock, timeout, [&] { return !port.writes.empty(); });
}

// ---- ICommApi ---------------------------------------------------------------------------

// Starts a call: records it and answers an injected failure. Returns the
// call's index and whether it must fail now (the error is already set).
#define RC_FAKE_BEGIN(callName, ...)                                                               \
    Lock lock(mutex_);                                                                             \
    FakeCall rec_{};                                                                               \
    rec_.name = callName;                                                                          \
    __VA_ARGS__;                                                                                   \
    const std::size_t idx_ = Record(std::move(rec_));                                              \
    const std::optional<std::uint32_t> fail_ = Injected(callName);                                 \
    if (fail_) {                                                                                   \
        Recorded(idx_)->injected = true;                                                           \
    }

// Ends a call: sets the thread's last error, the recorded result, returns.
#define RC_FAKE_RETURN(value, error)                                                               \
    do {                                                                                           \
        const std::uint32_t e_ = (error);                                                          \
        SetError(e_);                                                                              \
        Finish(idx_, static_cast<std::int64_t>(value), e_);                                        \
        return value;                                                                              \
    } while (false)

// The open port behind a handle, or a failed return. RC_FAKE_PORT_KEPT is
// for the calls that still work once the device has gone (rules::kDeviceGone
// says which); RC_FAKE_PORT fails the others.
#define RC_FAKE_PORT_KEPT(handle, failValue)                                                       \
    if (fail_) {                                                                                   \
        RC_FAKE_RETURN(failValue, *fail_);                                                         \
    }                                                                                              \
    Port* port_ = PortOf(handle);                                                                  \
    if (port_ == nullptr) {                                                                        \
        RC_FAKE_RETURN(failValue, ERROR_INVALID_HANDLE);                                           \
    }                                                                                              \
    Port& port = *port_;
#define RC_FAKE_PORT(handle, failValue)                                                            \
    RC_FAKE_PORT_KEPT(handle, failValue)                                                           \
    if (port.removed) {                                                                            \
        RC_FAKE_RETURN(failValue, port.goneError);                                                 \
    }

Handle FakeCommApi::CreateFileA(const char* fileName, std::uint32_t desiredAccess,
                                std::uint32_t shareMode, std::uint32_t creationDisposition,
                                std::uint32_t flagsAndAttributes) {
    RC_FAKE_BEGIN("CreateFileA", rec_.text = fileName != nullptr ? fileName : "",
                  rec_.args = {desiredAccess, shareMode, creationDisposition, flagsAndAttributes});
    if (fail_) {
        RC_FAKE_RETURN(INVALID_HANDLE_VALUE, *fail_);
    }
    std::string_view name = fileName != nullptr ? fileName : "";
    if (name.substr(0, 4) == "\\\\.\\") {
        name.remove_prefix(4);
    }
    Port* port = FindPort(name);
    if (port == nullptr || !port->exists) {
        RC_FAKE_RETURN(INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    }
    if (port->busy || port->handle != INVALID_HANDLE_VALUE) {
        RC_FAKE_RETURN(INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    }
    port->handle = NewHandle();
    port->removed = false;
    port->goneError = rules::kDeviceGone;
    port->events = rules::TEventLatch();
    port->input.Clear();
    RC_FAKE_RETURN(port->handle, ERROR_SUCCESS);
}

bool FakeCommApi::CloseHandle(Handle object) {
    RC_FAKE_BEGIN("CloseHandle", rec_.handle = object);
    if (fail_) {
        RC_FAKE_RETURN(false, *fail_);
    }
    if (events_.erase(object) != 0) {
        RC_FAKE_RETURN(true, ERROR_SUCCESS);
    }
    Port* port = PortOf(object);
    if (port == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_HANDLE);
    }
    AbortAll(*port, ERROR_OPERATION_ABORTED);
    port->handle = INVALID_HANDLE_VALUE;
    port->removed = false;
    port->events.Take(); // the mask stays readable through CommMask()
    port->input.Clear();
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::SetupComm(Handle handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    RC_FAKE_BEGIN("SetupComm", rec_.handle = handle, rec_.args = {inQueue, outQueue});
    RC_FAKE_PORT_KEPT(handle, false);
    // 0 leaves the size as it was; the bytes a smaller size cannot hold are lost.
    if (port.input.Setup(inQueue)) {
        port.lineErrors.Add(CE_RXOVER);
    }
    port.outQueueSize = outQueue;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::SetCommState(Handle handle, const DCB* dcb) {
    RC_FAKE_BEGIN("SetCommState", rec_.handle = handle,
                  rec_.dcb = dcb != nullptr ? std::optional<DCB>(*dcb) : std::nullopt);
    RC_FAKE_PORT(handle, false);
    if (dcb == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    port.dcb = *dcb;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::GetCommState(Handle handle, DCB* dcb) {
    RC_FAKE_BEGIN("GetCommState", rec_.handle = handle);
    RC_FAKE_PORT_KEPT(handle, false);
    if (dcb == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    *dcb = port.dcb;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::SetCommTimeouts(Handle handle, const COMMTIMEOUTS* timeouts) {
    RC_FAKE_BEGIN("SetCommTimeouts", rec_.handle = handle,
                  rec_.timeouts =
                      timeouts != nullptr ? std::optional<COMMTIMEOUTS>(*timeouts) : std::nullopt);
    RC_FAKE_PORT_KEPT(handle, false);
    if (timeouts == nullptr || !rules::TimeoutsAccepted(*timeouts)) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    port.timeouts = *timeouts;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::GetCommTimeouts(Handle handle, COMMTIMEOUTS* timeouts) {
    RC_FAKE_BEGIN("GetCommTimeouts", rec_.handle = handle);
    RC_FAKE_PORT_KEPT(handle, false);
    if (timeouts == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    *timeouts = port.timeouts;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::ClearCommError(Handle handle, std::uint32_t* errors, COMSTAT* stat) {
    RC_FAKE_BEGIN("ClearCommError", rec_.handle = handle);
    RC_FAKE_PORT_KEPT(handle, false);
    const std::uint32_t reported = port.lineErrors.Take();
    if (errors != nullptr) {
        *errors = reported;
    }
    if (stat != nullptr) {
        std::uint64_t out = 0;
        for (const Write& write : port.writes) {
            out += write.data.size();
        }
        *stat = rules::QueueStatus(port.cbInQue.value_or(port.input.Size()), out);
    }
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::GetCommModemStatus(Handle handle, std::uint32_t* modemStatus) {
    RC_FAKE_BEGIN("GetCommModemStatus", rec_.handle = handle);
    RC_FAKE_PORT(handle, false);
    if (modemStatus == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    *modemStatus = port.modemStatus;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::PurgeComm(Handle handle, std::uint32_t flags) {
    RC_FAKE_BEGIN("PurgeComm", rec_.handle = handle, rec_.args = {flags});
    RC_FAKE_PORT_KEPT(handle, false);
    const auto purge = rules::PlanPurge(flags);
    if (!purge) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    if (purge->AbortReads) {
        while (!port.reads.empty()) {
            Read done = std::move(port.reads.front());
            port.reads.pop_front();
            Complete(done.ov, done.event, ERROR_OPERATION_ABORTED, done.got);
        }
    }
    if (purge->AbortWrites) {
        while (!port.writes.empty()) {
            Write done = std::move(port.writes.front());
            port.writes.pop_front();
            Complete(done.ov, done.event, ERROR_OPERATION_ABORTED, 0);
        }
    }
    // The fake holds no bytes on their way out: PURGE_TXCLEAR has nothing to clear.
    if (purge->ClearInput) {
        port.input.Clear();
    }
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::SetCommMask(Handle handle, std::uint32_t eventMask) {
    RC_FAKE_BEGIN("SetCommMask", rec_.handle = handle, rec_.args = {eventMask});
    RC_FAKE_PORT_KEPT(handle, false);
    if (port.wait) {
        // A new mask ends the pending wait with an empty mask, as on Windows.
        Port::Wait wait = *port.wait;
        port.wait.reset();
        *wait.mask = 0;
        Complete(wait.ov, wait.event, ERROR_SUCCESS, 0);
    }
    port.events.SetMask(eventMask);
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::GetCommMask(Handle handle, std::uint32_t* eventMask) {
    RC_FAKE_BEGIN("GetCommMask", rec_.handle = handle);
    RC_FAKE_PORT_KEPT(handle, false);
    if (eventMask == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    *eventMask = port.events.Mask();
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::WaitCommEvent(Handle handle, std::uint32_t* eventMask, Overlapped* overlapped) {
    RC_FAKE_BEGIN("WaitCommEvent", rec_.handle = handle, rec_.overlapped = overlapped);
    RC_FAKE_PORT_KEPT(handle, false);
    if (eventMask == nullptr || overlapped == nullptr || !port.events.CanWait() || port.wait) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    auto event = EventOf(overlapped->hEvent);
    if (port.events.Kept() != 0) {
        *eventMask = port.events.Take();
        Complete(overlapped, event, ERROR_SUCCESS, 0);
        RC_FAKE_RETURN(true, ERROR_SUCCESS);
    }
    if (port.removed) {
        *eventMask = 0;
        overlapped->Internal = port.goneError;
        overlapped->InternalHigh = 0;
        RC_FAKE_RETURN(false, port.goneError);
    }
    if (event) {
        event->signalled = false;
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    port.wait = Port::Wait{eventMask, overlapped, event};
    RC_FAKE_RETURN(false, ERROR_IO_PENDING);
}

bool FakeCommApi::ReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t* read,
                           Overlapped* overlapped) {
    RC_FAKE_BEGIN("ReadFile", rec_.handle = handle, rec_.args = {count},
                  rec_.overlapped = overlapped);
    RC_FAKE_PORT_KEPT(handle, false);
    if (overlapped == nullptr || (buffer == nullptr && count != 0)) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    Read r;
    r.ov = overlapped;
    r.event = EventOf(overlapped->hEvent);
    r.buffer = static_cast<std::uint8_t*>(buffer);
    r.count = count;
    r.plan = rules::PlanRead(port.timeouts, count);
    // Bytes go to earlier pending reads first.
    if (port.reads.empty()) {
        r.got = static_cast<std::uint32_t>(port.input.Pop(r.buffer, r.count));
    }
    if (port.removed && r.got == 0 && r.count != 0) {
        Complete(overlapped, r.event, port.goneError, 0);
        RC_FAKE_RETURN(false, port.goneError);
    }
    if (r.plan.EndsWith(r.got, r.count) || port.removed) {
        if (read != nullptr) {
            *read = r.got;
        }
        Complete(overlapped, r.event, ERROR_SUCCESS, r.got);
        RC_FAKE_RETURN(true, ERROR_SUCCESS);
    }
    if (r.plan.Total) {
        r.totalDeadline = elapsed_ + static_cast<std::int64_t>(*r.plan.Total);
    }
    if (r.plan.Interval != 0 && r.got > 0) {
        r.intervalDeadline = elapsed_ + r.plan.Interval;
    }
    if (read != nullptr) {
        *read = 0;
    }
    if (r.event) {
        r.event->signalled = false;
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    port.reads.push_back(std::move(r));
    changed_.notify_all();
    RC_FAKE_RETURN(false, ERROR_IO_PENDING);
}

bool FakeCommApi::WriteFile(Handle handle, const void* buffer, std::uint32_t count,
                            std::uint32_t* written, Overlapped* overlapped) {
    RC_FAKE_BEGIN(
        "WriteFile", rec_.handle = handle, rec_.args = {count}, rec_.overlapped = overlapped,
        rec_.text = buffer != nullptr ? std::string(static_cast<const char*>(buffer), count)
                                      : std::string());
    RC_FAKE_PORT(handle, false);
    if (overlapped == nullptr || (buffer == nullptr && count != 0)) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    Write w;
    w.ov = overlapped;
    w.event = EventOf(overlapped->hEvent);
    if (count != 0) {
        w.data.assign(static_cast<const char*>(buffer), count);
    }
    if (writeMode_ == WriteMode::kDoneAtOnce || count == 0) {
        if (written != nullptr) {
            *written = count;
        }
        FinishWrite(port, w, count, ERROR_SUCCESS);
        RC_FAKE_RETURN(true, ERROR_SUCCESS);
    }
    if (written != nullptr) {
        *written = 0;
    }
    if (writeMode_ == WriteMode::kPendingCompleted) {
        FinishWrite(port, w, count, ERROR_SUCCESS);
        RC_FAKE_RETURN(false, ERROR_IO_PENDING);
    }
    if (const auto total = rules::WriteDeadline(port.timeouts, count);
        total && !writeTimeoutsIgnored_) {
        w.deadline = elapsed_ + static_cast<std::int64_t>(*total);
    }
    if (w.event) {
        w.event->signalled = false;
    }
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    port.writes.push_back(std::move(w));
    changed_.notify_all();
    RC_FAKE_RETURN(false, ERROR_IO_PENDING);
}

bool FakeCommApi::GetOverlappedResult(Handle handle, Overlapped* overlapped,
                                      std::uint32_t* transferred, bool wait) {
    RC_FAKE_BEGIN("GetOverlappedResult", rec_.handle = handle, rec_.args = {wait ? 1u : 0u},
                  rec_.overlapped = overlapped);
    if (fail_) {
        RC_FAKE_RETURN(false, *fail_);
    }
    if (overlapped == nullptr) {
        RC_FAKE_RETURN(false, ERROR_INVALID_PARAMETER);
    }
    if (overlapped->Internal == kStatusPending) {
        if (!wait) {
            RC_FAKE_RETURN(false, ERROR_IO_INCOMPLETE);
        }
        changed_.wait(lock, [&] { return overlapped->Internal != kStatusPending; });
    }
    if (transferred != nullptr) {
        *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
    }
    const auto status = static_cast<std::uint32_t>(overlapped->Internal);
    RC_FAKE_RETURN(status == ERROR_SUCCESS, status);
}

Handle FakeCommApi::CreateEventA(bool manualReset, bool initialState) {
    RC_FAKE_BEGIN("CreateEventA", rec_.args = {manualReset ? 1u : 0u, initialState ? 1u : 0u});
    if (fail_) {
        RC_FAKE_RETURN(Handle{0}, *fail_);
    }
    auto event = std::make_shared<Event>();
    event->manual = manualReset;
    event->signalled = initialState;
    const Handle handle = NewHandle();
    events_[handle] = std::move(event);
    RC_FAKE_RETURN(handle, ERROR_SUCCESS);
}

bool FakeCommApi::SetEvent(Handle handle) {
    RC_FAKE_BEGIN("SetEvent", rec_.handle = handle);
    if (fail_) {
        RC_FAKE_RETURN(false, *fail_);
    }
    auto event = EventOf(handle);
    if (!event) {
        RC_FAKE_RETURN(false, ERROR_INVALID_HANDLE);
    }
    Signal(event);
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

bool FakeCommApi::ResetEvent(Handle handle) {
    RC_FAKE_BEGIN("ResetEvent", rec_.handle = handle);
    if (fail_) {
        RC_FAKE_RETURN(false, *fail_);
    }
    auto event = EventOf(handle);
    if (!event) {
        RC_FAKE_RETURN(false, ERROR_INVALID_HANDLE);
    }
    event->signalled = false;
    RC_FAKE_RETURN(true, ERROR_SUCCESS);
}

std::uint32_t FakeCommApi::QueryDosDeviceA(const char* deviceName, char* targetPath,
                                           std::uint32_t max) {
    RC_FAKE_BEGIN("QueryDosDeviceA", rec_.text = deviceName != nullptr ? deviceName : "",
                  rec_.args = {max});
    if (fail_) {
        RC_FAKE_RETURN(0u, *fail_);
    }
    const Port* port = deviceName != nullptr ? FindPort(deviceName) : nullptr;
    if (port == nullptr || !port->exists) {
        RC_FAKE_RETURN(0u, ERROR_FILE_NOT_FOUND);
    }
    // A device path as Windows gives one, in a list that ends with an empty string.
    const std::string target = "\\Device\\FakeSerial\\" + port->name;
    const auto needed = static_cast<std::uint32_t>(target.size() + 2);
    if (targetPath == nullptr || max < needed) {
        RC_FAKE_RETURN(0u, ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(targetPath, target.c_str(), target.size() + 1);
    targetPath[target.size() + 1] = '\0';
    RC_FAKE_RETURN(needed, ERROR_SUCCESS);
}

std::uint32_t FakeCommApi::WaitForSingleObject(Handle object, std::uint32_t milliseconds) {
    return Wait("WaitForSingleObject", 1, &object, false, milliseconds);
}

std::uint32_t FakeCommApi::WaitForMultipleObjects(std::uint32_t count, const Handle* objects,
                                                  bool waitAll, std::uint32_t milliseconds) {
    return Wait("WaitForMultipleObjects", count, objects, waitAll, milliseconds);
}

std::uint32_t FakeCommApi::Wait(const char* name, std::uint32_t count, const Handle* objects,
                                bool waitAll, std::uint32_t milliseconds) {
    const bool single = std::string_view(name) == "WaitForSingleObject";
    RC_FAKE_BEGIN(name, rec_.handles.assign(objects, objects + (objects != nullptr ? count : 0)),
                  rec_.args = single ? std::vector<std::uint64_t>{milliseconds}
                                     : std::vector<std::uint64_t>{waitAll ? 1u : 0u, milliseconds});
    if (single) {
        FakeCall* call = Recorded(idx_);
        call->handle = call->handles.at(0);
        call->handles.clear();
    }
    if (fail_) {
        RC_FAKE_RETURN(WAIT_FAILED, *fail_);
    }
    if (objects == nullptr || count == 0 || count > 64) {
        RC_FAKE_RETURN(WAIT_FAILED, ERROR_INVALID_PARAMETER);
    }
    // The waiter holds the objects: closing a handle does not end the wait.
    std::vector<std::shared_ptr<Event>> waited;
    for (std::uint32_t i = 0; i < count; ++i) {
        auto event = EventOf(objects[i]);
        if (!event) {
            RC_FAKE_RETURN(WAIT_FAILED, ERROR_INVALID_HANDLE);
        }
        waited.push_back(std::move(event));
    }
    Waiter waiter{std::move(waited), waitAll, std::nullopt};
    if (!Satisfy(waiter) && milliseconds != 0) {
        // Registered, the waiter is released by the Signal that makes it
        // ready, before any other thread can reset the event, as on Windows.
        const std::uint32_t deadline = clock_ + milliseconds;
        waiters_.push_back(&waiter);
        changed_.wait(lock, [&] {
            return waiter.result.has_value() ||
                   (milliseconds != INFINITE && Reached(clock_, deadline));
        });
        waiters_.remove(&waiter);
    }
    const std::uint32_t result = waiter.result.value_or(WAIT_TIMEOUT);
    RC_FAKE_RETURN(result, ERROR_SUCCESS);
}

std::uint32_t FakeCommApi::GetLastError() {
    Lock lock(mutex_);
    const std::uint32_t error = lastError_[std::this_thread::get_id()];
    FakeCall call;
    call.name = "GetLastError";
    call.result = error;
    Record(std::move(call));
    return error;
}

void FakeCommApi::SetLastError(std::uint32_t error) {
    Lock lock(mutex_);
    FakeCall call;
    call.name = "SetLastError";
    call.args = {error};
    Record(std::move(call));
    SetError(error);
}

std::uint32_t FakeCommApi::GetTickCount() {
    Lock lock(mutex_);
    const std::uint32_t now = clock_;
    FakeCall call;
    call.name = "GetTickCount";
    call.result = now;
    Record(std::move(call));
    if (autoStep_ != 0) {
        AdvanceLocked(autoStep_);
    }
    return now;
}

void FakeCommApi::Sleep(std::uint32_t milliseconds) {
    {
        Lock lock(mutex_);
        FakeCall call;
        call.name = "Sleep";
        call.args = {milliseconds};
        Record(std::move(call));
        if (milliseconds != 0) {
            AdvanceLocked(milliseconds);
        }
    }
    std::this_thread::yield();
}

#undef RC_FAKE_BEGIN
#undef RC_FAKE_RETURN
#undef RC_FAKE_PORT

} // namespace comm
