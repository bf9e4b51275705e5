#pragma once
// A set of enumerators held as a bit set: element n is bit n of Bits, as the
// component framework stores its sets. Count is the number of enumerators;
// bits at or above Count never belong to the set.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <type_traits>

namespace host {

template <typename E, typename Bits, unsigned Count> class TSet {
    static_assert(std::is_unsigned_v<Bits>, "a set is held in an unsigned word");
    static_assert(Count <= std::numeric_limits<Bits>::digits, "the word is too small");

public:
    using Element = E;
    using Word = Bits;
    static constexpr unsigned ElementCount = Count;
    static constexpr Bits ValidBits = Count == std::numeric_limits<Bits>::digits
                                          ? static_cast<Bits>(~Bits{0})
                                          : static_cast<Bits>((Bits{1} << Count) - 1u);

    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> elements) {
        for (E e : elements)
            Include(e);
    }

    // The set whose bits are given; bits of no enumerator are dropped.
    static constexpr TSet FromBits(Bits bits) {
        TSet s;
        s.FBits = static_cast<Bits>(bits & ValidBits);
        return s;
    }
    static constexpr TSet All() { return FromBits(ValidBits); }

    constexpr Bits ToBits() const { return FBits; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }

    // Enumerators outside 0 .. Count-1 are ignored.
    constexpr TSet& Include(E e) {
        FBits = static_cast<Bits>(FBits | Bit(e));
        return *this;
    }
    constexpr TSet& Exclude(E e) {
        FBits = static_cast<Bits>(FBits & ~Bit(e));
        return *this;
    }

    friend constexpr TSet operator+(TSet a, TSet b) { return FromBits(a.FBits | b.FBits); }
    friend constexpr TSet operator-(TSet a, TSet b) { return FromBits(a.FBits & ~b.FBits); }
    friend constexpr TSet operator*(TSet a, TSet b) { return FromBits(a.FBits & b.FBits); }
    friend constexpr bool operator==(TSet a, TSet b) { return a.FBits == b.FBits; }

private:
    static constexpr Bits Bit(E e) {
        const auto n = static_cast<unsigned>(static_cast<std::underlying_type_t<E>>(e));
        return n < Count ? static_cast<Bits>(Bits{1} << n) : Bits{0};
    }

    Bits FBits = 0;
};

} // namespace host
