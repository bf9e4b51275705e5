// Fuzzes the runtime's integer conversion against a second, plainly written
// reading of the same grammar, and checks that StrToInt agrees with TryStrToInt.

#include "host/Exceptions.h"
#include "host/IntConv.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

// Blanks, sign, then "$", "x", "X", "0x" or "0X" and hex digits, or decimal digits.
std::optional<std::int32_t> Reference(std::string_view t) {
    while (!t.empty() && t.front() == ' ')
        t.remove_prefix(1);
    bool negative = false;
    if (!t.empty() && (t.front() == '+' || t.front() == '-')) {
        negative = t.front() == '-';
        t.remove_prefix(1);
    }
    int base = 10;
    if (t.starts_with("0x") || t.starts_with("0X")) {
        base = 16;
        t.remove_prefix(2);
    } else if (t.starts_with("$") || t.starts_with("x") || t.starts_with("X")) {
        base = 16;
        t.remove_prefix(1);
    }
    if (t.empty())
        return std::nullopt;
    // Leading zeros do not count towards the size.
    while (t.size() > 1 && t.front() == '0')
        t.remove_prefix(1);
    if (t.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : t) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (base == 16) {
        if (value > 0xFFFFFFFFull)
            return std::nullopt;
        auto bits = static_cast<std::uint32_t>(value);
        return static_cast<std::int32_t>(negative ? 0u - bits : bits);
    }
    const std::int64_t signedValue =
        negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    if (signedValue < INT32_MIN || signedValue > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(signedValue);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::int32_t> got = host::TryStrToInt(text);
    if (got != Reference(text))
        std::abort();
    try {
        const std::int32_t v = host::StrToInt(text);
        if (!got || v != *got)
            std::abort();
        if (host::TryStrToInt(std::to_string(v)) != v)
            std::abort();
    } catch (const host::EConvertError& e) {
        if (got || e.Message() != "'" + text + "' is not a valid integer value")
            std::abort();
    }
    return 0;
}
