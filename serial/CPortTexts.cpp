// Text forms of the port settings.

#include "serial/CPortTexts.h"

#include "host/IntConv.h"

#include <array>
#include <optional>
#include <string_view>

namespace cport {

namespace {

constexpr std::array<std::string_view, 3> kStopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> kDataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> kParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> kFlowControlTexts = {"Hardware", "Software", "None",
                                                               "Custom"};
constexpr std::array<std::string_view, 3> kDTRTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<std::string_view, 4> kRTSTexts = {"Disable", "Enable", "Handshake", "Toggle"};

// ASCII upper case: only 'a' to 'z' change; bytes above 127 stay as they are.
char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    }
    return true;
}

// The row text at the value's ordinal. A value outside the type (only a cast
// can make one) has no row: it gives the empty text, which reads back as the
// type's fallback.
template <typename E, std::size_t N>
std::string EnumToText(const std::array<std::string_view, N>& texts, E value) {
    const auto ordinal = static_cast<std::size_t>(value);
    return ordinal < N ? std::string(texts[ordinal]) : std::string();
}

// The first row equal to text, ignoring ASCII case; fallback when none is.
template <typename E, std::size_t N>
E TextToEnum(const std::array<std::string_view, N>& texts, std::string_view text, E fallback) {
    for (std::size_t i = 0; i < N; ++i) {
        if (SameTextAscii(texts[i], text))
            return static_cast<E>(i);
    }
    return fallback;
}

} // namespace

std::string BaudRateToText(std::int32_t baudRate) {
    return std::to_string(baudRate);
}

std::int32_t TextToBaudRate(const std::string& text) {
    return host::StrToInt(text);
}

std::string StopBitsToText(TStopBits stopBits) {
    return EnumToText(kStopBitsTexts, stopBits);
}
TStopBits TextToStopBits(const std::string& text) {
    return TextToEnum(kStopBitsTexts, text, sbOneStopBit);
}

std::string DataBitsToText(TDataBits dataBits) {
    return EnumToText(kDataBitsTexts, dataBits);
}
TDataBits TextToDataBits(const std::string& text) {
    return TextToEnum(kDataBitsTexts, text, dbEight);
}

std::string ParityToText(TParityBits parity) {
    return EnumToText(kParityTexts, parity);
}
TParityBits TextToParity(const std::string& text) {
    return TextToEnum(kParityTexts, text, prNone);
}

std::string FlowControlToText(TFlowControl flowControl) {
    return EnumToText(kFlowControlTexts, flowControl);
}
TFlowControl TextToFlowControl(const std::string& text) {
    return TextToEnum(kFlowControlTexts, text, fcCustom);
}

std::string DTRControlToText(TDTRFlowControl control) {
    return EnumToText(kDTRTexts, control);
}
TDTRFlowControl TextToDTRControl(const std::string& text) {
    return TextToEnum(kDTRTexts, text, dtrDisable);
}

std::string RTSControlToText(TRTSFlowControl control) {
    return EnumToText(kRTSTexts, control);
}
TRTSFlowControl TextToRTSControl(const std::string& text) {
    return TextToEnum(kRTSTexts, text, rtsDisable);
}

std::string CharToText(char c) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 33 && code <= 127)
        return std::string(1, c);
    return "#" + std::to_string(code);
}

char TextToChar(const std::string& text) {
    if (text.empty())
        return 0;
    if (text[0] != '#')
        return text[0];
    if (text.size() == 1)
        return '#';
    const std::optional<std::int32_t> code = host::TryStrToInt(std::string_view(text).substr(1));
    if (!code)
        return 0;
    return static_cast<char>(static_cast<std::uint32_t>(*code) & 0xFFu);
}

std::string FlagToText(bool flag) {
    return flag ? "Yes" : "No";
}

bool TextToFlag(const std::string& text) {
    return SameTextAscii(text, "YES");
}

} // namespace cport
