#pragma once
// What a Windows serial driver decides, written once for the backends that
// emulate one (the POSIX backend and the test fake): comm::rules.
//
// It holds the decisions only: how a read ends under the COMMTIMEOUTS that
// are set and when its deadlines fall, when a write times out, which
// time-outs SetCommTimeouts refuses; the input queue of SetupComm's size
// with its 80 % mark, what arriving bytes raise (fNull, the event
// character) and what is lost with CE_RXOVER; which events a WaitCommEvent
// reports (the latch with its mask); what PurgeComm does; the line error
// flags and queue counts that ClearCommError reports; and what a port whose
// device went away still does.
//
// It does no I/O, starts no thread and reads no clock: times are numbers of
// milliseconds after a moment the caller owns (the start of the read or
// write), and the caller keeps the deadlines on its own clock. Nothing here
// locks: each object belongs to one port and is guarded by that port's lock.
//
// Not here: the bytes' way from the device (the POSIX backend's tty, the
// fake's test) and the pending transfers themselves, which each emulation
// keeps with its own clock and signals with its own events.

#include "serial/driver/CommApi.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace comm::rules {

// SetCommTimeouts refuses MAXDWORD in all three read fields
// (ERROR_INVALID_PARAMETER) and takes anything else.
bool TimeoutsAccepted(const COMMTIMEOUTS& timeouts);

// How a read of `count` bytes ends under the time-outs set when it starts.
struct TReadPlan {
    // Ends at once with what is queued, however little (interval MAXDWORD,
    // both totals 0).
    bool AtOnce = false;
    // Ends as soon as it holds a byte (interval MAXDWORD with a total whose
    // constant is not MAXDWORD, whatever the multiplier).
    bool FirstByte = false;
    // The total deadline, in ms after the read starts: multiplier x count +
    // constant in 64 bits, never clamped (the constant alone when both the
    // interval and the multiplier are MAXDWORD). nullopt: none. 0 is reached
    // when the read starts.
    std::optional<std::uint64_t> Total;
    // The silence after a byte that ends the read, in ms; 0: none.
    std::uint32_t Interval = 0;

    // Whether the read ends now holding `got` of its bytes, deadlines aside.
    bool EndsWith(std::uint32_t got, std::uint32_t count) const {
        return got >= count || AtOnce || (FirstByte && (got > 0 || Total == 0u));
    }
};

TReadPlan PlanRead(const COMMTIMEOUTS& timeouts, std::uint32_t count);

// The deadline of a write of `count` bytes, in ms after it starts:
// multiplier x count + constant in 64 bits; nullopt when that is 0 (none).
// A write that reaches it ends successfully with what has gone.
std::optional<std::uint64_t> WriteDeadline(const COMMTIMEOUTS& timeouts, std::uint32_t count);

// The events of one port: its mask, and the events that happened while no
// WaitCommEvent was pending, kept for the next one.
class TEventLatch {
public:
    std::uint32_t Mask() const { return FMask; }
    // A new mask keeps the kept events it still asks for. A pending wait
    // ends with 0 when the mask changes (the caller's part: it holds the wait).
    void SetMask(std::uint32_t mask);
    // WaitCommEvent is refused (ERROR_INVALID_PARAMETER) while the mask is 0.
    bool CanWait() const { return FMask != 0; }
    // Keeps the events the mask asks for; true when any were.
    bool Raise(std::uint32_t events);
    std::uint32_t Kept() const { return FKept; }
    // The kept events, for the wait that reports them; none are kept after.
    // Nothing else clears them: not a purge, nor reading the bytes.
    std::uint32_t Take();

private:
    std::uint32_t FMask = 0;
    std::uint32_t FKept = 0;
};

// fNull: drops the zero bytes among the count at bytes, keeping the order;
// returns how many bytes are left.
std::size_t DiscardNulls(std::uint8_t* bytes, std::size_t count);

// The error of a port whose device went away (a USB adapter pulled). The
// read, the write and the event wait that were pending end with it, and
// CE_IOE is flagged. Bytes queued before stay readable and kept events are
// still reported; a read or a wait that then finds nothing, a write, and
// what needs the device (SetCommState, the modem status) fail with it.
inline constexpr std::uint32_t kDeviceGone = ERROR_DEVICE_REMOVED;

