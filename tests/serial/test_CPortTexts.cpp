#include "serial/CPortTexts.h"

#include "host/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

using namespace cport;
using namespace std::string_literals;

TEST(CPortTexts, EnumerationsToTextByOrdinal) {
    EXPECT_EQ(StopBitsToText(sbOneStopBit), "1");
    EXPECT_EQ(StopBitsToText(sbOne5StopBits), "1.5");
    EXPECT_EQ(StopBitsToText(sbTwoStopBits), "2");
    EXPECT_EQ(DataBitsToText(dbFive), "5");
    EXPECT_EQ(DataBitsToText(dbEight), "8");
    EXPECT_EQ(ParityToText(prNone), "None");
    EXPECT_EQ(ParityToText(prSpace), "Space");
    EXPECT_EQ(FlowControlToText(fcHardware), "Hardware");
    EXPECT_EQ(FlowControlToText(fcNone), "None");
    EXPECT_EQ(FlowControlToText(fcCustom), "Custom");
    EXPECT_EQ(DTRControlToText(dtrHandshake), "Handshake");
    EXPECT_EQ(RTSControlToText(rtsToggle), "Toggle");
    // A value no enumerator has (made by a cast) reads no table row.
    EXPECT_EQ(RTSControlToText(static_cast<TRTSFlowControl>(9)), "");
    EXPECT_EQ(TextToRTSControl(RTSControlToText(static_cast<TRTSFlowControl>(9))), rtsDisable);
}

