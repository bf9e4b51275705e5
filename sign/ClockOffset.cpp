#include "sign/ClockOffset.h"

#include <cstdio>

namespace sign {

namespace {

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : days[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil): eras of 400 years starting on 1 March, so that the leap
// day ends the year.
std::int64_t DaysFromCivil(int year, int month, int day) {
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::int64_t SecondsOf(const TSignClock& c) {
    return DaysFromCivil(c.Year, c.Month, c.Day) * 86400 + c.Hour * 3600 + c.Minute * 60 + c.Second;
}

} // namespace

bool IsValidClock(const TSignClock& c) {
    return c.Year >= 2000 && c.Year <= 2099 && c.Month >= 1 && c.Month <= 12 && c.Day >= 1 &&
           c.Day <= DaysInMonth(c.Year, c.Month) && c.Hour >= 0 && c.Hour <= 23 && c.Minute >= 0 &&
           c.Minute <= 59 && c.Second >= 0 && c.Second <= 59;
}

std::optional<std::int64_t> ClockOffsetSeconds(const TSignClock& signClock,
                                               const TSignClock& pcClock) {
    if (!IsValidClock(signClock) || !IsValidClock(pcClock))
        return std::nullopt;
    return SecondsOf(signClock) - SecondsOf(pcClock);
}

std::string ClockOffsetText(std::int64_t seconds) {
    if (seconds == 0)
        return "Sign clock agrees with this PC";
    // Counted down in unsigned arithmetic: the magnitude of the most negative
    // value does not fit the signed type.
    std::uint64_t rest =
        seconds < 0 ? 0 - static_cast<std::uint64_t>(seconds) : static_cast<std::uint64_t>(seconds);
    struct TUnit {
        const char* Name;
        std::uint64_t Seconds;
    };
    static const TUnit units[] = {{"d", 86400}, {"h", 3600}, {"min", 60}, {"s", 1}};
    std::string text = "Sign clock";
    bool started = false;
    for (const TUnit& u : units) {
        const std::uint64_t n = rest / u.Seconds;
        rest %= u.Seconds;
        // Leading zero units are left out; once one is shown, every smaller
        // one follows, zero or not ("1 d 3 h 0 min 5 s").
        if (n == 0 && !started)
            continue;
        started = true;
        text += " " + std::to_string(n) + " " + u.Name;
    }
    return text + (seconds < 0 ? " behind this PC" : " ahead of this PC");
}

std::string IsoText(const TSignClock& c) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", c.Year, c.Month, c.Day,
                  c.Hour, c.Minute, c.Second);
    return text;
}

std::string ClockField(const std::string& reply) {
    if (reply.size() < ClockReplySize)
        return {};
    const std::optional<TSignClock> clock = ReplyClock(reply);
    if (clock && IsValidClock(*clock))
        return IsoText(*clock);
    return ClockText(reply) + " (bytes " + HexBytes(reply.substr(5, 6)) + ")";
}

std::string OffsetField(std::optional<std::int64_t> seconds) {
    if (!seconds)
        return {};
    return (*seconds > 0 ? "+" : "") + std::to_string(*seconds);
}

} // namespace sign
