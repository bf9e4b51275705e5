#include "tools/radar-sign/RadarSignOptions.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetPortName.h"
#include "sign/ClockOffset.h"
#include "sign/PortName.h"
#include "sign/PortsFile.h"
#include "sign/VisibleText.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string_view>

namespace radarsign {

namespace {

// Longest wait after a write and most writes accepted: a batch should not
// hang for hours on a typo.
constexpr int MaxTimeoutMs = 60000;
constexpr int MaxTries = 100;
// Largest --max-offset, in seconds (about 31 years: more than the century
// the sign holds does not matter).
constexpr int MaxOffsetSeconds = 999999999;
// Longest --connect-timeout, in milliseconds: a cellular modem may take tens
// of seconds to answer, but not minutes.
constexpr int MaxConnectTimeoutMs = 300000;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "H:MM" or "HH:MM".
std::optional<std::pair<int, int>> ParseTimeOfDay(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 2 || text.size() - colon - 1 == 0 ||
        text.size() - colon - 1 > 2)
        return std::nullopt;
    const auto hour = ParseInt(text.substr(0, colon), 0, 23);
    const auto minute = ParseInt(text.substr(colon + 1), 0, 59);
    if (!hour || !minute)
        return std::nullopt;
    return std::make_pair(*hour, *minute);
}

// What each option takes and which command it belongs to.
struct TOptionInfo {
    bool TakesValue;
    std::vector<TCommand> Only; // empty: any command
};

const std::map<std::string, TOptionInfo>& OptionTable() {
    static const std::map<std::string, TOptionInfo> table = {
        {"-v", {false, {}}},
        {"--verbose", {false, {}}},
        {"-h", {false, {}}},
        {"--help", {false, {}}},
        {"--version", {false, {}}},
        {"--tries", {true, {}}},
        {"-l", {false, {TCommand::Ports}}},
        {"--long", {false, {TCommand::Ports}}},
        {"--no-open", {false, {TCommand::Ports}}},
        {"--no-log", {false, {TCommand::ReadTime, TCommand::SendTime, TCommand::Download}}},
        {"--timeout", {true, {}}},
        {"--connect-timeout", {true, {}}},
        {"--ports-from", {true, {TCommand::ReadTime, TCommand::SendTime, TCommand::Download}}},
        {"--iso", {false, {TCommand::ReadTime}}},
        {"--max-offset", {true, {TCommand::ReadTime, TCommand::SendTime}}},
        {"--at", {true, {TCommand::SendTime}}},
        {"--verify", {false, {TCommand::SendTime}}},
        {"--settings", {true, {TCommand::Download}}},
        {"--morning", {true, {TCommand::Download}}},
        {"--morning-speed", {true, {TCommand::Download}}},
        {"--afternoon", {true, {TCommand::Download}}},
        {"--afternoon-speed", {true, {TCommand::Download}}},
        {"--regular-speed", {true, {TCommand::Download}}},
        {"--rate", {true, {TCommand::Download}}},
    };
    return table;
}

std::optional<TCommand> CommandOf(const std::string& word) {
    for (const TCommand c :
         {TCommand::Ports, TCommand::ReadTime, TCommand::SendTime, TCommand::Download})
        if (word == CommandName(c))
            return c;
    return std::nullopt;
}

struct TBad {
    std::string Text;
};

// Text from the command line as a message shows it.
std::string Shown(const std::string& text) {
    return sign::VisibleText(text);
}

// An empty name, or one with a tab or a line end, would break the result
// lines; no device is named so. On Windows only a COM name is a serial port:
// a path, a folder or another device ("CON") is refused before anything is
// opened (under Wine a path such as Z:\dev\ttyS0 reaches the host's device).
void CheckPortName(const std::string& name) {
    if (name.empty())
        throw TBad{"an empty port name"};
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            throw TBad{"port name '" + Shown(name) + "' holds a control character"};
    }
    if (sign::IsNetworkPortName(name)) {
        std::string_view bare = name;
        if (bare.rfind("\\\\.\\", 0) == 0 || bare.rfind("//./", 0) == 0)
            bare.remove_prefix(4);
        const comm::net::TNetPortNameResult parsed = comm::net::ParseNetPortName(bare);
        if (!parsed.Name)
            throw TBad{Shown(parsed.Error)};
        return;
    }
    if (!sign::CanNameASerialPort(name))
        throw TBad{"'" + Shown(name) + "' is not a serial port (COM1, COM2, ...)"};
}