// What bytes that reach the input queue raise: EV_RXCHAR for any byte, and
// EV_RXFLAG when one of them is the DCB's event character.
std::uint32_t ArrivalEvents(const std::uint8_t* bytes, std::size_t count, char eventChar);

// The input queue's size until SetupComm sets one.
inline constexpr std::size_t kDefaultInputSize = 4096;

// Whether `size` bytes fill at least 80 % of an input queue of `capacity`
// bytes, the mark at which EV_RX80FULL is raised.
bool AtInputMark(std::size_t size, std::size_t capacity);

// The input queue: at most SetupComm's input size of bytes, oldest first.
class TInputQueue {
public:
    // The storage grows with what is queued, up to the capacity: a large
    // SetupComm size costs nothing until bytes fill it.
    explicit TInputQueue(std::size_t capacity) : FCapacity(capacity) {}
    std::size_t Size() const { return FSize; }
    std::size_t Capacity() const { return FCapacity; }
    std::size_t Space() const { return FCapacity - FSize; }
    // Bytes arrive. Pending reads take theirs first (`serve` lets them take
    // from the queue); the queue keeps what they leave while it has room.
    // ORs EV_RX80FULL into *events when the queue reached its mark, and
    // returns how many bytes were lost for want of room (CE_RXOVER).
    template <class TServe>
    std::size_t Arrive(const std::uint8_t* bytes, std::size_t count, TServe&& serve,
                       std::uint32_t* events) {
        std::size_t pos = 0;
        for (;;) {
            pos += Push(bytes + pos, count - pos);
            const std::size_t before = FSize;
            serve();
            *events |= MarkEvent();
            if (pos == count || FSize == before) {
                return count - pos;
            }
        }
    }
    // Appends as much as fits; returns how much that was.
    std::size_t Push(const std::uint8_t* bytes, std::size_t count);
    // EV_RX80FULL once the queue has reached the 80 % mark, and then not
    // again until it has been below it; otherwise 0.
    std::uint32_t MarkEvent();
    // Removes up to count bytes into out; returns how many.
    std::size_t Pop(std::uint8_t* out, std::size_t count);
    void Clear();
    // A new capacity; keeps the oldest bytes that fit and returns how many
    // were dropped. A queue already at the mark raises no EV_RX80FULL for it.
    std::size_t Resize(std::size_t capacity);
    // SetupComm's input size: 0 leaves the queue as it is (the Windows
    // driver takes a size it already has room for), any other becomes its
    // capacity. Returns whether queued bytes were lost to it (CE_RXOVER).
    bool Setup(std::uint32_t size);

private:
    // Makes room in the storage for `more` bytes beyond those queued.
    void Reserve(std::size_t more);

    std::size_t FCapacity;
    std::vector<std::uint8_t> FData; // a ring of FData.size() bytes, FHead its oldest
    std::size_t FHead = 0;
    std::size_t FSize = 0;
    bool FAtMark = false; // EV_RX80FULL raised and the queue not below the mark since
};

// What PurgeComm does. Pending transfers that it aborts end with
// ERROR_OPERATION_ABORTED (a read keeps the bytes it already holds); the
// kept events and the error flags stay.
struct TPurge {
    bool AbortWrites = false; // PURGE_TXABORT
    bool AbortReads = false;  // PURGE_RXABORT
    bool ClearOutput = false; // PURGE_TXCLEAR: the bytes not yet sent
    bool ClearInput = false;  // PURGE_RXCLEAR: the input queue
};
// nullopt when PurgeComm refuses the flags (ERROR_INVALID_PARAMETER): none
// of the four, or a bit that is none of them.
std::optional<TPurge> PlanPurge(std::uint32_t flags);

// The line error flags (CE_*) gathered since ClearCommError last reported them.
class TCommErrors {
public:
    void Add(std::uint32_t errors) { FErrors |= errors; }
    std::uint32_t Pending() const { return FErrors; }
    // What ClearCommError reports; the flags are clear after.
    std::uint32_t Take();

private:
    std::uint32_t FErrors = 0;
};

// The queue counts that ClearCommError reports: the bytes in the input queue
// and those written but not yet sent, each at most MAXDWORD; no status flag.
COMSTAT QueueStatus(std::uint64_t inQueue, std::uint64_t outQueue);

} // namespace comm::rules
