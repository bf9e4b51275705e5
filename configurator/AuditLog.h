#pragma once
// The audit log: one CSV line for every command sent to a sign, by the window
// and by radar-sign, so that a technician or their office can say what was
// sent to which sign, when, from which PC and with what result.
//
// The file is audit.csv in the per-user data folder (UserSettingsFolder of
// configurator/SettingsLocation.h; %LOCALAPPDATA%\radar-configurator\ on
// Windows), with a header row, fields quoted by RFC 4180 where they need it,
// lines ended by CR LF. Each line is appended with one write to a file opened
// for appending, so several programs appending at once leave whole lines and
// earlier lines are never touched. At 10 MB the file is renamed audit.1.csv
// (replacing the previous one) and a new one is begun.
//
// Appenders take a lock on the file for the header and rotation work, and
// wait for it at most 50 ms: past that (a writer stopped while holding it)
// the line is appended without that work rather than lost.
//
// Every field is written as given, quoted or not; none is altered to keep a
// spreadsheet from taking it for a formula (the offset column begins with
// '+' or '-' by right, and a log must say what was sent).
//
// A log that cannot be written never fails or delays a command: Append
// answers false and keeps the reason in Error(); the caller decides whether
// to tell anyone. No Qt; one TAuditLog may be shared by threads (an append
// holds its mutex); never throws.

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
// the computer's name.
TAuditContext CurrentContext();

// The header row and one record's row, each without the line end.
std::string AuditHeader();
std::string AuditRow(const TAuditContext& context, const TAuditRecord& record);
// One field as RFC 4180 writes it: quoted when it holds a comma, a quote, CR
// or LF (quotes doubled), as it is otherwise.
std::string CsvField(const std::string& text);

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

private:
    bool AppendLocked(const TAuditContext& context, const TAuditRecord& record);

    std::string FFolder;
    std::uint64_t FRotateBytes;
    mutable std::mutex FLock;
    std::string FError;
};

} // namespace audit
