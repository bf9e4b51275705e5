#include "serial/os/DriverRules.h"

#include <utility>

namespace comm::rules {

bool TimeoutsAccepted(const COMMTIMEOUTS& timeouts) {
    return !(timeouts.ReadIntervalTimeout == MAXDWORD &&
             timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
             timeouts.ReadTotalTimeoutConstant == MAXDWORD);
}

TReadPlan PlanRead(const COMMTIMEOUTS& timeouts, std::uint32_t count) {
    const std::uint32_t interval = timeouts.ReadIntervalTimeout;
    const std::uint32_t multiplier = timeouts.ReadTotalTimeoutMultiplier;
    const std::uint32_t constant = timeouts.ReadTotalTimeoutConstant;
    TReadPlan plan;
    if (interval == MAXDWORD && multiplier == 0 && constant == 0) {
        plan.AtOnce = true;
        return plan;
    }
    // A constant of MAXDWORD takes the read out of the first-byte mode: it
    // then waits for its count like any other, up to its total deadline.
    plan.FirstByte = interval == MAXDWORD && constant != MAXDWORD;
    if (plan.FirstByte && multiplier == MAXDWORD) {
        plan.Total = constant;
    } else if (plan.FirstByte || multiplier != 0 || constant != 0) {
        plan.Total = std::uint64_t{multiplier} * count + constant;
    }
    if (interval != MAXDWORD) {
        plan.Interval = interval;
    }
    return plan;
}

std::optional<std::uint64_t> WriteDeadline(const COMMTIMEOUTS& timeouts, std::uint32_t count) {
    const std::uint64_t total = std::uint64_t{timeouts.WriteTotalTimeoutMultiplier} * count +
                                timeouts.WriteTotalTimeoutConstant;
    if (total == 0) {
        return std::nullopt;
    }
    return total;
}

void TEventLatch::SetMask(std::uint32_t mask) {
    FMask = mask;
    FKept &= mask;
}

bool TEventLatch::Raise(std::uint32_t events) {
    const std::uint32_t asked = events & FMask;
    FKept |= asked;
    return asked != 0;
}

std::uint32_t TEventLatch::Take() {
    return std::exchange(FKept, 0);
}

std::uint32_t TCommErrors::Take() {
    return std::exchange(FErrors, 0);
}

} // namespace comm::rules
