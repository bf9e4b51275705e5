// The audit log where the file system is not as it should be: something
// other than a file of its own at its path, a disk that fills up in the
// middle of a row (made by the fault seam of AuditLogFile.h), a last line
// left without its end.
#include "sign/AuditLog.h"
#include "sign/AuditLogFile.h"

#include "tests/sign/AuditLogFixtures.h"
#include "tests/sign/AuditLogRows.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace audit;
using namespace rc_test;

namespace {

// The fault seam set for one test, cleared at its end whatever happens.
class TFaults {
public:
    explicit TFaults(const detail::TFileFaults& faults) { detail::SetFileFaults(faults); }
    ~TFaults() { detail::SetFileFaults({}); }
    TFaults(const TFaults&) = delete;
    TFaults& operator=(const TFaults&) = delete;
};

std::vector<std::string> NamesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A link, a FIFO, a device, a folder: refused at once with what it is, the
// thing left as it was, nothing sent to it or to what it points to, and the
// log still refusing it at the next row.
TEST(AuditLogFaults, WhatIsNotAFileOfTheLogsOwnIsRefusedAndLeftAlone) {
    using TMake = decltype(TNotALog::Make);
    std::vector<TNotALog> rows = {
        {"a folder", "a folder",
         TMake([](const fs::path& tmp, const fs::path&, std::unique_ptr<TKept>&, std::string&) {
             fs::create_directory(tmp / "audit.csv");
             return tmp.string();
         })},
        // Another name of a file elsewhere: a hard link would make the log
        // append to a file the user chose.
        {"a hard link", "a hard link (the file has 2 names)",
         TMake([](const fs::path& tmp, const fs::path& elsewhere, std::unique_ptr<TKept>&,
                  std::string&) {
             fs::create_hard_link(elsewhere / "target.csv", tmp / "audit.csv");
             return tmp.string();
         })},
    };
    for (TNotALog& row : PlatformNotALogs())
        rows.push_back(std::move(row));
    for (const TNotALog& row : rows) {
        SCOPED_TRACE(row.Name);
        TempDir tmp;
        const fs::path folder = tmp.Path() / "log";
        const fs::path elsewhere = tmp.Path() / "elsewhere";
        fs::create_directory(folder);
        fs::create_directory(elsewhere);
        const std::string target = "not the log's\n";
        WriteText(elsewhere / "target.csv", target);
        std::unique_ptr<TKept> kept;
        std::string skip;
        const std::string logFolder = row.Make(folder, elsewhere, kept, skip);
        if (logFolder.empty()) {
            std::printf("[ SKIPPED  ] %s: %s\n", row.Name.c_str(), skip.c_str());
            continue;
        }
        const std::vector<std::string> names = NamesIn(folder);
        TAuditLog log(logFolder);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_FALSE(log.Append(Context, ReadTime("COM3")));
            EXPECT_EQ(log.Error(), "cannot write the audit log " + log.Path() + ": it is " +
                                       row.What + ", not a regular file");
        }
        EXPECT_EQ(NamesIn(folder), names);
        EXPECT_EQ(NamesIn(elsewhere), std::vector<std::string>{"target.csv"});
        EXPECT_EQ(ReadText(elsewhere / "target.csv"), target);
        if (kept) {
            EXPECT_EQ(kept->Received(), "");
        }
    }
}

// A disk that fills up in the middle of a row, under the lock: the part
// written is taken back, so the file holds whole rows only, and once there
// is room again the next row follows them as if nothing had happened. Each
// row: the bytes the disk still takes, counted from the row's first byte.
TEST(AuditLogFaults, ARowTheDiskCutsShortIsTakenBack) {
    struct Row {
        const char* name;
        bool emptyFile; // the row would be the file's first, after its header
        std::int64_t space;
    };
    const Row rows[] = {
        {"no room at all", false, 0},
        {"room for 40 bytes", false, 40},
        {"room for all but the line end", false,
         static_cast<std::int64_t>(Line("COM2").size()) - 1},
        {"a new file, room for part of the header", true, 10},
        {"a new file, room for the header alone", true,
         static_cast<std::int64_t>(HeaderLine().size())},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir tmp;
        TAuditLog log(tmp.Path().string());
        std::string before;
        if (!row.emptyFile) {
            ASSERT_TRUE(log.Append(Context, ReadTime("COM1"))) << log.Error();
            before = HeaderLine() + Line("COM1");
        } else {
            WriteText(log.Path(), "");
        }
        {
            const TFaults full({row.space, false});
            EXPECT_FALSE(log.Append(Context, ReadTime("COM2")));
        }
        const std::string error = log.Error();
        EXPECT_EQ(error.rfind("cannot write the audit log " + log.Path() + ": ", 0), 0u) << error;
        if (row.space > 0) {
            EXPECT_NE(error.find(" after " + std::to_string(row.space) + " of "), std::string::npos)
                << error;
        }
        EXPECT_EQ(ReadText(log.Path()), before);

        ASSERT_TRUE(log.Append(Context, ReadTime("COM3"))) << log.Error();
        EXPECT_EQ(ReadText(log.Path()), (before.empty() ? HeaderLine() : before) + Line("COM3"));
    }
}

