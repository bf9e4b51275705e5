// The audit log's rows and the part of appending that is the same on every
// platform: the cells, a row written whole or not at all, the end of a last
// line that has none. The file work is in PosixAuditLog.cpp and
// Win32AuditLog.cpp.
#include "sign/AuditLog.h"
#include "sign/AuditLogFile.h"
#include "sign/ClockOffset.h"
#include "sign/VisibleText.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

namespace audit {

namespace detail {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long DaysFromCivil(long year, long month, long day) {
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yearOfEra = year - era * 400;
    const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

long SecondsOf(const std::tm& t) {
    return DaysFromCivil(t.tm_year + 1900L, t.tm_mon + 1L, t.tm_mday) * 86400L + t.tm_hour * 3600L +
           t.tm_min * 60L + t.tm_sec;
}

} // namespace

long UtcOffsetSeconds(const std::tm& local, const std::tm& utc) {
    return SecondsOf(local) - SecondsOf(utc);
}

std::string IsoLocalTime(const std::tm& local, long utcOffsetSeconds) {
    // ISO 8601 offsets are whole minutes; the seconds of a historic local
    // mean time are dropped.
    const char sign = utcOffsetSeconds < 0 ? '-' : '+';
    const long minutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, sign, minutes / 60, minutes % 60);
    return text;
}

std::string LocalTimeNow() {
    std::tm local{};
    std::tm utc{};
    CivilTimes(std::time(nullptr), local, utc);
    return IsoLocalTime(local, UtcOffsetSeconds(local, utc));
}

std::string EndOfLine(std::string_view tail) {
    if (tail.empty())
        return {};
    // Quotes come in pairs on a line of whole fields; an odd count is a
    // quoted field cut short, which would take the rows after it in.
    if (std::count(tail.begin(), tail.end(), '"') % 2 != 0)
        return "\"\r\n";
    return tail.back() == '\r' ? "\n" : "\r\n";
}

std::string RowSeparator(ILogFile& file, std::uint64_t size) {
    if (size == 0)
        return {};
    std::string last(1, '\0');
    if (!file.ReadAt(size - 1, last) || last[0] == '\n')
        return {};
    // A row is some hundred bytes; a last line longer than this is no cut-short
    // row, and a guess about its quotes from its end does no harm.
    constexpr std::uint64_t Window = 64 * 1024;
    const std::uint64_t window = std::min(size, Window);
    std::string tail(static_cast<std::size_t>(window), '\0');
    if (!file.ReadAt(size - window, tail))
        return EndOfLine(last);
    const std::size_t lf = tail.rfind('\n');
    return EndOfLine(std::string_view(tail).substr(lf == std::string::npos ? 0 : lf + 1));
}

bool WriteWhole(ILogFile& file, std::string_view text, bool locked, std::uint64_t sizeBefore,
                std::string& reason) {
    std::size_t done = 0;
    std::string why;
    while (done < text.size()) {
        const std::size_t n = file.Append(text.substr(done), why);
        done += n;
        if (n == 0 || !why.empty() || (done < text.size() && !locked))
            break;
    }
    if (done == text.size())
        return true;
    const std::string counts = std::to_string(done) + " of " + std::to_string(text.size());
    reason = why.empty() ? "only " + counts + " bytes written (is the disk full?)" : why;
    if (done == 0)
        return false;
    if (!why.empty())
        reason += " after " + counts + " bytes";
    if (!locked) {
        // Another appender may have written after them: only the next
        // holder of the lock can end them (RowSeparator).
        reason += "; they stay until the next row ends their line";
        return false;
    }
    // Lock-less appenders may have added rows after the part (a rare
    // stalled holder): the part is cut off only when the file ends with it.
    std::uint64_t now = 0;
    std::string cutWhy;
    if (!file.Size(now) || now != sizeBefore + done)
        reason += "; they stay, with rows after them, and the next row ends their line";
    else if (!file.CutBack(sizeBefore, cutWhy))
        reason +=
            "; they stay (cannot cut them off: " + cutWhy + "), and the next row ends their line";
    else
        reason += ", which were taken back";
    return false;
}

std::string WriteError(const std::string& path, const std::string& reason) {
    return "cannot write the audit log " + path + ": " + reason;
}

std::string NotRegularError(const std::string& path, const std::string& what) {
    return WriteError(path, "it is " + what + ", not a regular file");
}

std::string RotateError(const std::string& path, const std::string& rotatedPath,
                        const std::string& reason) {
    return "cannot rotate the audit log " + path + " to " + rotatedPath + ": " + reason +
           "; the rows go on into " + path;
}

std::string AsClause(std::string message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    // Only a capital followed by a small letter: "I/O error" stays as it is.
    if (message.size() > 1 && std::isupper(static_cast<unsigned char>(message[0])) &&
        std::islower(static_cast<unsigned char>(message[1])))
        message[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(message[0])));
    return message;
}

namespace {

// Namespace-scope atomics: constant-initialized and never destroyed, so a
// writer left running at exit (a TAuditQueue's) may still read them.
std::atomic<std::int64_t> DiskSpaceFault{-1};
std::atomic<bool> CutBackFault{false};

} // namespace

