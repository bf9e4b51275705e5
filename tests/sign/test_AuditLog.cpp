// The audit log: its rows read back by an RFC 4180 reader, the local time
// with its offset, appending in a real folder, rotation, and several programs
// and threads appending and rotating at once without losing or tearing lines.
#include "sign/AuditLog.h"
#include "sign/AuditLogFile.h"

#include "tests/sign/AuditLogFixtures.h"
#include "tests/sign/AuditLogRows.h"
#include "tests/sign/SettingsFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace audit;
using namespace rc_test;

namespace {

std::tm Tm(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(AuditLog, FieldsAreQuotedOnlyWhenTheyMustBe) {
    struct Row {
        const char* name;
        std::string text;
        std::string written;
    };
    const Row rows[] = {
        {"plain", "ttyUSB0", "ttyUSB0"},
        {"empty", "", ""},
        {"comma", "no answer, 3 tries", "\"no answer, 3 tries\""},
        {"quote", "port \"COM3\" busy", "\"port \"\"COM3\"\" busy\""},
        {"only a quote", "\"", "\"\"\"\""},
        {"CR LF", "line 1\r\nline 2", "\"line 1\r\nline 2\""},
        {"bare LF", "a\nb", "\"a\nb\""},
        {"bare CR", "a\rb", "\"a\rb\""},
        {"spaces kept", " COM3 ", " COM3 "},
        {"UTF-8 as it is", "Zürich Süd – Tor 3", "Zürich Süd – Tor 3"},
        {"UTF-8 with a comma", "Straße 5, Wien", "\"Straße 5, Wien\""},
        // Quoting alone leaves it: TextCell is what makes a cell inert.
        {"a leading equals sign", "=ttyS1", "=ttyS1"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(CsvField(row.text), row.written);
        TRows read;
        ASSERT_TRUE(ParseCsv(CsvField(row.text) + "\r\n", read));
        EXPECT_EQ(read, TRows{{row.text}});
    }
}

// What a spreadsheet would run or a reader would not see is made inert and
// visible in every text cell, whoever fills it (the device gives the
// adapter's strings; the system the user's and computer's names); numbers
// stay numbers. Each row: the column changed, the text given, the cell as
// written and as an RFC 4180 reader reads it back.
TEST(AuditLog, TextCellsAreMadeInertAndVisibleNumbersStayNumbers) {
    struct Row {
        const char* name;
        std::size_t column;
        std::string given;
        std::string written;
        std::string read;
    };
    const Row rows[] = {
        {"a formula as the port", 4, "=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0",
         "'=cmd|' /C calc'!A0"},
        {"plus", 5, "+1+1", "'+1+1", "'+1+1"},
        {"minus", 6, "-2+3", "'-2+3", "'-2+3"},
        {"at", 2, "@SUM(A1)", "'@SUM(A1)", "'@SUM(A1)"},
        {"a leading TAB", 3, "\t=1", "'\\x09=1", "'\\x09=1"},
        {"a leading CR", 4, "\r=1", "'\\x0D=1", "'\\x0D=1"},
        {"a formula with a quote and a comma", 6, "=HYPERLINK(\"http://x\",\"y\")",
         "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\"", "'=HYPERLINK(\"http://x\",\"y\")"},
        {"an equals sign inside", 4, "COM=3", "COM=3", "COM=3"},
        {"a line break inside", 10, "no\r\nanswer", "no\\x0D\\x0Aanswer", "no\\x0D\\x0Aanswer"},
        {"invalid UTF-8", 6, "A1\xFF\xC3", "A1\\xFF\\xC3", "A1\\xFF\\xC3"},
        {"a right-to-left override", 3, "PC\u202Eexe.txt", "PC\\u202Eexe.txt", "PC\\u202Eexe.txt"},
        {"a formula behind a bidirectional control", 4, "\u200E=1+1", "\\u200E=1+1", "\\u200E=1+1"},
        {"an escape sequence", 2, "anna\x1B[2J", "anna\\x1B[2J", "anna\\x1B[2J"},
        {"UTF-8 kept", 3, "Büro-Süd", "Büro-Süd", "Büro-Süd"},
        {"a formula in our own outcome", 10, "-no answer", "'-no answer", "'-no answer"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TAuditContext context = Context;
        TAuditRecord record = ReadTime("COM3");
        std::string* const cells[] = {&context.LocalTime,   &record.Program, &context.User,
                                      &context.Computer,    &record.Port,    &record.AdapterId,
                                      &record.AdapterSerial};
        if (row.column < std::size(cells))
            *cells[row.column] = row.given;
        else
            record.Outcome = row.given;
        EXPECT_EQ(TextCell(row.given), row.written);
        TRows read;
        ASSERT_TRUE(ParseCsv(AuditRow(context, record) + "\r\n", read));
        ASSERT_EQ(read.size(), 1u);
        ASSERT_EQ(read[0].size(), HeaderFields.size());
        EXPECT_EQ(read[0][row.column], row.read);
    }
    // The offset's sign is a number's, and the tries a number.
    TAuditRecord behind = ReadTime("COM3");
    behind.OffsetSeconds = -133;
    behind.Tries = 3;
    const std::string row = AuditRow(Context, behind);
    const std::string end = ",3,ok,2026-12-09T08:15:07,-133";
    EXPECT_EQ(row.substr(row.size() - end.size()), end);
}

TEST(AuditLog, RowsHaveTheHeadersColumnsInOrder) {
    TRows header;
    ASSERT_TRUE(ParseCsv(AuditHeader() + "\r\n", header));
    EXPECT_EQ(header, TRows{HeaderFields});

    EXPECT_EQ(AuditRow(Context, ReadTime("ttyUSB0")),
              "2026-12-09T08:15:02+01:00,radar-sign,anna,OFFICE-7,ttyUSB0,0403:6001,A10K3XYZ,"
              "read-time,F7 8C 8D 8A 03 7F,1,ok,2026-12-09T08:15:07,+5");

    struct Row {
        const char* name;
        void (*change)(TAuditRecord&);
        std::size_t column;
        std::string read;
    };
    const Row rows[] = {
        {"sign ahead", [](TAuditRecord& r) { r.OffsetSeconds = 5; }, 12, "+5"},
        {"sign behind", [](TAuditRecord& r) { r.OffsetSeconds = -133; }, 12, "-133"},
        {"in step", [](TAuditRecord& r) { r.OffsetSeconds = 0; }, 12, "0"},
        {"years off", [](TAuditRecord& r) { r.OffsetSeconds = -3'000'000'000LL; }, 12,
         "-3000000000"},
        {"no offset", [](TAuditRecord& r) { r.OffsetSeconds.reset(); }, 12, ""},
        {"several tries", [](TAuditRecord& r) { r.Tries = 3; }, 9, "3"},
        {"no adapter known", [](TAuditRecord& r) { r.AdapterId.clear(); }, 5, ""},
        {"an outcome in a sentence",
         [](TAuditRecord& r) { r.Outcome = "cannot open COM3: \"access denied\", in use"; }, 10,
         "cannot open COM3: \"access denied\", in use"},
        {"a Windows port path", [](TAuditRecord& r) { r.Port = "\\\\.\\COM12"; }, 4,
         "\\\\.\\COM12"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TAuditRecord record = ReadTime("COM3");
        row.change(record);
        TRows read;
        ASSERT_TRUE(ParseCsv(AuditRow(Context, record) + "\r\n", read));
        ASSERT_EQ(read.size(), 1u);
        ASSERT_EQ(read[0].size(), HeaderFields.size());
        EXPECT_EQ(read[0][row.column], row.read);
    }
}

TEST(AuditLog, LocalTimeCarriesItsOffsetFromUtc) {
    struct Row {
        const char* name;
        std::tm local;
        std::tm utc;
        long offset;
        const char* written;
    };
    const Row rows[] = {
        {"Vienna in winter", Tm(2026, 12, 9, 8, 15, 2), Tm(2026, 12, 9, 7, 15, 2), 3600,
         "2026-12-09T08:15:02+01:00"},
        {"UTC", Tm(2026, 1, 1, 0, 0, 0), Tm(2026, 1, 1, 0, 0, 0), 0, "2026-01-01T00:00:00+00:00"},
        {"behind, across midnight", Tm(2026, 12, 8, 20, 45, 30), Tm(2026, 12, 9, 0, 15, 30), -12600,
         "2026-12-08T20:45:30-03:30"},
        {"ahead, across the year's end", Tm(2027, 1, 1, 5, 45, 0), Tm(2027, 1, 1, 0, 0, 0), 20700,
         "2027-01-01T05:45:00+05:45"},
        {"ahead, the UTC day before", Tm(2027, 1, 1, 0, 30, 0), Tm(2026, 12, 31, 23, 30, 0), 3600,
         "2027-01-01T00:30:00+01:00"},
        {"a leap day", Tm(2028, 3, 1, 13, 0, 0), Tm(2028, 2, 29, 23, 0, 0), 50400,
         "2028-03-01T13:00:00+14:00"},
        {"far behind", Tm(2026, 1, 1, 1, 0, 0), Tm(2026, 1, 1, 13, 0, 0), -43200,
         "2026-01-01T01:00:00-12:00"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const long offset = detail::UtcOffsetSeconds(row.local, row.utc);
        EXPECT_EQ(offset, row.offset);
        EXPECT_EQ(detail::IsoLocalTime(row.local, offset), row.written);
    }
}

// The context now: its time, read back through its offset, is the UTC time
// of the call, whatever zone this machine is in.
TEST(AuditLog, CurrentContextIsNowHereAndBySomeone) {
    const std::time_t before = std::time(nullptr);
    const TAuditContext context = CurrentContext();
    const std::time_t after = std::time(nullptr);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(context.LocalTime, m,
                                 std::regex(R"((\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d))"
                                            R"(([+-])(\d\d):(\d\d))")))
        << context.LocalTime;
    const std::tm local = Tm(std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                             std::stoi(m[5]), std::stoi(m[6]));
    const long offset = (m[7] == "-" ? -1 : 1) * (std::stol(m[8]) * 3600 + std::stol(m[9]) * 60);
    const long utcSeconds = detail::UtcOffsetSeconds(local, Tm(1970, 1, 1, 0, 0, 0)) - offset;
    EXPECT_GE(utcSeconds, static_cast<long>(before));
    EXPECT_LE(utcSeconds, static_cast<long>(after));
    EXPECT_FALSE(context.User.empty());
    EXPECT_FALSE(context.Computer.empty());
}

TEST(AuditLog, FirstAppendMakesTheFolderAndTheHeaderLaterOnesAddALine) {
    TempDir tmp;
    const fs::path folder = tmp.Path() / "data" / "radar-configurator";
    TAuditLog log(folder.string());
    EXPECT_EQ(fs::path(log.Path()), folder / "audit.csv");

    ASSERT_TRUE(log.Append(Context, ReadTime("ttyUSB0"))) << log.Error();
    const std::string first =
        AuditHeader() + "\r\n" + AuditRow(Context, ReadTime("ttyUSB0")) + "\r\n";
    EXPECT_EQ(ReadText(log.Path()), first);

    ASSERT_TRUE(log.Append(Context, ReadTime("ttyUSB1"))) << log.Error();
    EXPECT_EQ(ReadText(log.Path()), first + AuditRow(Context, ReadTime("ttyUSB1")) + "\r\n");
    // Another log of the same folder, as another program has it, appends
    // after them, with its own context.
    TAuditLog other(folder.string());
    ASSERT_TRUE(other.Append(ReadTime("COM3"))) << other.Error();
    TRows rows;
    ASSERT_TRUE(ParseCsv(ReadText(log.Path()), rows));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3][4], "COM3");
    EXPECT_EQ(rows[3][2], CurrentContext().User);
    EXPECT_EQ(rows[0], HeaderFields);
    EXPECT_EQ(tmp.Names(), std::vector<std::string>{"data"});
    EXPECT_EQ(log.Error(), "");

    // A folder removed since is made again, the file begun again.
    fs::remove_all(tmp.Path() / "data");
    ASSERT_TRUE(log.Append(Context, ReadTime("ttyUSB0"))) << log.Error();
    EXPECT_EQ(ReadText(log.Path()), first);
}

TEST(AuditLog, AnUnwritableLogAnswersFalseWithTheReason) {
    TempDir tmp;
    rc_test::WriteFile(tmp / "file", {'x'});
    fs::create_directories(tmp.Path() / "taken" / "audit.csv");
    struct Row {
        const char* name;
        std::string folder;
        std::string says; // a part of Error()
    };
    const Row rows[] = {
        {"no per-user folder", "", "no per-user data folder"},
        {"a folder under a file", (tmp.Path() / "file" / "sub").string(),
         (tmp.Path() / "file").string()},
        {"the log's name taken by a folder", tmp / "taken",
         (tmp.Path() / "taken" / "audit.csv").string()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TAuditLog log(row.folder);
        EXPECT_FALSE(log.Append(Context, ReadTime("COM3")));
        EXPECT_NE(log.Error().find(row.says), std::string::npos) << log.Error();
        // The reason is the system's, in words after the path.
        EXPECT_NE(log.Error().find(": "), std::string::npos) << log.Error();
        EXPECT_FALSE(log.Append(ReadTime("COM3")));
    }
    EXPECT_EQ(ReadText(tmp / "file"), "x");
}

TEST(AuditLog, AFullLogIsRenamedWholeAndANewOneBegun) {
    TempDir tmp;
    const auto line = [](int n) {
        return AuditRow(Context, ReadTime("COM" + std::to_string(n))) + "\r\n";
    };
    const std::string header = AuditHeader() + "\r\n";
    // Full with the header and two lines (every line is as long).
    TAuditLog log(tmp.Path().string(), header.size() + 2 * line(1).size());
    const fs::path current = tmp.Path() / "audit.csv";
    const fs::path rotated = tmp.Path() / "audit.1.csv";
    const auto append = [&](int n) {
        ASSERT_TRUE(log.Append(Context, ReadTime("COM" + std::to_string(n)))) << log.Error();
    };

    append(1);
    append(2);
    EXPECT_FALSE(fs::exists(rotated)); // at the size, not past it yet
    append(3);
    EXPECT_EQ(ReadText(rotated), header + line(1) + line(2));
    EXPECT_EQ(ReadText(current), header + line(3));
    append(4);
    append(5);
    EXPECT_EQ(ReadText(rotated), header + line(3) + line(4)); // replaced
    EXPECT_EQ(ReadText(current), header + line(5));

    EXPECT_EQ(log.TakeWarning(), "");

    // A rotation that cannot be done keeps the line in the current file,
    // and is said once.
    fs::remove(rotated);
    fs::create_directory(rotated);
    append(6);
    EXPECT_EQ(log.TakeWarning(), ""); // not full yet
    append(7);
    const std::string warning = log.TakeWarning();
    EXPECT_EQ(warning.rfind("cannot rotate the audit log " + current.string() + " to " +
                                rotated.string() + ": ",
                            0),
              0u)
        << warning;
    append(8);
    EXPECT_EQ(ReadText(current), header + line(5) + line(6) + line(7) + line(8));
    EXPECT_EQ(log.TakeWarning(), "");
    EXPECT_EQ(log.Error(), "");
}

// A writer stalled with the lock (stopped in a debugger, say) neither stops
// the others nor costs them their lines: they append without the rotation.
TEST(AuditLog, ALockNotHadInTimeStillLetsTheLineIn) {
    TempDir tmp;
    TAuditLog log(tmp.Path().string(), 1);
    ASSERT_TRUE(log.Append(Context, ReadTime("COM1"))) << log.Error();
    {
        const rc_test::TAuditLockHolder stalled(log.Path());
        ASSERT_TRUE(log.Append(Context, ReadTime("COM2"))) << log.Error();
    }
    const std::string header = AuditHeader() + "\r\n";
    const auto line = [](const char* port) { return AuditRow(Context, ReadTime(port)) + "\r\n"; };
    EXPECT_EQ(ReadText(log.Path()), header + line("COM1") + line("COM2"));
    EXPECT_FALSE(fs::exists(tmp.Path() / AuditRotatedName));
    ASSERT_TRUE(log.Append(Context, ReadTime("COM3"))) << log.Error(); // the lock had: rotated
    EXPECT_EQ(ReadText(tmp.Path() / AuditRotatedName), header + line("COM1") + line("COM2"));
}

// Several writers at once: the lines are long (a torn or interleaved write
// shows as a row that does not parse or holds another's text), with commas
// and quotes so that every one is quoted.
constexpr int LinesPerWriter = 500;
constexpr const char* ChildVariable = "RC_AUDIT_TEST_CHILD";

std::string LongField(int writer, int line) {
    std::string text;
    const std::string piece = "w" + std::to_string(writer) + ",l" + std::to_string(line) + "\"";
    while (text.size() < 3000)
        text += piece;
    return text;
}

// A writer's lines, a millisecond apart (a program appends one per command,
// far less often): back to back, eight programs under Wine, whose lock calls
// go through its server, keep the lock busy past its bound, and Wine does
// not keep appends made without the lock whole. Empty, or why an append
// failed.
std::string AppendLines(TAuditLog& log, int writer) {
    for (int line = 0; line < LinesPerWriter; ++line) {
        TAuditRecord r = ReadTime(std::to_string(writer));
        r.Tries = line;
        r.Request = LongField(writer, line);
        if (!log.Append(r))
            return log.Error();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
}

// A copy of this program started by RunCopiesOfThisProgram with
// "<folder>|<rotate bytes>|<writer>" appends its lines and ends before any
// test runs.
const int ChildRun = [] {
    const char* spec = std::getenv(ChildVariable);
    if (spec == nullptr)
        return 0;
    const std::string text = spec;
    const std::size_t a = text.find('|');
    const std::size_t b = text.find('|', a + 1);
    TAuditLog log(text.substr(0, a), std::stoull(text.substr(a + 1, b - a - 1)));
    std::exit(AppendLines(log, std::stoi(text.substr(b + 1))).empty() ? 0 : 2);
}();

// Reads audit.1.csv (when there) then audit.csv: each with one header, at
// the top; every row whole; each writer's lines in the order written, none
// twice. Answers the number of lines.
int CheckLogs(const fs::path& folder, int writers) {
    std::map<int, int> next; // writer -> the least line still to come
    int count = 0;
    for (const char* name : {AuditRotatedName, AuditFileName}) {
        SCOPED_TRACE(name);
        if (!fs::exists(folder / name))
            continue;
        TRows rows;
        EXPECT_TRUE(ParseCsv(ReadText(folder / name), rows)) << "a torn or interleaved line";
        EXPECT_FALSE(rows.empty());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::vector<std::string>& row = rows[i];
            if (row == HeaderFields) {
                EXPECT_EQ(i, 0u) << "a header after the first line";
                continue;
            }
            EXPECT_NE(i, 0u) << "no header at the top";
            if (row.size() != HeaderFields.size()) {
                ADD_FAILURE() << "a row of " << row.size() << " fields";
                continue;
            }
            const int writer = std::stoi(row[4]);
            const int line = std::stoi(row[9]);
            EXPECT_TRUE(writer >= 0 && writer < writers) << row[4];
            EXPECT_EQ(row[8], LongField(writer, line));
            EXPECT_GE(line, next[writer])
                << "writer " << writer << ": a line twice or out of order";
            next[writer] = line + 1;
            ++count;
        }
    }
    return count;
}

struct TConcurrency {
    const char* name;
    bool programs;  // copies of this program; else threads of this one
    bool sharedLog; // threads: one TAuditLog; else one each
    std::uint64_t rotateBytes;
};

class AuditLogConcurrency : public testing::TestWithParam<TConcurrency> {};

TEST_P(AuditLogConcurrency, LinesStayWholeAndNoneIsLostOrWrittenTwice) {
    const TConcurrency& c = GetParam();
    TempDir tmp;
    const std::string folder = tmp / "log";
    const int writers = c.programs ? 8 : 4;
    // Watched while they write: what is renamed to audit.1.csv is a full
    // file, never one that another writer has just begun.
    std::atomic<bool> done{false};
    std::uintmax_t smallestRotated = UINTMAX_MAX;
    std::thread watcher([&] {
        while (c.rotateBytes > 0 && !done) {
            std::error_code ec;
            const std::uintmax_t size = fs::file_size(fs::path(folder) / AuditRotatedName, ec);
            if (!ec)
                smallestRotated = std::min(smallestRotated, size);
            std::this_thread::yield();
        }
    });
    if (c.programs) {
        std::vector<std::string> specs;
        for (int w = 0; w < writers; ++w)
            specs.push_back(folder + "|" + std::to_string(c.rotateBytes) + "|" + std::to_string(w));
        EXPECT_EQ(rc_test::RunCopiesOfThisProgram(ChildVariable, specs),
                  std::vector<int>(specs.size(), 0));
    } else {
        TAuditLog shared(folder, c.rotateBytes);
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w)
            threads.emplace_back([&, w] {
                TAuditLog own(folder, c.rotateBytes);
                EXPECT_EQ(AppendLines(c.sharedLog ? shared : own, w), "");
            });
        for (std::thread& t : threads)
            t.join();
    }
    done = true;
    watcher.join();
    const int count = CheckLogs(folder, writers);
    if (c.rotateBytes == 0) {
        EXPECT_EQ(count, writers * LinesPerWriter);
        EXPECT_FALSE(fs::exists(fs::path(folder) / AuditRotatedName));
        return;
    }
    // Rotated only when full, each file once: the renamed one at or just
    // past the size, the current one below it but for its last line.
    const std::uint64_t longest = 4096;
    const auto rotated = fs::file_size(fs::path(folder) / AuditRotatedName);
    EXPECT_GE(smallestRotated, c.rotateBytes);
    EXPECT_LT(rotated, c.rotateBytes + longest);
    EXPECT_LT(fs::file_size(fs::path(folder) / AuditFileName), c.rotateBytes + longest);
}

INSTANTIATE_TEST_SUITE_P(
    AuditLog, AuditLogConcurrency,
    testing::Values(TConcurrency{"programs", true, false, 0},
                    TConcurrency{"programs_rotating", true, false, 32 * 1024},
                    TConcurrency{"threads_one_log", false, true, 0},
                    TConcurrency{"threads_a_log_each_rotating", false, false, 32 * 1024}),
    [](const testing::TestParamInfo<TConcurrency>& row) { return std::string(row.param.name); });

} // namespace