// Where a port came from, for a message about it: "typed" or "FILE line N".
struct TPortSource {
    bool File = false;
    std::string Text; // the port name, or the file's
};

// The ports of --ports-from FILE, each checked as a typed name is.
std::vector<std::pair<std::string, std::string>> PortsOfFile(const std::string& file) {
    if (file.empty())
        throw TBad{"--ports-from needs a file name"};
    // Standard input may be a terminal, where the run would wait without a
    // word; a file named "-" is ./-.
    if (file == "-")
        throw TBad{"--ports-from -: standard input is not read; name a file (./- for a file "
                   "called -)"};
    const sign::TPortsFile read = sign::ReadPortsFile(file);
    if (!read.Error.empty())
        throw TBad{"--ports-from " + Shown(file) + ": " + Shown(read.Error)};
    if (read.Ports.empty())
        throw TBad{"--ports-from " + Shown(file) + ": no port in the file"};
    std::vector<std::pair<std::string, std::string>> ports;
    for (const sign::TPortsLine& line : read.Ports) {
        const std::string where = Shown(file) + " line " + std::to_string(line.Line);
        try {
            CheckPortName(line.Name);
        } catch (const TBad& bad) {
            throw TBad{where + ": " + bad.Text};
        }
        ports.emplace_back(line.Name, where);
    }
    return ports;
}

// "2.5" seconds (to the millisecond) as milliseconds, within 1..max.
std::optional<int> ParseSecondsToMs(const std::string& text, int max) {
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    std::string fraction = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    if (whole.empty() || (dot != std::string::npos && fraction.empty()) || fraction.size() > 3)
        return std::nullopt;
    const auto seconds = ParseInt(whole, 0, max / 1000);
    fraction.resize(3, '0');
    const auto ms = ParseInt(fraction, 0, 999);
    if (!seconds || !ms)
        return std::nullopt;
    const int total = *seconds * 1000 + *ms;
    if (total < 1 || total > max)
        return std::nullopt;
    return total;
}

// The ranges of the window's controls, in payload order.
struct TField {
    const char* Name;
    std::int32_t TSignSettings::*Field;
    int Min;
    int Max;
};
const TField TableFields[] = {
    {"morning start hour", &TSignSettings::MorningStartHour, 0, 23},
    {"morning start minute", &TSignSettings::MorningStartMinute, 0, 59},
    {"morning end hour", &TSignSettings::MorningEndHour, 0, 23},
    {"morning end minute", &TSignSettings::MorningEndMinute, 0, 59},
    {"morning speed", &TSignSettings::MorningSpeed, 1, 99},
    {"afternoon start hour", &TSignSettings::AfternoonStartHour, 0, 23},
    {"afternoon start minute", &TSignSettings::AfternoonStartMinute, 0, 59},
    {"afternoon end hour", &TSignSettings::AfternoonEndHour, 0, 23},
    {"afternoon end minute", &TSignSettings::AfternoonEndMinute, 0, 59},
    {"afternoon speed", &TSignSettings::AfternoonSpeed, 1, 99},
    {"regular speed", &TSignSettings::RegularSpeed, 1, 99},
    {"flashing rate index", &TSignSettings::FlashRateIndex, 0, 2},
};

} // namespace

const char* CommandName(TCommand command) {
    switch (command) {
    case TCommand::Ports:
        return "ports";
    case TCommand::ReadTime:
        return sign::CommandName(sign::CmdReadTime);
    case TCommand::SendTime:
        return sign::CommandName(sign::CmdSetTime);
    case TCommand::Download:
        return sign::CommandName(sign::CmdDownload);
    }
    return "?";
}

std::optional<int> ParseInt(const std::string& text, int min, int max) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<sign::TSignClock> ParseDateTime(const std::string& text) {
    static const char pattern[] = "dddd-dd-dd dd:dd:dd";
    if (text.size() != sizeof pattern - 1)
        return std::nullopt;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == 'd'   ? IsDigit(text[i])
                        : pattern[i] == ' ' ? text[i] == ' ' || text[i] == 'T'
                                            : text[i] == pattern[i];
        if (!ok)
            return std::nullopt;
    }
    const auto at = [&](std::size_t i, std::size_t n) { return std::stoi(text.substr(i, n)); };
    sign::TSignClock c{at(0, 4), at(5, 2), at(8, 2), at(11, 2), at(14, 2), at(17, 2)};
    if (!sign::IsValidClock(c))
        return std::nullopt;
    return c;
}

