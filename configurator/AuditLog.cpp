// The audit log's rows and the part of appending that is the same on every
// platform; the file work is in PosixAuditLog.cpp and Win32AuditLog.cpp.
#include "configurator/AuditLog.h"
#include "configurator/AuditLogFile.h"
#include "configurator/ClockOffset.h"

#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

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

std::string ShortWriteText(std::size_t written, std::size_t total) {
    return "only " + std::to_string(written) + " of " + std::to_string(total) +
           " bytes written (is the disk full?)";
}

std::string WriteError(const std::string& path, const std::string& reason) {
    return "cannot write the audit log " + path + ": " + reason;
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

std::string AuditRow(const TAuditContext& context, const TAuditRecord& record) {
    const std::string offset = sign::OffsetField(record.OffsetSeconds);
    const std::string* const fields[] = {
        &context.LocalTime, &record.Program,       &context.User,   &context.Computer, &record.Port,
        &record.AdapterId,  &record.AdapterSerial, &record.Command, &record.Request,
    };
    std::string row;
    for (const std::string* field : fields)
        row += CsvField(*field) + ',';
    row += std::to_string(record.Tries) + ',' + CsvField(record.Outcome) + ',' +
           CsvField(record.SignClock) + ',' + offset;
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
    detail::TAppendResult result = detail::AppendLine(path, rotated, line, FRotateBytes, error);
    if (result == detail::TAppendResult::NoFolder) {
        // Made at the first append, and again should it have been removed.
        std::error_code ec;
        std::filesystem::create_directories(PathOf(FFolder), ec);
        if (ec) {
            FError = "cannot create the folder of the audit log " + FFolder + ": " +
                     detail::AsClause(ec.message());
            return false;
        }
        result = detail::AppendLine(path, rotated, line, FRotateBytes, error);
    }
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

TAuditContext CurrentContext() {
    // Who and where do not change while the program runs; looking them up
    // once keeps a slow user database (LDAP, say) out of every command.
    struct TWho {
        std::string User = detail::LoginName();
        std::string Computer = detail::ComputerName();
    };
    static const TWho who;
    std::tm local{};
    std::tm utc{};
    detail::CivilTimes(std::time(nullptr), local, utc);
    return {detail::IsoLocalTime(local, detail::UtcOffsetSeconds(local, utc)), who.User,
            who.Computer};
}

} // namespace audit
