#include "serial/driver/DriverRules.h"

#include <algorithm>
#include <cstring>
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

std::size_t DiscardNulls(std::uint8_t* bytes, std::size_t count) {
    return static_cast<std::size_t>(std::remove(bytes, bytes + count, std::uint8_t{0}) - bytes);
}

std::uint32_t ArrivalEvents(const std::uint8_t* bytes, std::size_t count, char eventChar) {
    if (count == 0) {
        return 0;
    }
    const bool flag = std::memchr(bytes, static_cast<unsigned char>(eventChar), count) != nullptr;
    return EV_RXCHAR | (flag ? EV_RXFLAG : 0u);
}

bool AtInputMark(std::size_t size, std::size_t capacity) {
    return size * 5 >= capacity * 4;
}

void TInputQueue::Reserve(std::size_t more) {
    if (FSize + more <= FData.size()) {
        return;
    }
    const std::size_t grown =
        std::min(FCapacity, std::max({FSize + more, 2 * FData.size(), std::size_t{256}}));
    std::vector<std::uint8_t> data(grown);
    if (FSize > 0) {
        const std::size_t first = std::min(FSize, FData.size() - FHead);
        std::memcpy(data.data(), FData.data() + FHead, first);
        std::memcpy(data.data() + first, FData.data(), FSize - first);
    }
    FData.swap(data);
    FHead = 0;
}

std::size_t TInputQueue::Push(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t n = std::min(count, Space());
    if (n == 0) {
        return 0;
    }
    Reserve(n);
    const std::size_t cap = FData.size();
    const std::size_t tail = (FHead + FSize) % cap;
    const std::size_t first = std::min(n, cap - tail);
    std::memcpy(FData.data() + tail, bytes, first);
    std::memcpy(FData.data(), bytes + first, n - first);
    FSize += n;
    return n;
}

std::uint32_t TInputQueue::MarkEvent() {
    if (FAtMark || !AtInputMark(FSize, FCapacity)) {
        return 0;
    }
    FAtMark = true;
    return EV_RX80FULL;
}

std::size_t TInputQueue::Pop(std::uint8_t* out, std::size_t count) {
    const std::size_t n = std::min(count, FSize);
    if (n == 0) {
        return 0;
    }
    const std::size_t cap = FData.size();
    const std::size_t first = std::min(n, cap - FHead);
    std::memcpy(out, FData.data() + FHead, first);
    std::memcpy(out + first, FData.data(), n - first);
    FHead = (FHead + n) % cap;
    FSize -= n;
    if (FSize == 0) {
        FHead = 0;
    }
    if (FAtMark && !AtInputMark(FSize, FCapacity)) {
        FAtMark = false;
    }
    return n;
}

void TInputQueue::Clear() {
    FHead = FSize = 0;
    FAtMark = false;
}

std::size_t TInputQueue::Resize(std::size_t capacity) {
    std::vector<std::uint8_t> bytes(FSize);
    Pop(bytes.data(), bytes.size());
    FCapacity = capacity;
    FData.clear();
    FData.shrink_to_fit();
    FHead = FSize = 0;
    const std::size_t dropped = bytes.size() - Push(bytes.data(), bytes.size());
    FAtMark = AtInputMark(FSize, capacity);
    return dropped;
}

bool TInputQueue::Setup(std::uint32_t size) {
    if (size == 0 || size == FCapacity) {
        return false;
    }
    return Resize(size) != 0;
}

std::optional<TPurge> PlanPurge(std::uint32_t flags) {
    constexpr std::uint32_t kAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if (flags == 0 || (flags & ~kAll) != 0) {
        return std::nullopt;
    }
    TPurge purge;
    purge.AbortWrites = (flags & PURGE_TXABORT) != 0;
    purge.AbortReads = (flags & PURGE_RXABORT) != 0;
    purge.ClearOutput = (flags & PURGE_TXCLEAR) != 0;
    purge.ClearInput = (flags & PURGE_RXCLEAR) != 0;
    return purge;
}

std::uint32_t TCommErrors::Take() {
    return std::exchange(FErrors, 0);
}

COMSTAT QueueStatus(std::uint64_t inQueue, std::uint64_t outQueue) {
    COMSTAT stat;
    stat.cbInQue = static_cast<std::uint32_t>(std::min<std::uint64_t>(inQueue, MAXDWORD));
    stat.cbOutQue = static_cast<std::uint32_t>(std::min<std::uint64_t>(outQueue, MAXDWORD));
    return stat;
}

} // namespace comm::rules
