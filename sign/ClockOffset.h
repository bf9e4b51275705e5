#pragma once
// The sign's clock against the PC's: how far the sign's clock has drifted.
// Both are local calendar times (the sign's clock is set from the PC's local
// time), compared as such: no time zone or daylight-saving rule is applied.

#include "sign/SignLink.h"

#include <cstdint>
#include <optional>
#include <string>

namespace sign {

// Whether a clock is a real calendar date and time of day: year 2000..2099,
// month 1..12, a day that month has, hours 0..23, minutes and seconds 0..59.
bool IsValidClock(const TSignClock& clock);

// Sign minus PC in seconds (positive: the sign is ahead); none when either
// clock is not valid.
std::optional<std::int64_t> ClockOffsetSeconds(const TSignClock& signClock,
                                               const TSignClock& pcClock);

// The offset in words for the window: "Sign clock 2 min 13 s behind this PC",
// "Sign clock 1 d 3 h 0 min 5 s ahead of this PC", "Sign clock agrees with this
// PC" for 0 (to the second).
std::string ClockOffsetText(std::int64_t seconds);

// The clock as ISO 8601 date and time: "2026-12-07T14:35:09".
std::string IsoText(const TSignClock& clock);

// The sign's clock of a whole clock reply as the audit log and radar-sign
// record it: ISO 8601 when it is a valid date ("2026-12-07T14:35:09");
// otherwise the window's text followed by the six clock bytes as they came,
// year first, so that a byte the text does not show, or shows as if it were
// a digit, is on record: "12/09 2026  14:35 (bytes 26 12 09 14 35 7A)".
// Empty for a reply too short to hold a clock.
std::string ClockField(const std::string& reply);

// An offset as a signed number of seconds for a table: "+5", "-133", "0";
// empty for none.
std::string OffsetField(std::optional<std::int64_t> seconds);

} // namespace sign
