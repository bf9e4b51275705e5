#pragma once
// The operator's entries (TSignSettings) and their file, LEDINFO.BIN: 13 signed
// 32-bit integers, little-endian, in field order, 52 bytes, nothing else.
//
// No GUI here: the main window's SetDefaultSettings/LoadSettings/SaveSettings
// call these functions. Nothing in this unit reports an error to the operator
// or throws for a file problem; the results below are for the caller's and the
// tests' information only. Not thread-safe for the same record; the window
// calls everything on the GUI thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Field order is the file order. Default member values are 0: a fresh record
// is all zero, and a short file overwrites only the bytes it holds.
struct TSignSettings {
    std::int32_t PortIndex = 0;            // port list index, -1 = none
    std::int32_t RegularSpeed = 0;         // speed limit outside the periods
    std::int32_t FlashRateIndex = 0;       // 0 "1.5Hz", 1 "1Hz", 2 "0.75 Hz.", -1 none
    std::int32_t MorningStartHour = 0;     //
    std::int32_t MorningStartMinute = 0;   //
    std::int32_t MorningEndHour = 0;       //
    std::int32_t MorningEndMinute = 0;     //
    std::int32_t MorningSpeed = 0;         // speed limit in the morning period
    std::int32_t AfternoonStartHour = 0;   //
    std::int32_t AfternoonStartMinute = 0; //
    std::int32_t AfternoonEndHour = 0;     //
    std::int32_t AfternoonEndMinute = 0;   //
    std::int32_t AfternoonSpeed = 0;       // speed limit in the afternoon period

    friend bool operator==(const TSignSettings&, const TSignSettings&) = default;
};

inline constexpr std::size_t SignSettingsFieldCount = 13;
inline constexpr std::size_t SignSettingsFileSize = SignSettingsFieldCount * 4; // 52
inline constexpr const char* SignSettingsFileName = "LEDINFO.BIN";

using TSignSettingsBytes = std::array<std::uint8_t, SignSettingsFileSize>;

// The defaults: 08:00-18:00 and 18:00-22:00, every speed limit 20, the first
// flashing rate and the first port.
TSignSettings DefaultSignSettings();

// The 52 file bytes of a record and back: each field little-endian, on every
// platform.
TSignSettingsBytes EncodeSignSettings(const TSignSettings& settings);
TSignSettings DecodeSignSettings(const TSignSettingsBytes& bytes);

enum class TSettingsLoadResult {
    Defaults,   // empty path, no file, or a directory of that name: defaults taken
    Read,       // the file's bytes (up to 52) overwrote the record's first bytes
    Unreadable, // the file exists but could not be opened or read: record unchanged
};

// Fills `settings` from the file at `path`. A file shorter than 52 bytes
// overwrites only as many bytes of the record as it holds (a field cut in the
// middle keeps its other bytes); bytes after the 52nd are ignored. Anything
// that exists at `path` and is not a directory counts as a file; one that is
// not a regular file (a pipe, a device) is never read and counts as
// unreadable. `bytesRead`, when given, receives the number of bytes taken.
TSettingsLoadResult LoadSignSettingsFile(const std::string& path, TSignSettings& settings,
                                         std::size_t* bytesRead = nullptr);

// Writes the 52 bytes of `settings` to `path`, replacing the file atomically
// (host::ReplaceFileAtomically, whose rules are this save's): a crash, a full
// disk or a power cut leaves either the old file or the new one, never a
// part, and on any failure the old file stays as it was and no new file is
// left behind. False, with nothing written, when `path` is empty, names a
// directory or anything else that is not a regular file, or when the file or
// its directory is read-only; true once the new file is in place.
bool SaveSignSettingsFile(const std::string& path, const TSignSettings& settings);
