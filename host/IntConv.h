#pragma once
// The runtime's text-to-integer conversion, shared by the spin edit and the
// serial component's setting texts, and the hexadecimal digit it reads.
//
// Accepted: leading blanks (' ' only), an optional '+' or '-', then either
// decimal digits, or hexadecimal digits after a "$", "x", "X", "0x" or "0X"
// prefix. Nothing may follow the digits. A decimal value must lie in the
// signed 32-bit range; a hexadecimal value must fit in 32 bits and is taken as
// a two's-complement bit pattern ("$FFFFFFFF" is -1), then negated for '-'.

#include <cstdint>
#include <optional>
#include <string_view>

namespace host {

// The value of a hexadecimal digit ('0'-'9', 'a'-'f', 'A'-'F'), or -1 for any
// other character.
int HexDigit(char c) noexcept;

// The value, or nothing when the text is not such an integer. Never throws.
std::optional<std::int32_t> TryStrToInt(std::string_view text) noexcept;

// The value; raises EConvertError "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

} // namespace host