// A part that stays (it could not be cut off; or it was written without the
// lock, behind a stalled holder, where cutting it off could take another's
// row with it) is ended by the next row written under the lock: it stays a
// broken row of its own, and the rows after it are whole.
TEST(AuditLogFaults, APartThatStaysIsEndedBeforeTheNextRow) {
    struct Row {
        const char* name;
        bool cutBackFails;
        bool stalledHolder;
        std::int64_t space;
        std::string ending; // what the next row adds before itself
    };
    // The row's cells: time,program,user,computer,port,... ; the port's
    // quote, when it has a comma in it, is the 52nd byte.
    const std::string plain = "COM2";
    const Row rows[] = {
        {"the cut-back fails", true, false, 40, "\r\n"},
        {"written without the lock", false, true, 40, "\r\n"},
        {"cut inside a quoted field", true, false, 55, "\"\r\n"},
        {"cut after the CR", true, false, static_cast<std::int64_t>(Line("COM2,5").size()) - 1,
         "\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir tmp;
        TAuditLog log(tmp.Path().string());
        ASSERT_TRUE(log.Append(Context, ReadTime("COM1"))) << log.Error();
        const std::string port = row.ending == "\r\n" ? plain : "COM2,5";
        {
            std::unique_ptr<TAuditLockHolder> stalled;
            if (row.stalledHolder)
                stalled = std::make_unique<TAuditLockHolder>(log.Path());
            const TFaults full({row.space, row.cutBackFails});
            EXPECT_FALSE(log.Append(Context, ReadTime(port)));
        }
        EXPECT_NE(log.Error().find("the next row ends their line"), std::string::npos)
            << log.Error();
        const std::string part = Line(port).substr(0, static_cast<std::size_t>(row.space));
        EXPECT_EQ(ReadText(log.Path()), HeaderLine() + Line("COM1") + part);

        ASSERT_TRUE(log.Append(Context, ReadTime("COM3"))) << log.Error();
        EXPECT_EQ(ReadText(log.Path()),
                  HeaderLine() + Line("COM1") + part + row.ending + Line("COM3"));
        TRows read;
        ASSERT_TRUE(ParseCsv(ReadText(log.Path()), read));
        ASSERT_EQ(read.size(), 4u);
        EXPECT_EQ(read[1][4], "COM1");
        EXPECT_EQ(read[3][4], "COM3");
        EXPECT_EQ(read[3].size(), HeaderFields.size());
    }
}

// A file whose last line has no end (a crash in the middle of a write, an
// editor that saves without one): the row goes on a line of its own, and a
// quoted field left open is closed so that it does not take the rows after
// it in.
TEST(AuditLogFaults, ALastLineWithoutItsEndIsEndedBeforeTheRow) {
    struct Row {
        const char* name;
        std::string file;   // after the header
        std::string ending; // what the row adds before itself
    };
    const Row rows[] = {
        {"whole rows", Line("COM1"), ""},
        {"a row cut short", Line("COM1").substr(0, 50), "\r\n"},
        {"a row cut after its CR", Line("COM1").substr(0, Line("COM1").size() - 1), "\n"},
        {"a quoted field left open", "2026-12-09T08:15:02+01:00,radar-sign,anna,\"OFF", "\"\r\n"},
        {"a doubled quote left open", "x,\"say \"\"", "\"\r\n"},
        {"quotes closed", "x,\"a,b\",y", "\r\n"},
        {"a line ended by LF alone", "x,y\n", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir tmp;
        TAuditLog log(tmp.Path().string());
        WriteText(log.Path(), HeaderLine() + row.file);
        ASSERT_TRUE(log.Append(Context, ReadTime("COM3"))) << log.Error();
        EXPECT_EQ(ReadText(log.Path()), HeaderLine() + row.file + row.ending + Line("COM3"));
    }
    // A last line longer than the 64 KiB read back is ended all the same.
    TempDir tmp;
    TAuditLog log(tmp.Path().string());
    const std::string longLine = "x," + std::string(70 * 1024, 'y');
    WriteText(log.Path(), HeaderLine() + longLine);
    ASSERT_TRUE(log.Append(Context, ReadTime("COM3"))) << log.Error();
    EXPECT_EQ(ReadText(log.Path()), HeaderLine() + longLine + "\r\n" + Line("COM3"));
}

} // namespace