std::optional<TPeriod> ParsePeriod(const std::string& text) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const auto start = ParseTimeOfDay(text.substr(0, dash));
    const auto end = ParseTimeOfDay(text.substr(dash + 1));
    if (!start || !end)
        return std::nullopt;
    return TPeriod{start->first, start->second, end->first, end->second};
}

std::optional<int> ParseRate(const std::string& text) {
    if (text == "1.5")
        return 0;
    if (text == "1")
        return 1;
    if (text == "0.75")
        return 2;
    return std::nullopt;
}

TParsed ParseArguments(const std::vector<std::string>& args) {
    TOptions o;
    std::optional<TCommand> command;
    std::vector<std::pair<std::string, std::string>> given; // option, value
    std::vector<TPortSource> sources; // the ports typed and the lists, in order
    try {
        bool onlyPorts = false;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (!onlyPorts && a == "--") {
                onlyPorts = true;
                continue;
            }
            // The help as Windows programs give it.
            if (!onlyPorts && a == "/?") {
                given.emplace_back("--help", "");
                continue;
            }
            if (onlyPorts || a.empty() || a[0] != '-' || a == "-") {
                if (!command) {
                    command = CommandOf(a);
                    if (!command)
                        throw TBad{"unknown command '" + Shown(a) +
                                   "' (ports, read-time, send-time or download)"};
                } else {
                    CheckPortName(a);
                    sources.push_back({false, a});
                }
                continue;
            }
            const std::size_t eq = a.find('=');
            const std::string name = a.substr(0, eq);
            const auto info = OptionTable().find(name);
            if (info == OptionTable().end())
                throw TBad{"unknown option '" + Shown(name) + "'"};
            std::string value;
            if (info->second.TakesValue) {
                if (eq != std::string::npos)
                    value = a.substr(eq + 1);
                else if (i + 1 < args.size())
                    value = args[++i];
                else
                    throw TBad{name + " needs a value"};
            } else if (eq != std::string::npos) {
                throw TBad{name + " takes no value"};
            }
            // Several lists may be named; each once.
            for (const auto& g : given)
                if (g.first == name && info->second.TakesValue &&
                    (name != "--ports-from" || g.second == value))
                    throw TBad{name + " " + (name == "--ports-from" ? Shown(value) + " " : "") +
                               "given twice"};
            given.emplace_back(name, value);
            if (name == "--ports-from")
                sources.push_back({true, value});
        }
        for (const auto& g : given)
            if (g.first == "--help" || g.first == "-h") {
                o.Help = true;
                return {o, {}};
            }
        for (const auto& g : given)
            if (g.first == "--version") {
                o.Version = true;
                return {o, {}};
            }
        if (!command)
            throw TBad{"no command given (ports, read-time, send-time or download)"};
        o.Command = *command;

        bool anyTable = false;
        std::set<std::string> table;
        for (const auto& [name, value] : given) {
            const TOptionInfo& info = OptionTable().at(name);
            if (!info.Only.empty() &&
                std::find(info.Only.begin(), info.Only.end(), o.Command) == info.Only.end()) {
                std::string owners;
                for (std::size_t k = 0; k < info.Only.size(); ++k)
                    owners += (k == 0                      ? ""
                               : k + 1 == info.Only.size() ? " or "
                                                           : ", ") +
                              std::string(CommandName(info.Only[k]));
                throw TBad{name + " belongs to " + owners + ", not to " + CommandName(o.Command)};
            }
            if (name == "-v" || name == "--verbose") {
                o.Verbose = true;
            } else if (name == "--tries") {
                const auto n = ParseInt(value, 1, MaxTries);
                if (!n)
                    throw TBad{"--tries '" + Shown(value) + "': a number of writes, 1 to " +
                               std::to_string(MaxTries)};
                o.Tries = *n;
            } else if (name == "--timeout") {
                const auto n = ParseInt(value, 1, MaxTimeoutMs);
                if (!n)
                    throw TBad{"--timeout '" + Shown(value) + "': milliseconds, 1 to " +
                               std::to_string(MaxTimeoutMs)};
                o.Timeout = std::chrono::milliseconds(*n);
            } else if (name == "--connect-timeout") {
                const auto ms = ParseSecondsToMs(value, MaxConnectTimeoutMs);
                if (!ms)
                    throw TBad{"--connect-timeout '" + Shown(value) + "': seconds, 0.001 to " +
                               std::to_string(MaxConnectTimeoutMs / 1000) +
                               " (to the millisecond: 2.5)"};
                o.ConnectTimeout = std::chrono::milliseconds(*ms);
            } else if (name == "--iso") {
                o.Iso = true;
            } else if (name == "-l" || name == "--long") {
                o.Long = true;
            } else if (name == "--no-open") {
                o.NoOpen = true;
            } else if (name == "--no-log") {
                o.NoLog = true;
            } else if (name == "--verify") {
                o.Verify = true;
            } else if (name == "--max-offset") {
                const auto n = ParseInt(value, 0, MaxOffsetSeconds);
                if (!n)
                    throw TBad{"--max-offset '" + Shown(value) + "': whole seconds, 0 to " +
                               std::to_string(MaxOffsetSeconds)};
                o.MaxOffset = *n;
            } else if (name == "--at") {
                o.At = ParseDateTime(value);
                if (!o.At)
                    throw TBad{"--at '" + Shown(value) +
                               "': not a date and time \"YYYY-MM-DD HH:MM:SS\" in 2000..2099"};
            } else if (name == "--settings") {
                if (value.empty())
                    throw TBad{"--settings needs a file name"};
                o.SettingsFile = value;
            } else if (name == "--morning" || name == "--afternoon") {
                const auto p = ParsePeriod(value);
                if (!p)
                    throw TBad{name + " '" + Shown(value) +
                               "': a period HH:MM-HH:MM, hours 0 to 23, minutes 0 to 59"};
                TSignSettings& t = o.Table;
                const bool morning = name == "--morning";
                (morning ? t.MorningStartHour : t.AfternoonStartHour) = p->StartHour;
                (morning ? t.MorningStartMinute : t.AfternoonStartMinute) = p->StartMinute;
                (morning ? t.MorningEndHour : t.AfternoonEndHour) = p->EndHour;
                (morning ? t.MorningEndMinute : t.AfternoonEndMinute) = p->EndMinute;
                anyTable = true;
                table.insert(name);
            } else if (name == "--morning-speed" || name == "--afternoon-speed" ||
                       name == "--regular-speed") {
                const auto n = ParseInt(value, 1, 99);
                if (!n)
                    throw TBad{name + " '" + Shown(value) + "': a speed limit, 1 to 99"};
                (name == "--morning-speed"     ? o.Table.MorningSpeed
                 : name == "--afternoon-speed" ? o.Table.AfternoonSpeed
                                               : o.Table.RegularSpeed) = *n;
                anyTable = true;
                table.insert(name);
            } else if (name == "--rate") {
                const auto r = ParseRate(value);
                if (!r)
                    throw TBad{"--rate '" + Shown(value) + "': one of 1.5, 1 or 0.75 (Hz)"};
                o.Table.FlashRateIndex = *r;
                anyTable = true;
                table.insert(name);
            }
        }

        if (o.Command == TCommand::Ports) {
            if (!sources.empty())
                throw TBad{"ports takes no port names"};
        } else {
            // Each port once, wherever it came from.
            std::map<std::string, std::string> seen; // name, where ("" typed)
            const auto add = [&](const std::string& port, const std::string& where) {
                const auto [at, added] = seen.emplace(port, where);
                if (!added)
                    throw TBad{"port " + Shown(port) + " given twice" +
                               (at->second.empty() && where.empty()
                                    ? std::string()
                                    : " (" + (at->second.empty() ? "typed" : at->second) + ", " +
                                          (where.empty() ? "typed" : where) + ")")};
                o.Ports.push_back(port);
            };
            for (const TPortSource& source : sources) {
                if (!source.File)
                    add(source.Text, "");
                else
                    for (const auto& [port, where] : PortsOfFile(source.Text))
                        add(port, where);
            }
            if (o.Ports.empty())
                throw TBad{std::string(CommandName(o.Command)) + " needs at least one port"};
        }
        if (o.Command == TCommand::SendTime && o.MaxOffset && !o.Verify)
            throw TBad{"--max-offset with send-time needs --verify (the clock read back)"};
        if (o.Command == TCommand::Download) {
            if (!o.SettingsFile.empty() && anyTable)
                throw TBad{"download takes --settings or the table options, not both"};
            if (o.SettingsFile.empty()) {
                std::string missing;
                for (const char* n : {"--morning", "--morning-speed", "--afternoon",
                                      "--afternoon-speed", "--regular-speed", "--rate"})
                    if (!table.contains(n))
                        missing += (missing.empty() ? "" : ", ") + std::string(n);
                if (!missing.empty())
                    throw TBad{"download needs --settings FILE or all of the table options; "
                               "missing: " +
                               missing};
            }
        }
    } catch (const TBad& bad) {
        return {std::nullopt, bad.Text};
    }
    return {o, {}};
}

