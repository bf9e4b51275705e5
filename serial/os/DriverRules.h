#pragma once
// What a Windows serial driver decides, written once for the backends that
// emulate one (the POSIX backend and the test fake): comm::rules.
//
// It holds the decisions only: how a read ends under the COMMTIMEOUTS that
// are set and when its deadlines fall, when a write times out, which
// time-outs SetCommTimeouts refuses, which events a WaitCommEvent reports
// (the latch with its mask) and the line error flags that ClearCommError
// reports once.
//
// It does no I/O, starts no thread and reads no clock: times are numbers of
// milliseconds after a moment the caller owns (the start of the read or
// write), and the caller keeps the deadlines on its own clock. Nothing here
// locks: each object belongs to one port and is guarded by that port's lock.
//
// Not here yet: the input queue (its size, the 80 % mark, the event
// character, fNull and CE_RXOVER) and what a purge does to pending transfers.

#include "serial/os/CommApi.h"

#include <cstdint>
#include <optional>

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
    std::uint32_t Take();

private:
    std::uint32_t FMask = 0;
    std::uint32_t FKept = 0;
};

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

} // namespace comm::rules
