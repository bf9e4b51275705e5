#pragma once
// Internal to the POSIX backend: one open port, its input queue, its pending
// transfers and its I/O thread. The behaviour is described in PosixCommApi.h.

#include "serial/driver/CommApi.h"
#include "serial/driver/DriverRules.h"
#include "serial/driver/PosixSync.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

namespace comm::posix {

class Port final : public Object, public std::enable_shared_from_this<Port> {
public:
    using Clock = std::chrono::steady_clock;

    // Opens the device at path; null with *error set when it cannot be had.
    static std::shared_ptr<Port> Open(const std::string& path, std::uint32_t* error);
    ~Port() override;
    void OnHandleClosed() override { Close(); }
    // A thread waiting for a pending read or event wait of this port polls
    // the device itself and processes what arrives (see Object::Pump).
    bool Pump(int wakeFd, int timeoutMs) override;

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
    std::uint32_t RequestedTermios(termios* out);

    // Overlapped operations: ERROR_SUCCESS (done at once, count filled),
    // ERROR_IO_PENDING, or the error that refused them. event may be null.
    std::uint32_t Read(void* buffer, std::uint32_t count, std::uint32_t* read, Overlapped* ov,
                       std::shared_ptr<EventObject> event);
    std::uint32_t Write(const void* buffer, std::uint32_t count, std::uint32_t* written,
                        Overlapped* ov, std::shared_ptr<EventObject> event);
    std::uint32_t WaitEvent(std::uint32_t* mask, Overlapped* ov,
                            std::shared_ptr<EventObject> event);
    // True when ov has no pending transfer on this port; with wait, blocks until then.
    bool OverlappedDone(const Overlapped* ov, bool wait);

    // Ends every pending transfer, stops and joins the I/O thread, closes the
    // device. Idempotent.
    void Close();

    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

private:
    struct Op {
        enum class Kind { Read, Write, Wait };
        Kind kind = Kind::Read;
        Overlapped* ov = nullptr;
        std::shared_ptr<EventObject> event;
        std::uint8_t* buffer = nullptr;
        std::uint32_t count = 0;
        std::uint32_t done = 0;
        std::uint32_t* maskOut = nullptr;
        bool started = false;
        rules::TReadPlan plan; // how a read ends (set when it starts)
        std::optional<Clock::time_point> total;
        std::optional<Clock::time_point> intervalDeadline;
    };

    static constexpr std::size_t kLargeRead = 1024; // a read this large: the device streams
    static constexpr auto kModemPeriod = std::chrono::milliseconds(10);
    // When the I/O thread, having left the device to a pumping waiter, looks
    // once whether the pump has ended.
    static constexpr auto kYieldCheck = std::chrono::milliseconds(2);
    static constexpr std::uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

    // errno values by which a tty tells that its device has gone away.
    static bool IsGone(int error);
    // A time-out in milliseconds, bounded so that a time point far in the
    // future does not overflow.
    static std::chrono::milliseconds Ms(std::uint64_t ms);
    static int ModemLines(int fd, bool* ok);
    static void SetLines(int fd, int lines, bool on);

    Port(int fd, int wakeRead, int wakeWrite, std::uint64_t dev, std::uint64_t ino);
    // Every call from outside begins here: the port's lock, then the device
    // given back to the I/O thread after a pump (ResumeInput; with catchUp,
    // after taking in what the kernel holds: CatchUp). Not owned when the
    // port is closed: the call then fails with ERROR_INVALID_HANDLE.
    std::unique_lock<std::mutex> Enter(bool catchUp = false);

