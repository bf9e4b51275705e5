#include "host/Exceptions.h"
#include "host/IntConv.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

using host::StrToInt;
using host::TryStrToInt;

TEST(IntConv, ReadsDecimalAndHexForms) {
    struct Row {
        const char* text;
        std::int32_t value;
    } rows[] = {
        {"0", 0},
        {"9600", 9600},
        {"  9600", 9600},
        {"+7", 7},
        {"-7", -7},
        {"007", 7},
        {"$11", 17},
        {"x1f", 31},
        {"X1F", 31},
        {"0x10", 16},
        {"0XfF", 255},
        {"-$10", -16},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"$7fffffff", INT32_MAX},
        {" -0x1", -1},
    };
    for (const auto& r : rows) {
        auto v = TryStrToInt(r.text);
        ASSERT_TRUE(v.has_value()) << r.text;
        EXPECT_EQ(*v, r.value) << r.text;
        EXPECT_EQ(StrToInt(r.text), r.value) << r.text;
    }
}

TEST(IntConv, RefusesEverythingElse) {
    const char* bad[] = {"",
                         " ",
                         "-",
                         "+",
                         "$",
                         "0x",
                         "x",
                         "9600 ",
                         "96 00",
                         "1.5",
                         "2147483648",
                         "-2147483649",
                         "$100000000",
                         "0x1g",
                         "+-1",
                         "- 1",
                         "\t1",
                         "1e3",
                         "99999999999999999999999",
                         ",",
                         "0x-1",
                         "$-1"};
    for (const char* t : bad) {
        EXPECT_FALSE(TryStrToInt(t).has_value()) << '"' << t << '"';
    }
}

TEST(IntConv, ErrorMessageQuotesTheWholeText) {
    try {
        StrToInt("9600 ");
        FAIL();
    } catch (const host::EConvertError& e) {
        EXPECT_EQ(e.Message(), "'9600 ' is not a valid integer value");
    }
    try {
        StrToInt("");
        FAIL();
    } catch (const host::EConvertError& e) {
        EXPECT_EQ(e.Message(), "'' is not a valid integer value");
    }
}

TEST(IntConv, EmbeddedZeroByteIsNotADigit) {
    EXPECT_FALSE(TryStrToInt(std::string("12\0", 3)).has_value());
}