void SetFileFaults(const TFileFaults& faults) {
    DiskSpaceFault = faults.DiskSpace;
    CutBackFault = faults.CutBackFails;
}

std::size_t WritableBytes(std::size_t wanted) {
    std::int64_t space = DiskSpaceFault.load();
    for (;;) {
        if (space < 0)
            return wanted;
        const std::int64_t take = std::min(space, static_cast<std::int64_t>(wanted));
        if (DiskSpaceFault.compare_exchange_weak(space, space - take))
            return static_cast<std::size_t>(take);
    }
}

bool CutBackFails() {
    return CutBackFault;
}

} // namespace detail

namespace {

// A path from UTF-8 text, whatever the platform's narrow encoding.
std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Join(const std::string& folder, const char* name) {
    if (folder.empty())
        return {};
    const char last = folder.back();
    const char separator = static_cast<char>(std::filesystem::path::preferred_separator);
    if (last == '/' || last == separator)
        return folder + name;
    return folder + separator + name;
}

} // namespace

std::string AuditHeader() {
    return "time,program,user,computer,port,adapter,adapter serial,command,request,tries,"
           "outcome,sign clock,offset s";
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string TextCell(const std::string& text) {
    // OWASP's advice against formula injection: these begin a formula (or,
    // TAB and CR, hide one) in a spreadsheet; the apostrophe makes it text
    // and is not shown.
    const bool formula =
        !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos;
    return CsvField((formula ? "'" : "") + sign::VisibleText(text));
}

std::string AuditRow(const TAuditContext& context, const TAuditRecord& record) {
    // Every text cell, ours too: an outcome carries the port's name and the
    // system's words.
    const std::string* const fields[] = {
        &context.LocalTime, &record.Program,       &context.User,   &context.Computer, &record.Port,
        &record.AdapterId,  &record.AdapterSerial, &record.Command, &record.Request,
    };
    std::string row;
    for (const std::string* field : fields)
        row += TextCell(*field) + ',';
    row += std::to_string(record.Tries) + ',' + TextCell(record.Outcome) + ',' +
           TextCell(record.SignClock) + ',' + sign::OffsetField(record.OffsetSeconds);
    return row;
}

TAuditLog::TAuditLog(std::string folder, std::uint64_t rotateBytes)
    : FFolder(std::move(folder)), FRotateBytes(rotateBytes) {}

bool TAuditLog::Append(const TAuditRecord& record) {
    TAuditContext context;
    try {
        context = CurrentContext();
    } catch (const std::exception&) { // out of memory: the line fails too
    }
    return Append(context, record);
}

bool TAuditLog::Append(const TAuditContext& context, const TAuditRecord& record) {
    const std::lock_guard<std::mutex> lock(FLock);
    // Nothing below throws but for want of memory; a command must not fail
    // for that either.
    try {
        return AppendLocked(context, record);
    } catch (const std::exception& e) {
        FError = std::string("cannot write the audit log: ") + e.what();
        return false;
    }
}

bool TAuditLog::AppendLocked(const TAuditContext& context, const TAuditRecord& record) {
    const std::string line = AuditRow(context, record) + "\r\n";
    if (FFolder.empty()) {
        FError = "cannot write the audit log: no per-user data folder is known";
        return false;
    }
    const std::string path = Join(FFolder, AuditFileName);
    const std::string rotated = Join(FFolder, AuditRotatedName);
    std::string error;
    std::string warning;
    detail::TAppendResult result =
        detail::AppendLine(path, rotated, line, FRotateBytes, error, warning);
    if (result == detail::TAppendResult::NoFolder) {
        // Made at the first append, and again should it have been removed.
        std::error_code ec;
        std::filesystem::create_directories(PathOf(FFolder), ec);
        if (ec) {
            FError = "cannot create the folder of the audit log " + FFolder + ": " +
                     detail::AsClause(ec.message());
            return false;
        }
        result = detail::AppendLine(path, rotated, line, FRotateBytes, error, warning);
    }
    if (!warning.empty() && !FWarningTaken && FWarning.empty())
        FWarning = std::move(warning);
    if (result != detail::TAppendResult::Written) {
        FError = error;
        return false;
    }
    return true;
}

std::string TAuditLog::Path() const {
    return Join(FFolder, AuditFileName);
}

std::string TAuditLog::Error() const {
    const std::lock_guard<std::mutex> lock(FLock);
    return FError;
}

std::string TAuditLog::TakeWarning() {
    const std::lock_guard<std::mutex> lock(FLock);
    if (FWarning.empty())
        return {};
    FWarningTaken = true;
    return std::exchange(FWarning, {});
}

TAuditContext CurrentContext() {
    // Who and where do not change while the program runs; looking them up
    // once keeps a slow user database (LDAP, say) out of every command.
    struct TWho {
        std::string User = detail::LoginName();
        std::string Computer = detail::ComputerName();
    };
    static const TWho who;
    return {detail::LocalTimeNow(), who.User, who.Computer};
}

} // namespace audit