TEST(CPortTexts, TextToEnumerationIgnoresAsciiCaseOnlyAndFallsBack) {
    struct Row {
        std::string text;
        int stop, data, parity, flow, dtr, rts; // expected ordinals
    } rows[] = {
        // text         stop data par flow dtr rts
        {"None", 0, 3, prNone, fcNone, 0, 0},
        {"none", 0, 3, prNone, fcNone, 0, 0},
        {"NONE", 0, 3, prNone, fcNone, 0, 0},
        {" None", 0, 3, prNone, fcCustom, 0, 0},
        {"None ", 0, 3, prNone, fcCustom, 0, 0},
        {"", 0, 3, prNone, fcCustom, 0, 0},
        {"9", 0, 3, prNone, fcCustom, 0, 0},
        {"eight", 0, 3, prNone, fcCustom, 0, 0},
        {"5", 0, dbFive, prNone, fcCustom, 0, 0},
        {"7", 0, dbSeven, prNone, fcCustom, 0, 0},
        {"1.50", 0, 3, prNone, fcCustom, 0, 0},
        {"1.5", sbOne5StopBits, 3, prNone, fcCustom, 0, 0},
        {"2", sbTwoStopBits, 3, prNone, fcCustom, 0, 0},
        {"3", 0, 3, prNone, fcCustom, 0, 0},
        {"eVEn", 0, 3, prEven, fcCustom, 0, 0},
        {"MARK", 0, 3, prMark, fcCustom, 0, 0},
        {"hardware", 0, 3, prNone, fcHardware, 0, 0},
        {"Software", 0, 3, prNone, fcSoftware, 0, 0},
        {"custom", 0, 3, prNone, fcCustom, 0, 0},
        {"RTS", 0, 3, prNone, fcCustom, 0, 0},
        {"toggle", 0, 3, prNone, fcCustom, dtrDisable, rtsToggle},
        {"Toggle", 0, 3, prNone, fcCustom, dtrDisable, rtsToggle},
        {"enable", 0, 3, prNone, fcCustom, dtrEnable, rtsEnable},
        {"HANDSHAKE", 0, 3, prNone, fcCustom, dtrHandshake, rtsHandshake},
        {"Handshake\0"s, 0, 3, prNone, fcCustom, 0, 0}, // a zero byte is part of the text
        {"Enabl", 0, 3, prNone, fcCustom, 0, 0},
        // Only a-z are letters: the Latin-1 capital E with acute does not match 'e'.
        {"\xC9ven", 0, 3, prNone, fcCustom, 0, 0},
        {"Ev\xC9n", 0, 3, prNone, fcCustom, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("text '" + r.text + "'");
        EXPECT_EQ(TextToStopBits(r.text), r.stop);
        EXPECT_EQ(TextToDataBits(r.text), r.data);
        EXPECT_EQ(TextToParity(r.text), r.parity);
        EXPECT_EQ(TextToFlowControl(r.text), r.flow);
        EXPECT_EQ(TextToDTRControl(r.text), r.dtr);
        EXPECT_EQ(TextToRTSControl(r.text), r.rts);
    }
}

TEST(CPortTexts, EveryEnumeratorRoundTripsInAnyLetterCase) {
    auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    for (int i = 0; i <= sbTwoStopBits; ++i) {
        auto v = static_cast<TStopBits>(i);
        EXPECT_EQ(TextToStopBits(StopBitsToText(v)), v);
    }
    for (int i = 0; i <= dbEight; ++i) {
        auto v = static_cast<TDataBits>(i);
        EXPECT_EQ(TextToDataBits(DataBitsToText(v)), v);
    }
    for (int i = 0; i <= prSpace; ++i) {
        auto v = static_cast<TParityBits>(i);
        EXPECT_EQ(TextToParity(ParityToText(v)), v);
        EXPECT_EQ(TextToParity(lower(ParityToText(v))), v);
    }
    for (int i = 0; i <= fcCustom; ++i) {
        auto v = static_cast<TFlowControl>(i);
        EXPECT_EQ(TextToFlowControl(FlowControlToText(v)), v);
        EXPECT_EQ(TextToFlowControl(lower(FlowControlToText(v))), v);
    }
    for (int i = 0; i <= dtrHandshake; ++i) {
        auto v = static_cast<TDTRFlowControl>(i);
        EXPECT_EQ(TextToDTRControl(DTRControlToText(v)), v);
        EXPECT_EQ(TextToDTRControl(lower(DTRControlToText(v))), v);
    }
    for (int i = 0; i <= rtsToggle; ++i) {
        auto v = static_cast<TRTSFlowControl>(i);
        EXPECT_EQ(TextToRTSControl(RTSControlToText(v)), v);
        EXPECT_EQ(TextToRTSControl(lower(RTSControlToText(v))), v);
    }
}

TEST(CPortTexts, CharToTextForms) {
    struct Row {
        int code;
        std::string text;
    } rows[] = {{0, "#0"},     {17, "#17"},   {19, "#19"},  {31, "#31"}, {32, "#32"},
                {33, "!"},     {35, "#"},     {65, "A"},    {126, "~"},  {127, "\x7F"},
                {128, "#128"}, {200, "#200"}, {255, "#255"}};
    for (const Row& r : rows)
        EXPECT_EQ(CharToText(static_cast<char>(r.code)), r.text) << r.code;
}

TEST(CPortTexts, TextToCharSteps) {
    struct Row {
        std::string text;
        int code;
    } rows[] = {
        {"", 0},       {"#", 35},     {"#17", 17},         {"#$11", 17},       {"#x11", 17},
        {"#0x11", 17}, {"#abc", 0},   {"#17 ", 0},         {"# 17", 17},       {"#300", 44},
        {"#-1", 255},  {"#256", 0},   {"#$FFFFFFFF", 255}, {"#2147483648", 0}, {"#-2147483647", 1},
        {"AB", 'A'},   {"A", 'A'},    {" ", ' '},          {"##", 0},          {"#\0"s, 0},
        {"\0#"s, 0},   {"\xFF", 255}, {"#+65", 65},        {"##17", 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(static_cast<unsigned char>(TextToChar(r.text)), r.code) << "'" << r.text << "'";
}

TEST(CPortTexts, EveryCharacterCodeRoundTrips) {
    for (int code = 0; code <= 255; ++code) {
        const char c = static_cast<char>(code);
        EXPECT_EQ(TextToChar(CharToText(c)), c) << code;
    }
}

TEST(CPortTexts, FlagsAreYesInAnyCaseOnly) {
    EXPECT_EQ(FlagToText(true), "Yes");
    EXPECT_EQ(FlagToText(false), "No");
    EXPECT_TRUE(TextToFlag(FlagToText(true)));
    EXPECT_FALSE(TextToFlag(FlagToText(false)));
    for (const char* t : {"yes", "YES", "YeS", "yEs"})
        EXPECT_TRUE(TextToFlag(t)) << t;
    for (std::string t : {"Y"s, "True"s, "1"s, " Yes"s, "Yes "s, ""s, "Ye"s, "Yess"s, "Yes\0"s,
                          "No"s, "\xD9\xC5\xD3"s})
        EXPECT_FALSE(TextToFlag(t)) << t;
}

TEST(CPortTexts, BaudRateTexts) {
    EXPECT_EQ(BaudRateToText(9600), "9600");
    EXPECT_EQ(BaudRateToText(0), "0");
    EXPECT_EQ(BaudRateToText(-1), "-1");
    EXPECT_EQ(BaudRateToText(std::numeric_limits<std::int32_t>::min()), "-2147483648");
    EXPECT_EQ(TextToBaudRate("9600"), 9600);
    EXPECT_EQ(TextToBaudRate(" 9600"), 9600);
    EXPECT_EQ(TextToBaudRate("$FFFFFFFF"), -1);
    EXPECT_EQ(TextToBaudRate("0x2580"), 9600);
    for (std::string bad : {"9600 "s, ""s, "96k"s, "9600\0"s, "2147483648"s, "\t9600"s}) {
        try {
            TextToBaudRate(bad);
            ADD_FAILURE() << "no error for '" << bad << "'";
        } catch (const host::EConvertError& e) {
            EXPECT_EQ(e.Message(), "'" + bad + "' is not a valid integer value");
        }
    }
}

TEST(CPortTexts, IntegersRoundTripAcrossTheRange) {
    // Every power of two and its neighbours, the extremes, and a stride through
    // the whole 32-bit range.
    auto check = [](std::int64_t v) {
        const auto i = static_cast<std::int32_t>(v);
        ASSERT_EQ(TextToBaudRate(BaudRateToText(i)), i) << i;
    };
    for (int bit = 0; bit < 32; ++bit) {
        const std::int64_t p = std::int64_t{1} << bit;
        for (std::int64_t v : {p - 1, p, p + 1, -p - 1, -p, -p + 1})
            if (v >= INT32_MIN && v <= INT32_MAX)
                check(v);
    }
    check(INT32_MIN);
    check(INT32_MAX);
    for (std::int64_t v = INT32_MIN; v <= INT32_MAX; v += 65521)
        check(v);
}