std::string CheckTable(const TSignSettings& table) {
    for (const TField& f : TableFields) {
        const std::int32_t v = table.*f.Field;
        if (v < f.Min || v > f.Max)
            return std::string(f.Name) + " is " + std::to_string(v) + ", outside " +
                   std::to_string(f.Min) + ".." + std::to_string(f.Max);
    }
    return {};
}

TTable LoadTable(const std::string& path) {
    TSignSettings record{};
    std::size_t got = 0;
    switch (LoadSignSettingsFile(path, record, &got)) {
    case TSettingsLoadResult::Defaults:
        return {std::nullopt, "cannot read the settings file " + Shown(path) +
                                  ": no such file (or it is a directory)"};
    case TSettingsLoadResult::Unreadable:
        return {std::nullopt, "cannot read the settings file " + path};
    case TSettingsLoadResult::Read:
        break;
    }
    if (got < SignSettingsFileSize)
        return {std::nullopt, "the settings file " + Shown(path) + " holds " + std::to_string(got) +
                                  " bytes, not " + std::to_string(SignSettingsFileSize)};
    if (const std::string bad = CheckTable(record); !bad.empty())
        return {std::nullopt, "the settings file " + Shown(path) + ": " + bad};
    return {record, {}};
}

int WorseStatus(int a, int b) {
    const auto rank = [](int status) {
        switch (status) {
        case ExitNoOutput:
            return 5;
        case ExitUsage:
            return 4;
        case ExitNoPort:
            return 3;
        case ExitNoAnswer:
            return 2;
        case ExitClockOff:
            return 1;
        default:
            return 0;
        }
    };
    return rank(b) > rank(a) ? b : a;
}

