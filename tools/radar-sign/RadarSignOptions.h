#pragma once
// radar-sign's command line and the texts it prints, without ports: what the
// program does is decided here, so that the tests can check every rule in a
// table. Nothing here opens a port or reads the clock; LoadTable reads the
// settings file only.

#include "configurator/SignLink.h"
#include "configurator/SignSettings.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace radarsign {

// Exit statuses.
inline constexpr int ExitOk = 0;
inline constexpr int ExitNoAnswer = 1; // some sign did not acknowledge
inline constexpr int ExitUsage = 2;    // bad input: nothing was sent
inline constexpr int ExitNoPort = 3;   // some port could not be opened or used

enum class TCommand { Ports, ReadTime, SendTime, Download };

// The command's name as typed ("read-time").
const char* CommandName(TCommand command);

struct TOptions {
    TCommand Command = TCommand::Ports;
    std::vector<std::string> Ports; // in the order given, each once
    int Tries = 3;
    std::chrono::milliseconds Timeout{1000}; // the wait after each write
    bool Verbose = false;                    // -v: the frames on standard error
    bool Iso = false;                        // read-time --iso
    std::optional<sign::TSignClock> At;      // send-time --at
    // download: either SettingsFile, or the table from the options in Table
    // (PortIndex unused).
    std::string SettingsFile;
    TSignSettings Table{};
    bool Help = false;
};

struct TParsed {
    std::optional<TOptions> Options; // none: Error says what is wrong
    std::string Error;
};

// Reads the arguments after the program name: the command, its ports and
// options in any order. An option's value is the next argument or follows
// '=' (--tries=2). "--" ends the options: what follows is ports.
TParsed ParseArguments(const std::vector<std::string>& args);

// "YYYY-MM-DD HH:MM:SS" (or with 'T' between date and time), a real date in
// 2000..2099, hours 0..23, minutes and seconds 0..59.
std::optional<sign::TSignClock> ParseDateTime(const std::string& text);
// "HH:MM-HH:MM": two times of day, hours 0..23, minutes 0..59 (one or two
// digits each).
struct TPeriod {
    int StartHour = 0, StartMinute = 0, EndHour = 0, EndMinute = 0;
    friend bool operator==(const TPeriod&, const TPeriod&) = default;
};
std::optional<TPeriod> ParsePeriod(const std::string& text);
// A whole number in min..max, decimal digits only.
std::optional<int> ParseInt(const std::string& text, int min, int max);
// The flashing rate as its index: "1.5" 0, "1" 1, "0.75" 2.
std::optional<int> ParseRate(const std::string& text);

// The table of a download from a LEDINFO.BIN, read as the window reads it
// (configurator/SignSettings.h) into a record of zeros. Refused with a
// reason: a file that is missing, a directory, not readable or shorter than
// 52 bytes, and a value that the window's controls could not hold (hours
// 0..23, minutes 0..59, speeds 1..99, a flashing rate of the list), which the
// window would change silently.
struct TTable {
    std::optional<TSignSettings> Table;
    std::string Error;
};
TTable LoadTable(const std::string& path);
// Empty when every value of the table lies within the controls' ranges,
// otherwise which does not.
std::string CheckTable(const TSignSettings& table);

// The reason in words for a port that did not open, from the OS error of the
// open. `noAccess`: the device exists and this user may not read and write
// it (told apart from "in use", which the OS reports with the same code).
std::string OpenFailureText(std::uint32_t osError, bool noAccess);

// The sign's clock as --iso prints it: "2026-12-07T14:35:09".
std::string IsoText(const sign::TSignClock& clock);

// "1 try", "3 tries".
std::string Tries(int n);

// The usage text (--help).
std::string Usage();

} // namespace radarsign
