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
#include <functional>
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

// The steps of the save that can fail, replaceable so that tests can make any
// of them fail on every platform. Each, when given, is called in place of the
// OS step; an empty function means the OS step itself.
struct TSettingsFileOps {
    // The OS write to the new file: takes up to `size` bytes and returns how
    // many it took, or -1 on failure.
    using TWrite = std::function<long(const void* data, std::size_t size)>;
    // Called for every write to the new file with the bytes still to be
    // written and the OS write. Returns as the OS write does; 0 (nothing
    // taken, as on a full disk) fails the save, and so does -1 unless errno
    // is EINTR, which is retried as an interrupted POSIX write is.
    std::function<long(const void* data, std::size_t size, const TWrite& os)> write;
    // In place of flushing the new file to the disk; false: it failed.
    std::function<bool()> flush;
    // In place of moving the new file `from` over the file `to`; false: it
    // failed.
    std::function<bool(const std::string& from, const std::string& to)> replace;
};

// Writes the 52 bytes of `settings` to `path`, replacing the file atomically:
// the bytes go to a new file in the same directory, which is flushed to the
// disk and then renamed over the old one, so that a crash, a full disk or a
// power cut leaves either the old file or the new one, never a part. On any
// failure the new file is removed and the old one stays as it was.
//
// Nothing is written, and false returned, when `path` is empty, names a
// directory or anything else that is not a regular file, or when the file or
// its directory is read-only. Read-only means without write permission for
// this process, or without any write permission bit at all (so that the rule
// holds for the superuser too). A symbolic link is followed: the file it
// names is replaced and the link stays. A replaced file keeps its permission
// bits (and, where the process may set them, its owner and group).
//
// On Windows, read-only means the file's read-only attribute (a folder's
// says nothing there: a folder where no file may be created fails the
// creation of the new file); a file that another program holds open without
// delete sharing is not replaced; a symbolic link is replaced, not followed;
// and the replaced file takes the security of a new file in its folder.
bool SaveSignSettingsFile(const std::string& path, const TSignSettings& settings,
                          const TSettingsFileOps& ops = {});
