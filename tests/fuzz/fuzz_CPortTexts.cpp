// Fuzzes the readers of the serial component's setting texts: none may fail
// other than TextToBaudRate's conversion error, every result is a valid value,
// and text -> value -> text -> value gives the same value again.

#include "host/Exceptions.h"
#include "host/IntConv.h"
#include "serial/CPortTexts.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace cport;

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool SameTextAscii(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    return true;
}

// The reader gives either the value whose text matches (ignoring ASCII case)
// or the fallback; reading the value's own text gives the value back.
template <typename E, typename ToText, typename FromText>
void CheckEnum(const std::string& text, int last, E fallback, ToText toText, FromText fromText) {
    const E v = fromText(text);
    Check(static_cast<int>(v) >= 0 && static_cast<int>(v) <= last);
    Check(v == fallback || SameTextAscii(toText(v), text));
    Check(fromText(toText(v)) == v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    try {
        const std::int32_t rate = TextToBaudRate(text);
        Check(host::TryStrToInt(text) == rate);
        Check(TextToBaudRate(BaudRateToText(rate)) == rate);
    } catch (const host::EConvertError& e) {
        Check(!host::TryStrToInt(text).has_value());
        Check(e.Message() == "'" + text + "' is not a valid integer value");
    }

    const char c = TextToChar(text);
    Check(TextToChar(CharToText(c)) == c);
    if (!text.empty() && text[0] != '#')
        Check(c == text[0]);

    const bool flag = TextToFlag(text);
    Check(flag == SameTextAscii(text, "YES"));
    Check(TextToFlag(FlagToText(flag)) == flag);

    CheckEnum(text, sbTwoStopBits, sbOneStopBit, StopBitsToText, TextToStopBits);
    CheckEnum(text, dbEight, dbEight, DataBitsToText, TextToDataBits);
    CheckEnum(text, prSpace, prNone, ParityToText, TextToParity);
    CheckEnum(text, fcCustom, fcCustom, FlowControlToText, TextToFlowControl);
    CheckEnum(text, dtrHandshake, dtrDisable, DTRControlToText, TextToDTRControl);
    CheckEnum(text, rtsToggle, rtsDisable, RTSControlToText, TextToRTSControl);

    // The input's first four bytes as a baud rate: the text form reads back.
    if (size >= 4) {
        std::int32_t v;
        std::memcpy(&v, data, 4);
        Check(TextToBaudRate(BaudRateToText(v)) == v);
    }
    return 0;
}
