#pragma once
// What the audit log's shared part (AuditLog.cpp) and its platform parts
// (PosixAuditLog.cpp, Win32AuditLog.cpp) give each other. Not for callers:
// they use configurator/AuditLog.h.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace audit::detail {

// How long an append waits for the log's lock before it writes its line
// without the header and rotation work (held only for a size check and one
// write, so a wait this long means a stalled writer).
inline constexpr int LockWaitMs = 50;

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

enum class TAppendResult { Written, NoFolder, Failed };

// Appends `line` (ended by CR LF) to the log at `path`, by the rules of
// AuditLog.h: under the lock, the header first when the file is empty, the
// file renamed to `rotatedPath` first when it is at or past `rotateBytes`
// (0: never). NoFolder when the folder of `path` is missing (nothing
// written; the caller creates it and calls again), Failed otherwise, both
// with the reason in `error`.
TAppendResult AppendLine(const std::string& path, const std::string& rotatedPath,
                         std::string_view line, std::uint64_t rotateBytes, std::string& error);

// The reason for a write that took only `written` of `total` bytes.
std::string ShortWriteText(std::size_t written, std::size_t total);

// "cannot write the audit log <path>: <reason>".
std::string WriteError(const std::string& path, const std::string& reason);

// An OS message as part of a sentence: first letter small, no final full
// stop or line end ("Permission denied" -> "permission denied").
std::string AsClause(std::string message);

} // namespace audit::detail