TClockVerdict JudgeClock(const std::optional<sign::TSignClock>& signClock,
                         const TReadWindow& reference, std::optional<std::int64_t> maxOffset) {
    TClockVerdict verdict;
    const std::optional<std::int64_t> seconds =
        signClock ? sign::ClockOffsetSeconds(*signClock, reference.Base) : std::nullopt;
    if (seconds) {
        const std::int64_t whole =
            reference.ToMs >= 0 ? reference.ToMs / 1000 : -((-reference.ToMs + 999) / 1000);
        verdict.Offset = *seconds - whole;
    }
    if (!maxOffset)
        return verdict;
    if (!seconds) {
        verdict.Fails = true;
        return verdict;
    }
    // In milliseconds: the offset lies in [low, high).
    const std::int64_t low = *seconds * 1000 - reference.ToMs;
    const std::int64_t high = *seconds * 1000 + 1000 - reference.FromMs;
    const std::int64_t max = *maxOffset * 1000;
    verdict.Fails = low > max || high <= -max;
    return verdict;
}

std::string SamePortTwice(const std::vector<std::string>& ports) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        keys.push_back(sign::PortDeviceKey(ports[i]));
        for (std::size_t k = 0; k < i; ++k)
            if (keys[k] == keys[i])
                return ports[k] == ports[i]
                           ? "port " + ports[i] + " given twice"
                           : ports[k] + " and " + ports[i] + " are the same port, given twice";
    }
    return {};
}

std::string PortLine(const sign::TPortIdentity& identity) {
    const auto field = [](const std::string& text) { return sign::VisibleText(text); };
    return field(identity.Name) + "\t" + field(identity.Description) + "\t" +
           field(identity.VidPid()) + "\t" + field(identity.SerialNumber) + "\t" +
           field(identity.Driver);
}

std::string Tries(int n) {
    return std::to_string(n) + (n == 1 ? " try" : " tries");
}

std::string Version() {
    return std::string("radar-sign (Radar Configurator) ") + RC_VERSION + "\n";
}

