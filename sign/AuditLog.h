#pragma once
// The audit log: one CSV line for every command sent to a sign, by the window
// and by radar-sign, so that a technician or their office can say what was
// sent to which sign, when, from which PC and with what result.
//
// The file is audit.csv in the per-user data folder (UserSettingsFolder of
// sign/SettingsLocation.h; %LOCALAPPDATA%\radar-configurator\ on
// Windows), with a header row, fields quoted by RFC 4180 where they need it,
// lines ended by CR LF. Each line is appended with one write to a file opened
// for appending, so several programs appending at once leave whole lines and
// earlier lines are never touched. At 10 MB the file is renamed audit.1.csv
// (replacing the previous one) and a new one is begun.
//
// Appenders take a lock on the file for the header, rotation and repair
// work, and wait for it at most 250 ms: past that (a writer stopped while
// holding it) the line is appended without that work rather than lost.
//
// A row is written whole or not at all: under the lock, a write that the
// disk cut short is taken back, and a file whose last line has no end (a
// crash, an editor, a write cut short without the lock) has it ended before
// the row, in the same write, so that no row is ever glued to another.
//
// Only a regular file of its own is written: audit.csv as a symbolic link
// (or, on Windows, any reparse point), a FIFO, a device, a folder or a file
// with other names (hard links) is refused with a message that names the
// path and what it is, without opening it where that can be told first, and
// never waiting on it (a FIFO without a reader).
//
// The text cells are made safe to read and to open in a spreadsheet: every
// one passes through sign::VisibleText (invalid UTF-8, control and
// bidirectional characters written out visibly; sign/VisibleText.h),
// and one that begins with '=', '+', '-', '@', TAB or CR (a formula, to a
// spreadsheet) gets a leading apostrophe. The number cells (tries, the offset
// "+5" or "-133") are written as numbers.
//
// A log that cannot be written never fails or delays a command: Append
// answers false and keeps the reason in Error(); the caller decides whether
// to tell anyone. A rotation that fails leaves the rows going into audit.csv
// and is told once, by TakeWarning(). No Qt; one TAuditLog may be shared by
// threads (an append holds its mutex); never throws.
//
// Append does file I/O on the calling thread, which a slow or hung file
// system (a network share) can hold up: a GUI thread posts to a TAuditQueue
// (sign/AuditQueue.h) instead.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace audit {

// What one command did.
struct TAuditRecord {
    std::string Program;   // "radar-configurator", "radar-sign"
    std::string Port;      // as the command was given it
    std::string AdapterId; // "0403:6001"; empty: not known
    std::string AdapterSerial;
    std::string Command;   // "read-time", "send-time", "download"
    std::string Request;   // the request frame in hex ("F7 8C 8D 8A 03 F3")
    int Tries = 0;         // writes made
    std::string Outcome;   // "ok", "no answer", or why the port did not open
    std::string SignClock; // read-time: the sign's clock ("2026-12-07T14:35:09"); else empty
    std::optional<std::int64_t> OffsetSeconds; // read-time: sign minus PC
};

// Where the line was written and by whom; filled by CurrentContext() or a test.
struct TAuditContext {
    std::string LocalTime; // "2026-12-09T08:15:02+01:00"
    std::string User;
    std::string Computer;
};

// The context now: the local time with its UTC offset, the user's login name,
// the computer's name. The names are looked up at the first call (which may
// ask a user database) and kept.
TAuditContext CurrentContext();

// The header row and one record's row, each without the line end.
std::string AuditHeader();
std::string AuditRow(const TAuditContext& context, const TAuditRecord& record);
// One field as RFC 4180 writes it: quoted when it holds a comma, a quote, CR
// or LF (quotes doubled), as it is otherwise.
std::string CsvField(const std::string& text);
// One text cell of a row: `text` made visible (sign::VisibleText), with a
// leading apostrophe when it begins with '=', '+', '-', '@', TAB or CR, then
// as CsvField writes it.
std::string TextCell(const std::string& text);

// The log's file name in `folder`, and the file it is rotated to.
inline constexpr const char* AuditFileName = "audit.csv";
inline constexpr const char* AuditRotatedName = "audit.1.csv";
inline constexpr std::uint64_t AuditRotateBytes = 10u * 1024u * 1024u;

class TAuditLog {
public:
    // The log in `folder` (created with its parents at the first append);
    // an empty folder: a log that writes nothing and answers false.
    explicit TAuditLog(std::string folder, std::uint64_t rotateBytes = AuditRotateBytes);

    // Appends the record's row with CurrentContext(); see the top of this file.
    bool Append(const TAuditRecord& record);
    bool Append(const TAuditContext& context, const TAuditRecord& record);

    // The file written to ("" when the folder is empty).
    std::string Path() const;
    // Why the last failed Append failed, in words.
    std::string Error() const;
    // What went wrong without costing a row, once per log: "cannot rotate
    // the audit log <path> to <path>: <reason>; ..." the first time a
    // rotation fails, "" before that and ever after.
    std::string TakeWarning();

private:
    bool AppendLocked(const TAuditContext& context, const TAuditRecord& record);

    std::string FFolder;
    std::uint64_t FRotateBytes;
    mutable std::mutex FLock;
    std::string FError;
    std::string FWarning;
    bool FWarningTaken = false;
};

} // namespace audit
