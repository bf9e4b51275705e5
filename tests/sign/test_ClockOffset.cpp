// The sign's clock against the PC's: calendar arithmetic across month, year
// and leap-day boundaries, clocks that are no date, and the offset in words.
#include "sign/ClockOffset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace {

using sign::TSignClock;

TEST(ClockOffset, SignMinusPcInSecondsOrNoneForAClockThatIsNoDate) {
    const TSignClock pc{2026, 12, 7, 14, 35, 9};
    struct Row {
        const char* what;
        TSignClock signClock;
        TSignClock pcClock;
        std::optional<std::int64_t> offset;
    };
    const Row rows[] = {
        {"the same second", pc, pc, 0},
        {"ahead", {2026, 12, 7, 14, 35, 14}, pc, 5},
        {"behind", {2026, 12, 7, 14, 32, 56}, pc, -133},
        {"over midnight", {2026, 12, 8, 0, 0, 1}, {2026, 12, 7, 23, 59, 59}, 2},
        {"over the year's end", {2027, 1, 1, 0, 0, 0}, {2026, 12, 31, 23, 59, 59}, 1},
        {"over a month of 30 days", {2026, 5, 1, 0, 0, 0}, {2026, 4, 30, 0, 0, 0}, 86400},
        {"over a leap day", {2028, 3, 1, 0, 0, 0}, {2028, 2, 28, 0, 0, 0}, 2 * 86400},
        {"over 28 February of a common year", {2027, 3, 1, 0, 0, 0}, {2027, 2, 28, 0, 0, 0}, 86400},
        {"2000 is a leap year", {2000, 3, 1, 0, 0, 0}, {2000, 2, 28, 0, 0, 0}, 2 * 86400},
        {"the whole century",
         {2099, 12, 31, 23, 59, 59},
         {2000, 1, 1, 0, 0, 0},
         36525LL * 86400 - 1},
        {"a sign years behind", {2000, 1, 1, 0, 0, 0}, pc, -849969309},
        {"month 13", {2026, 13, 1, 0, 0, 0}, pc, std::nullopt},
        {"month 0", {2026, 0, 1, 0, 0, 0}, pc, std::nullopt},
        {"30 February", {2028, 2, 30, 0, 0, 0}, pc, std::nullopt},
        {"29 February of a common year", {2027, 2, 29, 0, 0, 0}, pc, std::nullopt},
        {"31 April", {2026, 4, 31, 0, 0, 0}, pc, std::nullopt},
        {"day 0", {2026, 12, 0, 0, 0, 0}, pc, std::nullopt},
        {"hour 24", {2026, 12, 7, 24, 0, 0}, pc, std::nullopt},
        {"minute 60", {2026, 12, 7, 14, 60, 0}, pc, std::nullopt},
        {"second 60", {2026, 12, 7, 14, 35, 60}, pc, std::nullopt},
        {"a negative hour", {2026, 12, 7, -1, 0, 0}, pc, std::nullopt},
        {"before 2000", {1999, 12, 31, 23, 59, 59}, pc, std::nullopt},
        {"after 2099", {2100, 1, 1, 0, 0, 0}, pc, std::nullopt},
        {"a PC clock that is no date", pc, {2026, 2, 30, 0, 0, 0}, std::nullopt},
        {"a PC clock past 2099", pc, {2100, 1, 1, 0, 0, 0}, std::nullopt},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(sign::ClockOffsetSeconds(r.signClock, r.pcClock), r.offset) << r.what;
        EXPECT_EQ(sign::IsValidClock(r.signClock) && sign::IsValidClock(r.pcClock),
                  r.offset.has_value())
            << r.what;
        if (r.offset) {
            EXPECT_EQ(sign::ClockOffsetSeconds(r.pcClock, r.signClock), -*r.offset) << r.what;
        }
    }

    struct TextRow {
        std::int64_t seconds;
        const char* text;
    };
    const TextRow texts[] = {
        {0, "Sign clock agrees with this PC"},
        {1, "Sign clock 1 s ahead of this PC"},
        {-1, "Sign clock 1 s behind this PC"},
        {59, "Sign clock 59 s ahead of this PC"},
        {60, "Sign clock 1 min 0 s ahead of this PC"},
        {-133, "Sign clock 2 min 13 s behind this PC"},
        {3600, "Sign clock 1 h 0 min 0 s ahead of this PC"},
        {-3605, "Sign clock 1 h 0 min 5 s behind this PC"},
        {86400 + 3 * 3600 + 5, "Sign clock 1 d 3 h 0 min 5 s ahead of this PC"},
        {-(400 * 86400 + 59), "Sign clock 400 d 0 h 0 min 59 s behind this PC"},
        {std::numeric_limits<std::int64_t>::min(),
         "Sign clock 106751991167300 d 15 h 30 min 8 s behind this PC"},
    };
    for (const TextRow& t : texts)
        EXPECT_EQ(sign::ClockOffsetText(t.seconds), t.text) << t.seconds;
}

TEST(ClockOffset, AClockFieldIsIsoForADateAndKeepsTheBytesOtherwise) {
    // The six clock bytes (0 among them) after the header, then a checksum.
    const auto reply = [](const char* bytes) {
        return std::string("\xF7\x8C\x8D\x8A\x83", 5) + std::string(bytes, 6) + '\x55';
    };
    struct Row {
        const char* name;
        std::string reply;
        std::string field;
    };
    const Row rows[] = {
        {"a date", reply("\x26\x12\x07\x14\x35\x09"), "2026-12-07T14:35:09"},
        // The window's text shows no seconds: the bad byte is only in the bytes.
        {"seconds not BCD", reply("\x26\x12\x09\x14\x35\x7A"),
         "12/09 2026  14:35 (bytes 26 12 09 14 35 7A)"},
        {"BCD but no such day", reply("\x26\x02\x30\x10\x00\x00"),
         "02/30 2026  10:00 (bytes 26 02 30 10 00 00)"},
        {"hour not BCD", reply("\x26\x12\x09\x1A\x35\x00"),
         "12/09 2026  1A:35 (bytes 26 12 09 1A 35 00)"},
        {"too short", std::string("\xF7\x8C\x8D\x8A\x83\x26", 6), ""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(sign::ClockField(r.reply), r.field) << r.name;
}

} // namespace
