#pragma once
// The simulator's command line.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace signsim {

struct TSimOptions {
    std::string Link;                      // --link PATH: a symlink to the pty's slave
    int DelayMs = 0;                       // --delay MS before each reply
    unsigned long Ignore = 0;              // --ignore N: the first N valid frames go unanswered
    bool Silent = false;                   // --silent: no frame is answered
    int Mute = 0;                          // --mute CODE: frames of this code go unanswered
    bool KeepClock = false;                // --keep-clock: set time answered, clock unchanged
    std::string Noise;                     // --noise HEX: bytes sent before each reply
    std::size_t SplitAt = 0;               // --split N:MS: the first N bytes, a pause, the rest
    int SplitPauseMs = 0;                  //   (SplitAt 0: one write)
    bool Double = false;                   // --double: two replies in one write
    std::optional<std::string> ClockBytes; // --clock / --clock-bytes: a stopped clock
    std::string LogFile;                   // --log FILE, besides stderr
    bool Help = false;                     // --help
};

struct TParsedOptions {
    std::optional<TSimOptions> Options; // none: Error says what is wrong
    std::string Error;
};

// Reads the arguments after the program name. Each option takes its value
// as the next argument or after '=' (--delay=50).
TParsedOptions ParseOptions(const std::vector<std::string>& args);

// Hex bytes as "00 F7 12" or "00F712": pairs of hex digits, blanks between
// pairs allowed. None for an empty text or one that is not such.
std::optional<std::string> ParseHex(const std::string& text);

// The usage text.
std::string Usage();

} // namespace signsim
