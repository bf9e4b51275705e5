// LEDINFO.BIN: byte layout, loading of short/long/odd files, the atomic save
// and the read-only cases.
#include "configurator/SignSettings.h"
#include "tests/configurator/SettingsFiles.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using namespace rc_test;

Bytes Pattern(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + i);
    }
    return b;
}

TSignSettings Sample() {
    TSignSettings s;
    s.PortIndex = -1;
    s.RegularSpeed = 99;
    s.FlashRateIndex = 2;
    s.MorningStartHour = 7;
    s.MorningStartMinute = 30;
    s.MorningEndHour = 9;
    s.MorningEndMinute = 15;
    s.MorningSpeed = 25;
    s.AfternoonStartHour = 14;
    s.AfternoonStartMinute = 45;
    s.AfternoonEndHour = 16;
    s.AfternoonEndMinute = 5;
    s.AfternoonSpeed = 0x7FFFFFFF;
    return s;
}

} // namespace

TEST(SignSettings, DefaultsEncodeToTheKnownFile) {
    const auto bytes = EncodeSignSettings(DefaultSignSettings());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), DefaultFile);
}

TEST(SignSettings, FieldsAreLittleEndianInFileOrder) {
    TSignSettings s;
    s.PortIndex = -1;             // offset 0
    s.RegularSpeed = 0x01020304;  // offset 4
    s.AfternoonSpeed = INT32_MIN; // offset 48
    const auto b = EncodeSignSettings(s);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1}));
    EXPECT_EQ(Bytes(b.begin() + 48, b.end()), (Bytes{0, 0, 0, 0x80}));
    EXPECT_EQ(DecodeSignSettings(b), s);
    EXPECT_EQ(DecodeSignSettings(EncodeSignSettings(Sample())), Sample());
}

// What LoadSignSettingsFile makes of the file at the path, starting from a
// zero record (as the window does) and from a record that already holds values.
TEST(SignSettings, LoadTable) {
    TempDir dir;
    const std::string missing = dir / "LEDINFO.BIN";
    const std::string empty = dir / "empty.bin";
    const std::string ten = dir / "ten.bin";
    const std::string sixty = dir / "sixty.bin";
    const std::string exact = dir / "exact.bin";
    const std::string subdir = dir / "dir.bin";
    WriteFile(empty, {});
    WriteFile(ten, Pattern(10, 0x81));
    WriteFile(sixty, Pattern(60, 1));
    const auto sampleBytes = EncodeSignSettings(Sample());
    const Bytes sample(sampleBytes.begin(), sampleBytes.end());
    WriteFile(exact, sample);
    fs::create_directory(subdir);

    const Bytes zero(52, 0);
    auto splice = [](Bytes base, const Bytes& prefix) {
        std::copy(prefix.begin(), prefix.end(), base.begin());
        return base;
    };
    using R = TSettingsLoadResult;
    struct Row {
        const char* what;
        std::string path;
        Bytes start;
        R result;
        std::size_t read;
        Bytes expected;
    } rows[] = {
        {"no file", missing, zero, R::Defaults, 0, DefaultFile},
        {"no file, record set", missing, sample, R::Defaults, 0, DefaultFile},
        {"empty path", "", sample, R::Defaults, 0, DefaultFile},
        {"directory", subdir, sample, R::Defaults, 0, DefaultFile},
        {"empty file", empty, zero, R::Read, 0, zero},
        {"empty file, record set", empty, sample, R::Read, 0, sample},
        {"10 bytes", ten, zero, R::Read, 10, splice(zero, Pattern(10, 0x81))},
        {"10 bytes, record set", ten, sample, R::Read, 10, splice(sample, Pattern(10, 0x81))},
        {"60 bytes", sixty, sample, R::Read, 52, Pattern(52, 1)},
        {"52 bytes", exact, zero, R::Read, 52, sample},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TSignSettingsBytes start{};
        std::copy(row.start.begin(), row.start.end(), start.begin());
        TSignSettings s = DecodeSignSettings(start);
        std::size_t read = 99;
        EXPECT_EQ(LoadSignSettingsFile(row.path, s, &read), row.result);
        EXPECT_EQ(read, row.read);
        const auto got = EncodeSignSettings(s);
        EXPECT_EQ(Bytes(got.begin(), got.end()), row.expected);
    }
}

TEST(SignSettings, PipeOfThatNameIsNotReadAndDoesNotHang) {
    TempDir dir;
    const std::string fifo = dir / "LEDINFO.BIN";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    TSignSettings s = Sample();
    EXPECT_EQ(LoadSignSettingsFile(fifo, s), TSettingsLoadResult::Unreadable);
    EXPECT_EQ(s, Sample());
    EXPECT_FALSE(SaveSignSettingsFile(fifo, s));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(SignSettings, SaveWritesExactly52Bytes) {
    TempDir dir;
    const std::string path = dir / "LEDINFO.BIN";
    ASSERT_TRUE(SaveSignSettingsFile(path, DefaultSignSettings()));
    EXPECT_EQ(ReadFile(path), DefaultFile);

    WriteFile(path, Pattern(60, 1)); // a longer file is replaced by 52 bytes
    ASSERT_TRUE(SaveSignSettingsFile(path, Sample()));
    TSignSettings back;
    EXPECT_EQ(LoadSignSettingsFile(path, back), TSettingsLoadResult::Read);
    EXPECT_EQ(back, Sample());
    EXPECT_EQ(fs::file_size(path), 52u);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"LEDINFO.BIN"});
}

