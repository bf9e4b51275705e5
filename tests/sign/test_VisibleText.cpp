// VisibleText: what passes as it is and what is escaped, one row per kind.
#include "sign/VisibleText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TRow {
    const char* Name;
    std::string In;
    std::string Out;
};

const TRow Rows[] = {
    {"plain ASCII", "ttyUSB0", "ttyUSB0"},
    {"empty", "", ""},
    {"backslash kept", "\\\\.\\COM3", "\\\\.\\COM3"},
    {"formula start kept (the CSV cell's job)", "=1+2", "=1+2"},
    {"valid two-byte UTF-8", "M\xC3\xBCller", "M\xC3\xBCller"},
    {"valid three-byte UTF-8", "\xE5\xAE\x8B\xE4\xBD\x93", "\xE5\xAE\x8B\xE4\xBD\x93"},
    {"valid four-byte UTF-8", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {"tab, CR, LF, ESC", "a\tb\rc\nd\x1B[2J", "a\\x09b\\x0Dc\\x0Ad\\x1B[2J"},
    {"NUL inside", std::string("a\0b", 3), "a\\x00b"},
    {"DEL", "a\x7F", "a\\x7F"},
    {"stray continuation byte", "a\x80z", "a\\x80z"},
    {"Latin-1 byte", "caf\xE9", "caf\\xE9"},
    {"cut-short sequence at the end", "ab\xE2\x80", "ab\\xE2\\x80"},
    {"overlong slash", "\xC0\xAF", "\\xC0\\xAF"},
    {"overlong three-byte", "\xE0\x80\xAF", "\\xE0\\x80\\xAF"},
    {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
    {"past U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
    {"C1 control (NEL)", "a\xC2\x85z", "a\\u0085z"},
    {"right-to-left override", "abc\xE2\x80\xAEgpj.exe", "abc\\u202Egpj.exe"},
    {"isolates and marks", "\xE2\x81\xA6x\xE2\x81\xA9\xE2\x80\x8F\xD8\x9C",
     "\\u2066x\\u2069\\u200F\\u061C"},
    {"line separator and BOM", "\xE2\x80\xA8\xEF\xBB\xBF", "\\u2028\\uFEFF"},
};

TEST(VisibleText, EscapesWhatATerminalOrViewerWouldActOnAndNothingElse) {
    for (const TRow& row : Rows) {
        SCOPED_TRACE(row.Name);
        EXPECT_EQ(sign::VisibleText(row.In), row.Out);
        EXPECT_EQ(sign::NeedsEscaping(row.In), row.In != row.Out);
        // What comes out is itself clean: escaping twice changes nothing more.
        EXPECT_FALSE(sign::NeedsEscaping(sign::VisibleText(row.In)));
    }
}

} // namespace
