#include "tools/sign-sim/SimOptions.h"

#include "host/IntConv.h"
#include "sign/SignLink.h"
#include "tools/sign-sim/SimSign.h"

#include <cctype>
#include <charconv>
#include <limits>

namespace signsim {

namespace {

// Longest delay or pause accepted, in ms.
constexpr unsigned long MaxPauseMs = 600000;

// What is wrong with an option, raised from inside the option loop.
struct TBadOption {
    std::string Text;
};

template <typename T> std::optional<T> ParseNumber(const std::string& text, T max) {
    T value{};
    const char* end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || p != end || value > max)
        return std::nullopt;
    return value;
}

// "YYYY-MM-DD HH:MM:SS" within 2000..2099, a real date and time: the six
// BCD bytes of the sign's clock.
std::optional<std::string> ParseClock(const std::string& text) {
    static const char pattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != sizeof pattern - 1)
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (pattern[i] == 'd' ? !digit : text[i] != pattern[i])
            return std::nullopt;
    }
    const auto at = [&](std::size_t i, std::size_t n) { return std::stoi(text.substr(i, n)); };
    const int year = at(0, 4);
    if (year < 2000 || year > 2099)
        return std::nullopt;
    const sign::TSignClock clock{year, at(5, 2), at(8, 2), at(11, 2), at(14, 2), at(17, 2)};
    std::string bytes = sign::SetTimePayload(clock);
    if (!DecodeClock(bytes))
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<std::string> ParseHex(const std::string& text) {
    std::string bytes;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == ',') {
            if (high >= 0)
                return std::nullopt; // a lone digit
            continue;
        }
        const int v = host::HexDigit(c);
        if (v < 0)
            return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            bytes += static_cast<char>(high * 16 + v);
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty())
        return std::nullopt;
    return bytes;
}

TParsedOptions ParseOptions(const std::vector<std::string>& args) {
    TSimOptions o;
    const auto fail = [](std::string error) { return TParsedOptions{std::nullopt, error}; };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != name.npos) {
            inlineValue = name.substr(eq + 1);
            name.erase(eq);
        }
        const auto flag = [&]() {
            if (inlineValue)
                throw TBadOption{name + " takes no value"};
            return true;
        };
        const auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                throw TBadOption{name + " needs a value"};
            return args[++i];
        };
        try {
            if (name == "--help" || name == "-h") {
                o.Help = flag();
            } else if (name == "--silent") {
                o.Silent = flag();
            } else if (name == "--double") {
                o.Double = flag();
            } else if (name == "--keep-clock") {
                o.KeepClock = flag();
            } else if (name == "--mute") {
                const auto code = ParseNumber<unsigned long>(value(), 3);
                if (!code || *code == 0)
                    return fail("--mute takes a command code: 1, 2 or 3");
                o.Mute = static_cast<int>(*code);
            } else if (name == "--link") {
                o.Link = value();
                if (o.Link.empty())
                    return fail("--link needs a path");
            } else if (name == "--log") {
                o.LogFile = value();
                if (o.LogFile.empty())
                    return fail("--log needs a file name");
            } else if (name == "--delay") {
                const auto ms = ParseNumber<unsigned long>(value(), MaxPauseMs);
                if (!ms)
                    return fail("--delay takes milliseconds, 0 to 600000");
                o.DelayMs = static_cast<int>(*ms);
            } else if (name == "--ignore") {
                const auto n =
                    ParseNumber<unsigned long>(value(), std::numeric_limits<unsigned long>::max());
                if (!n)
                    return fail("--ignore takes a count of frames");
                o.Ignore = *n;
            } else if (name == "--noise") {
                const auto bytes = ParseHex(value());
                if (!bytes)
                    return fail("--noise takes hex bytes, as \"00 F7 12\"");
                o.Noise = *bytes;
            } else if (name == "--split") {
                const std::string v = value();
                const std::size_t colon = v.find(':');
                const auto n = ParseNumber<std::size_t>(v.substr(0, colon), 1 << 16);
                const auto ms = colon == v.npos
                                    ? std::nullopt
                                    : ParseNumber<unsigned long>(v.substr(colon + 1), MaxPauseMs);
                if (!n || *n == 0 || !ms)
                    return fail("--split takes N:MS, N bytes at least 1, MS 0 to 600000");
                o.SplitAt = *n;
                o.SplitPauseMs = static_cast<int>(*ms);
            } else if (name == "--clock") {
                const auto bytes = ParseClock(value());
                if (!bytes)
                    return fail("--clock takes a date and time \"YYYY-MM-DD HH:MM:SS\", "
                                "year 2000 to 2099");
                o.ClockBytes = *bytes;
            } else if (name == "--clock-bytes") {
                const auto bytes = ParseHex(value());
                if (!bytes || bytes->size() != 6)
                    return fail("--clock-bytes takes six hex bytes, as \"26 1A 07 14 35 09\"");
                o.ClockBytes = *bytes;
            } else {
                return fail("unknown option " + args[i]);
            }
        } catch (const TBadOption& bad) {
            return fail(bad.Text);
        }
    }
    return {o, {}};
}

std::string Usage() {
    return "usage: sign-sim [options]\n"
           "A simulated radar speed sign on a pseudo-terminal. The first line on stdout\n"
           "names the port: \"sign-sim: listening on /dev/pts/N\". Changes of the sign's\n"
           "clock and table are shown on stdout, every frame is logged on stderr.\n"
           "Stop it with Ctrl-C (SIGINT), SIGTERM or SIGHUP.\n"
           "\n"
           "  --link PATH        also make PATH a symlink to the port (e.g. /dev/ttyUSB99,\n"
           "                     for the configurator's port scan); an existing symlink to\n"
           "                     a pseudo-terminal is replaced, any other file is not;\n"
           "                     the link is removed at exit\n"
           "  --delay MS         wait MS ms before each reply\n"
           "  --ignore N         leave the first N valid frames unanswered (and unapplied)\n"
           "  --silent           answer no frame (requests are still applied)\n"
           "  --mute CODE        answer no frame of this command (1 set time, 2 download,\n"
           "                     3 read time); they are still applied\n"
           "  --keep-clock       answer set time requests but leave the clock as it is\n"
           "                     (a sign whose clock does not take the time)\n"
           "  --noise HEX        send these bytes before each reply, e.g. \"00 F7 12\"\n"
           "  --split N:MS       send a reply as the first N bytes, a pause of MS ms, the rest\n"
           "  --double           send each reply twice, in one write\n"
           "  --clock \"YYYY-MM-DD HH:MM:SS\"\n"
           "                     stop the clock at this time: read time answers it; a set\n"
           "                     time request replaces it, and it stays stopped there\n"
           "  --clock-bytes HEX  the same with six raw clock bytes, BCD or not,\n"
           "                     e.g. \"26 1A 07 14 35 09\"\n"
           "  --log FILE         append the log to FILE as well as to stderr\n"
           "  --help             this text\n"
           "\n"
           "Without --clock the clock is the PC's local time until a set time request;\n"
           "then it runs on from the time sent. Exit status: 0 when stopped by a signal,\n"
           "1 when the pseudo-terminal fails, 2 for bad options or a link that cannot be\n"
           "made.\n";
}

} // namespace signsim