TEST(SignSettings, SaveInTheWorkingDirectoryWithABareName) {
    TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.Path());
    const bool saved = SaveSignSettingsFile("LEDINFO.BIN", DefaultSignSettings());
    fs::current_path(before);
    EXPECT_TRUE(saved);
    EXPECT_EQ(ReadFile(dir / "LEDINFO.BIN"), DefaultFile);
}

TEST(SignSettings, SaveKeepsPermissionsAndFollowsALink) {
    TempDir dir;
    const std::string real = dir / "real.bin";
    const std::string link = dir / "LEDINFO.BIN";
    WriteFile(real, Pattern(52, 1));
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.bin", link);
    ASSERT_TRUE(SaveSignSettingsFile(link, DefaultSignSettings()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(real), DefaultFile);
    EXPECT_EQ(fs::status(real).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// A save that fails at any step leaves the old file as it was, or no file when
// there was none, and no temporary file behind.
TEST(SignSettings, FailedSaveLeavesTheOldFileAndNoTemporary) {
    const TSettingsFileOps partialWrite{
        [](int fd, const void* data, std::size_t size) -> long {
            static int calls = 0;
            if (++calls % 2 == 1) { // the first call of each save takes 10 bytes
                return static_cast<long>(::write(fd, data, size < 10 ? size : 10));
            }
            errno = ENOSPC;
            return -1;
        },
        {},
        {}};
    const TSettingsFileOps zeroWrite{
        [](int, const void*, std::size_t) -> long { return 0; }, {}, {}};
    const TSettingsFileOps syncFails{{},
                                     [](int) {
                                         errno = EIO;
                                         return -1;
                                     },
                                     {}};
    const TSettingsFileOps renameFails{{}, {}, [](const char*, const char*) {
                                           errno = EXDEV;
                                           return -1;
                                       }};
    struct Row {
        const char* what;
        const TSettingsFileOps& ops;
    } rows[] = {{"write fails midway", partialWrite},
                {"write takes nothing", zeroWrite},
                {"flush fails", syncFails},
                {"rename fails", renameFails}};
    for (const Row& row : rows) {
        for (const bool oldFile : {true, false}) {
            SCOPED_TRACE(std::string(row.what) + (oldFile ? ", old file" : ", no old file"));
            TempDir dir;
            const std::string path = dir / "LEDINFO.BIN";
            if (oldFile) {
                WriteFile(path, DefaultFile);
            }
            EXPECT_FALSE(SaveSignSettingsFile(path, Sample(), row.ops));
            if (oldFile) {
                EXPECT_EQ(ReadFile(path), DefaultFile);
                EXPECT_EQ(dir.Names(), std::vector<std::string>{"LEDINFO.BIN"});
            } else {
                EXPECT_TRUE(dir.Names().empty());
            }
        }
    }
}

// Read-only by permission bits counts for every user, the superuser included.
TEST(SignSettings, ReadOnlyFileOrDirectoryIsLeftAlone) {
    using P = fs::perms;
    struct Row {
        const char* what;
        P filePerms;
        P dirPerms;
        bool oldFile;
    } rows[] = {
        {"read-only file", P::owner_read | P::group_read | P::others_read, P::owner_all, true},
        {"read-only directory", P::owner_read | P::owner_write, P::owner_read | P::owner_exec,
         true},
        {"read-only directory, no file", P::none, P::owner_read | P::owner_exec, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const fs::path sub = dir.Path() / "app";
        fs::create_directory(sub);
        const std::string path = (sub / "LEDINFO.BIN").string();
        if (row.oldFile) {
            WriteFile(path, DefaultFile);
            fs::permissions(path, row.filePerms);
        }
        fs::permissions(sub, row.dirPerms);
        EXPECT_FALSE(SaveSignSettingsFile(path, Sample()));
        fs::permissions(sub, P::owner_all);
        if (row.oldFile) {
            EXPECT_EQ(ReadFile(path), DefaultFile);
            EXPECT_EQ(fs::status(path).permissions(), row.filePerms);
        } else {
            EXPECT_FALSE(fs::exists(path));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()),
                  row.oldFile ? 1 : 0);
    }
}

TEST(SignSettings, SaveRefusesEmptyPathAndDirectory) {
    TempDir dir;
    EXPECT_FALSE(SaveSignSettingsFile("", Sample()));
    const std::string sub = dir / "LEDINFO.BIN";
    fs::create_directory(sub);
    EXPECT_FALSE(SaveSignSettingsFile(sub, Sample()));
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_TRUE(fs::is_empty(sub));
    EXPECT_FALSE(SaveSignSettingsFile(dir / "missing/LEDINFO.BIN", Sample()));
}