namespace {
// "5" (seconds).
std::string ConnectTimeoutDefault() {
    const long long ms = comm::net::kDefaultConnectTimeout.count();
    char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%lld", ms / 1000);
    else
        std::snprintf(text, sizeof text, "%.3g", static_cast<double>(ms) / 1000);
    return text;
}
} // namespace

std::string Usage() {
    return std::string("usage: radar-sign [options] COMMAND [PORT...]\n") +
           "\n"
           "Commands:\n"
           "  ports                 the ports the configurator's scan lists, one a line\n"
           "      -l, --long        with each port's description, VID:PID, serial number\n"
           "                        and driver (tab-separated, empty where not known)\n"
           "      --no-open         the serial devices the scan would try, none opened\n"
           "                        (one may be busy or hold no sign; on Windows every\n"
           "                        COM name); status 3 when there is none\n"
           "  read-time PORT...     the sign's clock, as the configurator shows it\n"
           "      --iso             as ISO 8601 date and time instead\n"
           "      --max-offset S    fail (status 4) when the sign's clock is more than\n"
           "                        S seconds off this PC's, or is no date (the clock\n"
           "                        has whole seconds: it passes if it may be within S)\n"
           "  send-time PORT...     set the sign's clock from the PC's local time\n"
           "      --at \"YYYY-MM-DD HH:MM:SS\"   or from this time\n"
           "      --verify          then read the clock back: it must be within 2 s of\n"
           "                        the time sent, counted on since (status 4 if not)\n"
           "      --max-offset S    with --verify: that tolerance instead of 2 s\n"
           "  download PORT...      send the operating table, either from a file\n"
           "      --settings FILE   a LEDINFO.BIN as the configurator saves it\n"
           "    or from all of:\n"
           "      --morning HH:MM-HH:MM --morning-speed N\n"
           "      --afternoon HH:MM-HH:MM --afternoon-speed N\n"
           "      --regular-speed N --rate 1.5|1|0.75\n"
           "    (hours 0..23, minutes 0..59, speeds 1..99, the rate in Hz)\n"
           "\n"
           "Options:\n"
           "  --tries N             writes of the request at most (default 3)\n"
           "  --timeout MS          wait for the answer after each write (default 1000)\n"
           "  --ports-from FILE     the ports listed in FILE as well, one a line, '#'\n"
           "                        comments (not read from standard input); may be\n"
           "                        given again for more lists\n"
           "  --connect-timeout S   a network port's connect at most, in seconds to the\n"
           "                        millisecond (0.001 to 300, default " +
           ConnectTimeoutDefault() +
           ")\n"
           "  -v, --verbose         every frame sent and received on standard error\n"
           "  --no-log              no line in the audit log (audit.csv in the per-user\n"
           "                        data folder) for the commands sent\n"
           "  -h, --help, /?        this text\n"
           "  --version             the program's name and version\n"
           "  --                    the end of the options\n"
           "\n"
           "A port may be a network port: tcp://HOST:PORT (a device server's raw TCP\n"
           "port) or rfc2217://HOST:PORT (RFC 2217), HOST a name, an IPv4 address or\n"
           "[an IPv6 address]; a malformed one is bad input.\n"
           "Several ports run at once, each named once (under any name: bad input);\n"
           "on Windows a serial port is a COM name (COM3, \\\\.\\COM12): a path, a folder or\n"
           "another device (CON) is bad input.\n"
           "one line per port, fields separated by tabs:\n"
           "port, command, ok or the reason, tries, time, and the sign's clock minus\n"
           "this PC's in seconds (\"+5\", \"-133\"; read-time and send-time --verify,\n"
           "empty when unknown).\n"
           "Exit status: 0 every sign acknowledged, 1 some sign did not answer,\n"
           "2 bad input or the system console given (nothing sent), 3 some port could\n"
           "not be opened, 4 some sign's clock is off or no date (--max-offset), or\n"
           "did not take the time sent (--verify),\n"
           "5 the results could not be written. Of several, 5 wins, then 3, 1, 4.\n"
           "Stopped by SIGINT, SIGTERM or SIGHUP (Ctrl+C), the commands in flight end,\n"
           "are logged and printed, and the status is 128 + the signal (130, 143, 129);\n"
           "a second signal ends the program at once.\n";
}

} // namespace radarsign
