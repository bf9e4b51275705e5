#pragma once
// What the audit log's tests share: reading its CSV back as an RFC 4180
// reader does, the file's text, and the row a command writes.

#include "sign/AuditLog.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace rc_test {

using TRows = std::vector<std::vector<std::string>>;

// Reads RFC 4180 text in which every record ends with CR LF; false on
// anything else (a stray quote, a bare LF, a last line without its end).
inline bool ParseCsv(std::string_view text, TRows& rows) {
    rows.clear();
    std::vector<std::string> row;
    std::string field;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size())
                    return false;
                if (text[i] == '"' && (i + 1 >= text.size() || text[i + 1] != '"'))
                    break;
                if (text[i] == '"')
                    ++i;
                field += text[i];
            }
            ++i;
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n' &&
                   text[i] != '"')
                field += text[i++];
        }
        row.push_back(std::move(field));
        field.clear();
        if (text.substr(i, 1) == ",") {
            ++i;
        } else if (text.substr(i, 2) == "\r\n") {
            i += 2;
            rows.push_back(std::move(row));
            row.clear();
        } else {
            return false;
        }
    }
    return row.empty();
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteText(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline const std::vector<std::string> HeaderFields = {
    "time",    "program", "user",  "computer", "port",       "adapter",  "adapter serial",
    "command", "request", "tries", "outcome",  "sign clock", "offset s",
};

inline const audit::TAuditContext Context = {"2026-12-09T08:15:02+01:00", "anna", "OFFICE-7"};

// A Read Time on `port` that the sign answered.
inline audit::TAuditRecord ReadTime(const std::string& port) {
    audit::TAuditRecord r;
    r.Program = "radar-sign";
    r.Port = port;
    r.AdapterId = "0403:6001";
    r.AdapterSerial = "A10K3XYZ";
    r.Command = "read-time";
    r.Request = "F7 8C 8D 8A 03 7F";
    r.Tries = 1;
    r.Outcome = "ok";
    r.SignClock = "2026-12-09T08:15:07";
    r.OffsetSeconds = 5;
    return r;
}

// The header row and the row of ReadTime(port) in Context, each with its
// line end.
inline std::string HeaderLine() {
    return audit::AuditHeader() + "\r\n";
}
inline std::string Line(const std::string& port) {
    return audit::AuditRow(Context, ReadTime(port)) + "\r\n";
}

} // namespace rc_test
