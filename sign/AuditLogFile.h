#pragma once
// What the audit log's shared part (AuditLog.cpp) and its platform parts
// (PosixAuditLog.cpp, Win32AuditLog.cpp) give each other, and the faults the
// tests make in the platform parts' file calls. Not for callers: they use
// sign/AuditLog.h.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace audit::detail {

// How long an append waits for the log's lock before it writes its line
// without the header, rotation and repair work. The lock is held only for a
// size check, a one-byte read and one write, but a holder descheduled on a
// loaded machine can keep it for tens of milliseconds (seen at 50 ms: eight
// programs appending under Wine beside an emulator), and a line written
// without it has none of that work's guarantees (under Wine, whose append is
// emulated, not even that it lands after every other): a wait this long
// means a stalled writer.
inline constexpr int LockWaitMs = 250;

// The user's login name and the computer's name, in UTF-8; empty when the
// system gives none.
std::string LoginName();
std::string ComputerName();

// The civil times of one instant, local and UTC (localtime and gmtime).
void CivilTimes(std::time_t instant, std::tm& local, std::tm& utc);

// The seconds by which `local` is ahead of `utc`, both the civil times of one
// instant (as localtime and gmtime give them).
long UtcOffsetSeconds(const std::tm& local, const std::tm& utc);

// `local` in ISO 8601 with its UTC offset: "2026-12-09T08:15:02+01:00".
std::string IsoLocalTime(const std::tm& local, long utcOffsetSeconds);

// The local time now, as IsoLocalTime writes it.
std::string LocalTimeNow();

enum class TAppendResult { Written, NoFolder, Failed };

// Appends `line` (ended by CR LF) to the log at `path`, by the rules of
// AuditLog.h: under the lock, the header first when the file is empty, the
// file renamed to `rotatedPath` first when it is at or past `rotateBytes`
// (0: never), an unended last line ended first (RowSeparator), and a write
// cut short taken back (WriteWhole). NoFolder when the folder of `path` is
// missing (nothing written; the caller creates it and calls again), Failed
// otherwise, both with the reason in `error`. A rotation that failed, the
// line written all the same, leaves its reason in `warning`.
TAppendResult AppendLine(const std::string& path, const std::string& rotatedPath,
                         std::string_view line, std::uint64_t rotateBytes, std::string& error,
                         std::string& warning);

// The log's file as the shared rules below use it; each platform's part
// implements it on its open file.
class ILogFile {
public:
    // One write at the end of the file: the bytes it took, up to
    // text.size(); when it failed, the system's reason in `reason` too
    // (a write may fail having taken a part).
    virtual std::size_t Append(std::string_view text, std::string& reason) = 0;
    // The file's size now; false when it cannot be had.
    virtual bool Size(std::uint64_t& size) = 0;
    // `buffer.size()` bytes from `offset`, all of them or false.
    virtual bool ReadAt(std::uint64_t offset, std::string& buffer) = 0;
    // Cuts the file back to `size` bytes; false with the reason when it
    // cannot.
    virtual bool CutBack(std::uint64_t size, std::string& reason) = 0;

protected:
    ~ILogFile() = default;
};

// What goes before a row appended to the file of `size` bytes: nothing when
// the file is empty or its last byte is LF; otherwise what ends its last
// line: LF after a CR, CR LF after anything else, and a quote first when the
// line has a quoted field left open (read back up to 64 KiB from the end).
// Nothing when the file cannot be read.
std::string RowSeparator(ILogFile& file, std::uint64_t size);
// The same for a last line whose bytes (after the file's last LF) are
// `tail`.
std::string EndOfLine(std::string_view tail);

// Writes `text` at the end of `file`. With the lock (`locked`), whole or not
// at all: a write cut short is followed by one for the rest, and one that
// fails having written part is taken back, when the file still ends with
// that part, to `sizeBefore` (its size when the lock was had); without the
// lock, one write, a part of which may be left (the next holder's
// RowSeparator ends it). False with the reason when the text is not all in.
bool WriteWhole(ILogFile& file, std::string_view text, bool locked, std::uint64_t sizeBefore,
                std::string& reason);

// "cannot write the audit log <path>: <reason>".
std::string WriteError(const std::string& path, const std::string& reason);

// "cannot write the audit log <path>: it is <what>, not a regular file".
std::string NotRegularError(const std::string& path, const std::string& what);

// "cannot rotate the audit log <path> to <rotatedPath>: <reason>; the rows go
// on into <path>".
std::string RotateError(const std::string& path, const std::string& rotatedPath,
                        const std::string& reason);

// An OS message as part of a sentence: first letter small, no final full
// stop or line end ("Permission denied" -> "permission denied").
std::string AsClause(std::string message);

// ---- Faults for the tests ----------------------------------------------------------------
// The platform parts' file calls consult these; a program never sets them.

struct TFileFaults {
    // The bytes the disk still takes for the log's writes: a write asking
    // for more writes what fits, and a write when nothing fits fails as on a
    // full disk (ENOSPC; ERROR_DISK_FULL). Negative: no limit.
    std::int64_t DiskSpace = -1;
    // Cutting the file back fails (EIO; ERROR_WRITE_FAULT).
    bool CutBackFails = false;
};

// Sets the faults for every log of the process until set again; thread-safe.
void SetFileFaults(const TFileFaults& faults);
// How many of `wanted` bytes the next write may take: all of them but under
// a DiskSpace fault, whose bytes it uses up.
std::size_t WritableBytes(std::size_t wanted);
// Whether cutting the file back is to fail.
bool CutBackFails();

} // namespace audit::detail
