#pragma once
// Internal to the network backend: one open network port, its connection,
// its input queue, its pending transfers and its I/O thread. The behaviour
// is described in NetCommApi.h. In four files by concern: NetPort.cpp
// (open, negotiation, close), NetPortSettings.cpp (the line settings, the
// modem and line state, purge), NetPortTransfers.cpp (reads, writes, event
// waits) and NetPortThread.cpp (the I/O thread: the socket both ways).

#include "serial/driver/CommApi.h"
#include "serial/driver/DriverRules.h"
#include "serial/driver/NetPortName.h"
#include "serial/driver/NetSocket.h"
#include "serial/driver/Telnet.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace comm::net {

class TNetPort {
public:
    using Clock = std::chrono::steady_clock;

    // Connects (and on rfc2217:// negotiates) by the connect time-out; null
    // with *error set when it cannot. `events` is the backend whose events
    // the callers' Overlapped blocks name: completions signal them there.
    static std::shared_ptr<TNetPort> Open(const TNetPortName& name, ICommApi& events,
                                          std::uint32_t* error);
    ~TNetPort();

    // The port's name as FormatNetPortName writes it.
    const std::string& Name() const { return name_; }
    // The connection was closed or lost: the device is gone.
    bool Gone() const;

    // Each returns ERROR_SUCCESS or the Windows error code.
    std::uint32_t Setup(std::uint32_t inQueue, std::uint32_t outQueue);
    std::uint32_t SetState(const DCB& dcb);
    std::uint32_t GetState(DCB* dcb);
    std::uint32_t SetTimeouts(const COMMTIMEOUTS& timeouts);
    std::uint32_t GetTimeouts(COMMTIMEOUTS* timeouts);
    std::uint32_t ClearError(std::uint32_t* errors, COMSTAT* stat);
    std::uint32_t ModemStatus(std::uint32_t* status);
    std::uint32_t Purge(std::uint32_t flags);
    std::uint32_t SetMask(std::uint32_t mask);
    std::uint32_t GetMask(std::uint32_t* mask);

    // Overlapped operations: ERROR_SUCCESS (done at once, count filled),
    // ERROR_IO_PENDING, or the error that refused them. ov->hEvent is an
    // event of `events` (or none: 0, INVALID_HANDLE_VALUE).
    std::uint32_t Read(void* buffer, std::uint32_t count, std::uint32_t* read, Overlapped* ov);
    std::uint32_t Write(const void* buffer, std::uint32_t count, std::uint32_t* written,
                        Overlapped* ov);
    std::uint32_t WaitEvent(std::uint32_t* mask, Overlapped* ov);
    // True when ov has no pending transfer on this port; with wait, blocks until then.
    bool OverlappedDone(const Overlapped* ov, bool wait);

    // Ends every pending transfer, stops and joins the I/O thread, closes the
    // connection. Idempotent.
    void Close();

    TNetPort(const TNetPort&) = delete;
    TNetPort& operator=(const TNetPort&) = delete;

private:
    struct Op {
        enum class Kind { Read, Write, Wait };
        Kind kind = Kind::Read;
        Overlapped* ov = nullptr;
        Handle event = 0;
        std::uint8_t* buffer = nullptr;
        std::uint32_t count = 0;
        std::uint32_t done = 0;
        std::uint32_t committed = 0; // a write's bytes put on the wire
        std::uint32_t* maskOut = nullptr;
        bool started = false;
        rules::TReadPlan plan;
        std::optional<Clock::time_point> total;
        std::optional<Clock::time_point> intervalDeadline;
    };
    // One COM-PORT command whose answer SetState waits for; `lines`: DTR or
    // RTS, which a server without those lines does not answer.
    struct Expected {
        TComPortCommand command;
        std::uint32_t asked;
        bool lines = false;
        std::optional<std::uint32_t> answer;
    };
    // Which setting a SET-CONTROL value is of (flow, break, DTR, RTS,
    // inbound flow): an answer is matched to the command of its setting.
    static int ControlGroup(std::uint32_t value);

