#pragma once
// The bytes of a bulk transfer between the guest and the host's peer: byte i of
// a stream depends only on i, so a receiver checks each byte where it lands and
// a lost, duplicated or reordered byte shows at its offset. All 256 values
// occur, the flow-control characters and NUL among them.

#include <cstddef>
#include <cstdint>

namespace rc_vm {

inline std::uint8_t PatternByte(std::size_t i) {
    const auto x = static_cast<std::uint32_t>(i);
    return static_cast<std::uint8_t>((x * 2654435761u) >> 24 ^ (x >> 8) ^ x);
}

// The offset of the first byte of data[0..size) that is not the pattern from
// offset first on, or -1 when all are.
inline long long FirstMismatch(const std::uint8_t* data, std::size_t size, std::size_t first) {
    for (std::size_t k = 0; k < size; ++k)
        if (data[k] != PatternByte(first + k))
            return static_cast<long long>(first + k);
    return -1;
}

} // namespace rc_vm
