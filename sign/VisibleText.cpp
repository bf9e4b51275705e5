#include "sign/VisibleText.h"

#include <cstdint>
#include <cstdio>

namespace sign {

namespace {

// The length of the UTF-8 sequence at the start of `text` and its code point;
// 0 when the bytes there are no valid sequence (RFC 3629: no overlong forms,
// no surrogates, nothing past U+10FFFF).
std::size_t DecodeOne(std::string_view text, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// Characters that are valid but act on the text instead of being part of it.
bool IsHidden(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x2028 ||
           c == 0x2029 || c == 0xFEFF;
}

bool IsControl(char32_t c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

std::string VisibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        char32_t code = 0;
        const std::size_t length = DecodeOne(text, code);
        char escape[16];
        if (length == 0 || IsControl(code)) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[0]));
            out += escape;
            text.remove_prefix(1);
        } else if (IsHidden(code)) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(code));
            out += escape;
            text.remove_prefix(length);
        } else {
            out.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return out;
}

bool NeedsEscaping(std::string_view text) {
    while (!text.empty()) {
        char32_t code = 0;
        const std::size_t length = DecodeOne(text, code);
        if (length == 0 || IsControl(code) || IsHidden(code))
            return true;
        text.remove_prefix(length);
    }
    return false;
}

} // namespace sign