    // A write goes on the wire in chunks of this many bytes, each escaped
    // whole, so that a command is never put between an IAC and its double.
    static constexpr std::size_t kChunk = 4096;
    static constexpr std::size_t kScratch = 16u << 10;
    // Answers to the server that it does not read: input stops at this
    // backlog, and goes on when the server has read it.
    static constexpr std::size_t kWireBacklog = 64u << 10;
    static constexpr std::uint32_t kMaxInputSize = 64u << 20;

    static std::chrono::milliseconds Ms(std::uint64_t ms);

    TNetPort(const TNetPortName& name, ICommApi& events, std::unique_ptr<TNetSocket> socket);
    std::uint32_t Negotiate(Clock::time_point deadline);

    // NetPortThread.cpp
    void Run();
    void Wake();
    void WatchDeadlines();
    bool InputPaused() const;
    bool InputFlowControl() const;
    void ReadInput(bool force);
    void Process(std::uint8_t* bytes, std::size_t count);
    void Ingest(std::uint8_t* bytes, std::size_t count);
    void OnReply(const TComPortReply& reply);
    void PushOutput(Clock::time_point now);
    void Control(const std::vector<std::uint8_t>& bytes);
    bool WirePending() const { return wireHead_ < wire_.size(); }
    void Expire(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;
    void HangUp();

    // NetPortTransfers.cpp
    bool Pending(const Overlapped* ov) const;
    std::optional<std::uint32_t> Begin(Op::Kind kind, Overlapped* ov, std::uint8_t* buffer,
                                       std::uint32_t count, std::uint32_t* transferred, Op* op);
    void StartRead(Op& op, Clock::time_point now);
    void StartWrite(Op& op, Clock::time_point now);
    void ServeReads(Clock::time_point now);
    void PopInput(std::uint8_t* out, std::uint32_t count, std::uint32_t* done);
    void Record(std::uint32_t events);
    void Complete(Op& op, std::uint32_t error);
    void CompleteAll(std::deque<Op>& ops, std::uint32_t error);
    void CompleteWait(std::uint32_t error);

    const std::string name_;
    const bool comPort_; // rfc2217://
    ICommApi& events_;
    const std::unique_ptr<TNetSocket> socket_;

    std::mutex settingsMutex_; // one SetState at a time; before mutex_
    mutable std::mutex mutex_;
    std::condition_variable completed_; // a transfer completed (for waiting callers)
    std::condition_variable answered_;  // a COM-PORT answer came, or the device went
    std::condition_variable idle_;      // wakes the I/O thread once the device is gone
    bool closed_ = false;
    bool removed_ = false;
    bool wakePending_ = false;
    bool suspended_ = false; // the server asked the client to hold its data
    TTelnetClient client_;
    TTelnetInput input_; // reused by each Feed
    std::vector<std::uint8_t> scratch_;
    std::vector<std::uint8_t> wire_; // bytes for the socket, sent from wireHead_
    std::size_t wireHead_ = 0;
    std::vector<Expected> expected_;
    // PURGE-DATA commands sent and answered, counted: a Purge waits until
    // the answers reach its own. While purgeDropsTo_ is above the answers
    // and those given up (a receive side purged), the server's bytes before that answer are
    // the purged ones and are dropped. A server that left one unanswered is
    // not waited for again (purgeSilent_).
    std::uint64_t purgesSent_ = 0;
    std::uint64_t purgesAnswered_ = 0;
    std::uint64_t purgesGivenUp_ = 0; // those sent before a purge timed out
    std::uint64_t purgeDropsTo_ = 0;
    bool purgeSilent_ = false;
    rules::TInputQueue queue_{rules::kDefaultInputSize};
    rules::TCommErrors errors_;
    rules::TEventLatch latch_;
    std::optional<DCB> dcb_;
    COMMTIMEOUTS timeouts_{};
    std::uint32_t modem_ = 0; // MS_* from the server's last NOTIFY-MODEMSTATE
    std::deque<Op> reads_;
    std::deque<Op> writes_;
    std::optional<Op> wait_;
    bool draining_ = false; // bytes were written and EV_TXEMPTY is still due
    std::optional<Clock::time_point> ioDeadline_;
    std::thread thread_;
};

} // namespace comm::net
