#pragma once
// radar-sign's command line and the texts it prints, without ports: what the
// program does is decided here, so that the tests can check every rule in a
// table. Nothing here opens a port or reads the clock; ParseArguments reads
// the --ports-from lists, LoadTable the settings file, SamePortTwice looks
// the ports' names up (a network name is never resolved).

#include "serial/driver/NetCommApi.h"
#include "sign/PortFailure.h"
#include "sign/PortIdentity.h"
#include "sign/SignLink.h"
#include "sign/SignSettings.h"

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
inline constexpr int ExitClockOff = 4; // some sign's clock is off or no date (--max-offset)
inline constexpr int ExitNoOutput = 5; // the results could not be written to standard output
// A run stopped by a signal (radarsign::StopStatus, Interrupts.h) exits with
// 128 + its number, whatever the ports' statuses.

// The status of a run from the statuses of its ports: the worse one, in the
// order 5, 3, 1, 4, 0 (a lost result outweighs everything, a port that could
// not be used outweighs a sign that did not answer, and that outweighs a
// sign that answered with a clock that is off).
int WorseStatus(int a, int b);

enum class TCommand { Ports, ReadTime, SendTime, Download };

// The command's name as typed ("read-time").
const char* CommandName(TCommand command);

struct TOptions {
    TCommand Command = TCommand::Ports;
    // Typed and from --ports-from's lists, in the order given, each once.
    std::vector<std::string> Ports;
    int Tries = 3;
    std::chrono::milliseconds Timeout{1000}; // the wait after each write
    // A network port's connect (and RFC 2217 negotiation) at most.
    std::chrono::milliseconds ConnectTimeout = comm::net::kDefaultConnectTimeout;
    bool Verbose = false;               // -v: the frames on standard error
    bool Iso = false;                   // read-time --iso
    std::optional<sign::TSignClock> At; // send-time --at
    bool Verify = false;                // send-time --verify: read the clock back
    // read-time: the sign's clock may be this many seconds off the PC's at
    // most, and must be a date; send-time --verify: the clock read back may
    // be this far from the time sent (default DefaultVerifyTolerance).
    std::optional<std::int64_t> MaxOffset;
    bool Long = false;   // ports -l: each port's identity
    bool NoOpen = false; // ports --no-open: the scan's candidates, none opened
    bool NoLog = false;  // --no-log: no line in the audit log
    // download: either SettingsFile, or the table from the options in Table
    // (PortIndex unused).
    std::string SettingsFile;
    TSignSettings Table{};
    bool Help = false;    // -h, --help, /?: the usage text, nothing else
    bool Version = false; // --version (without -h): the version, nothing else
};

struct TParsed {
    std::optional<TOptions> Options; // none: Error says what is wrong
    std::string Error;
};

// Reads the arguments after the program name: the command, its ports and
// options in any order. An option's value is the next argument or follows
// '=' (--tries=2). "--" ends the options: what follows is the command, if
// none came before, and ports. "/?" is --help. A port name must not be
// empty nor hold a control character (below 20 hex, or 7F), and must be one
// that can name a serial port on this system (sign::CanNameASerialPort: on
// Windows a COM name, not a path, a folder or another device); a network
// name (tcp://, rfc2217://) must be well-formed (comm::net::ParseNetPortName's
// reason otherwise). --ports-from FILE (several may be named) adds the ports
// of a list (sign::ReadPortsFile) where it stands among the typed ones, each
// checked as a typed one and a bad one said with "FILE line N: "; an
// unreadable or empty list is bad input, and "-" is refused (standard input
// is not read). This reads those lists and nothing else.
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
// (sign/SignSettings.h) into a record of zeros. Refused with a
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

// A clock that the sign's clock is held against (the PC's, or the time sent
// counted forward) while the sign's clock was read: it read Base plus FromMs
// milliseconds when the request could first reach the sign (before the
// first write of the read) and Base plus ToMs when the reply came (FromMs <=
// ToMs).
struct TReadWindow {
    sign::TSignClock Base;
    std::int64_t FromMs = 0;
    std::int64_t ToMs = 0;
};

// The tolerance of send-time --verify without --max-offset, in seconds.
inline constexpr std::int64_t DefaultVerifyTolerance = 2;

// The sign's clock against a reference, and whether it passes a maximum
// offset.
struct TClockVerdict {
    // Sign minus the reference when the reply came, in whole seconds (the
    // reference's fraction of a second cut off); none: the sign's clock is
    // no date.
    std::optional<std::int64_t> Offset;
    bool Fails = false; // with a maximum: no date, or off by more than it
};
// The sign's clock has whole seconds: reading S, it was between S and S + 1
// at some moment of the window, so its true offset from the reference lies
// in [S - (Base + ToMs), S + 1 - (Base + FromMs)). It passes maxOffset when
// that interval meets [-maxOffset, +maxOffset]: a sign that is right is
// never failed however late its reply came, and one off by more than
// maxOffset + 1 s plus the window's length always is.
TClockVerdict JudgeClock(const std::optional<sign::TSignClock>& signClock,
                         const TReadWindow& reference, std::optional<std::int64_t> maxOffset);

// When two of `ports` (as typed) are one port (sign::PortDeviceKey): the
// message naming both as typed; empty when each is another port. Looks each
// name up; opens nothing.
std::string SamePortTwice(const std::vector<std::string>& ports);

// The line of `ports -l`: name, description, VID:PID, serial number and
// driver, separated by tabs, empty where not known. Each field as
// sign::VisibleText shows it (a USB string may hold anything): a tab or line
// end inside one is written out as \x09 or \x0A, so the line stays whole.
std::string PortLine(const sign::TPortIdentity& identity);

// "1 try", "3 tries".
std::string Tries(int n);

// The usage text (--help).
std::string Usage();

// "radar-sign (Radar Configurator) 0.1" and a line end (--version): the
// project's version, from CMake.
std::string Version();

} // namespace radarsign