    void Run();
    bool Pending(const Overlapped* ov) const; // ov has a transfer pending here
    Op NewTransfer(Op::Kind kind, Overlapped* ov, std::shared_ptr<EventObject> event,
                   std::uint8_t* buffer, std::uint32_t count, std::uint32_t* transferred);
    void Wake();
    // Wakes the I/O thread when a timeout now runs out before the one its
    // poll waits for (a timeout started by another thread).
    void WatchDeadlines();
    // Gives the device back to the I/O thread after a pump.
    void ResumeInput();
    // ResumeInput, after taking in what the kernel holds when nobody
    // watches the device (no pump runs and the I/O thread's poll leaves it).
    void CatchUp(std::unique_lock<std::mutex>& lock);
    void StartRead(Op& op, Clock::time_point now);
    void StartWrite(Op& op, Clock::time_point now);
    void ServeReads(Clock::time_point now);
    // Moves queued output to the device while it takes it.
    void PushOutput(Clock::time_point now);
    // Writes what the device takes of op; 0 or the errno that stopped it.
    int WriteSome(Op& op);
    // Reads what the device has and processes it. Called with lock (on
    // mutex_) held; releases it around the read() itself, holding
    // readMutex_ so that bytes are processed in the order they were read.
    void ReadInput(std::unique_lock<std::mutex>& lock);
    void Ingest(std::uint8_t* bytes, std::size_t count, Clock::time_point now);
    void Expire(Clock::time_point now);
    void CheckDrained(Clock::time_point now);
    void CheckModem(Clock::time_point now);
    void CheckCounters();
    void Record(std::uint32_t events);
    void Complete(Op& op, std::uint32_t error);
    void CompleteAll(std::deque<Op>& ops, std::uint32_t error);
    void HangUp();
    void SetRts(bool on);
    void PopInput(std::uint8_t* out, std::uint32_t count, std::uint32_t* done);
    bool InputFlowControl() const;
    bool ModemPolling() const;
    std::optional<Clock::time_point> NextDeadline() const;
    std::uint32_t ApplyLines(const DCB& dcb);

    const int fd_;
    const int wakeRead_;
    const int wakeWrite_;
    const std::uint64_t dev_;
    const std::uint64_t ino_;
    bool hasLines_ = false;    // the driver has modem lines (TIOCMGET works)
    bool hasCounters_ = false; // the driver keeps line-error counters
    bool hasRs485_ = false;    // the driver's RS-485 mode is on (RTS toggle)
    bool lowLatency_ = false;  // open turned the driver's low-latency flag on

    std::mutex readMutex_; // one reader of the device at a time; before mutex_
    mutable std::mutex mutex_;
    std::condition_variable completed_; // a transfer completed (for waiting callers)
    bool closed_ = false;
    bool removed_ = false; // the device went away
    bool wakePending_ = false;
    bool inputPaused_ = false; // the queue is full and input flow control holds the peer
    int zeroReads_ = 0;
    int pumping_ = 0; // threads inside Pump()
    // A pump has ended and the I/O thread has not taken the device back yet
    // (it does at the next call on the port, or at yieldCheck_).
    bool resumeInput_ = false;
    bool ioPollsInput_ = false; // the I/O thread's poll watches the device for input
    std::optional<Clock::time_point> yieldCheck_;
    rules::TInputQueue queue_{rules::kDefaultInputSize};
    int markState_ = 0; // position inside a PARMRK mark
    rules::TCommErrors errors_;
    rules::TEventLatch events_; // the mask and the events kept for the next wait
    std::optional<DCB> dcb_;
    termios requested_{};
    bool haveRequested_ = false;
    COMMTIMEOUTS timeouts_{};
    std::uint32_t baud_ = 9600;
    std::deque<Op> reads_;
    std::deque<Op> writes_;
    std::optional<Op> wait_;
    bool draining_ = false; // bytes were written and EV_TXEMPTY is still due
    std::optional<Clock::time_point> drainCheck_;
    bool softToggle_ = false; // RTS raised by this backend while sending
    std::optional<Clock::time_point> modemCheck_;
    std::optional<Clock::time_point> ioDeadline_; // what the I/O thread's poll waits for
    int lastLines_ = 0;
    struct Counters {
        int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    } counters_;
    std::vector<std::uint8_t> scratch_; // guarded by readMutex_
    std::thread thread_;
};

} // namespace comm::posix
