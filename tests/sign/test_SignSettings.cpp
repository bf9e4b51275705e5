// LEDINFO.BIN on every platform: byte layout, loading of short/long/odd
// files, and the save's results for the caller (the replacement itself, its
// failures and refusals, is tested in tests/host/test_FileIo.cpp). What
// differs by platform is in PosixSignSettingsTests.cpp and
// Win32SignSettingsTests.cpp.
#include "tests/sign/SignSettingsTest.h"

#include "tests/sign/SettingsFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using namespace rc_test;

namespace rc_test {

Bytes Pattern(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + i);
    }
    return b;
}

TSignSettings Sample() {
    return {.PortIndex = -1,
            .RegularSpeed = 99,
            .FlashRateIndex = 2,
            .MorningStartHour = 7,
            .MorningStartMinute = 30,
            .MorningEndHour = 9,
            .MorningEndMinute = 15,
            .MorningSpeed = 25,
            .AfternoonStartHour = 14,
            .AfternoonStartMinute = 45,
            .AfternoonEndHour = 16,
            .AfternoonEndMinute = 5,
            .AfternoonSpeed = 0x7FFFFFFF};
}

// Bytes written as two hex digits each, with blanks and commas between.
Bytes FromHex(std::string_view text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (std::isxdigit(static_cast<unsigned char>(text[i])) != 0) {
            bytes.push_back(
                static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
            ++i;
        }
    }
    return bytes;
}

// Sample() as the file holds it, field by field in file order, each
// little-endian. Stated here rather than made by the encoder, so that a field
// in the wrong place or in the wrong byte order fails.
Bytes SampleFile() {
    return FromHex("FF FF FF FF, 63 00 00 00, 02 00 00 00, 07 00 00 00, 1E 00 00 00, "
                   "09 00 00 00, 0F 00 00 00, 19 00 00 00, 0E 00 00 00, 2D 00 00 00, "
                   "10 00 00 00, 05 00 00 00, FF FF FF 7F");
}

} // namespace rc_test

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

    // Every field at once, each with a value of its own.
    const auto sample = EncodeSignSettings(Sample());
    EXPECT_EQ(Bytes(sample.begin(), sample.end()), SampleFile());
    TSignSettingsBytes file{};
    const Bytes expected = SampleFile();
    std::copy(expected.begin(), expected.end(), file.begin());
    EXPECT_EQ(DecodeSignSettings(file), Sample());
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
    const Bytes sample = SampleFile();
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

TEST(SignSettings, ReadOnlyFileIsLeftAlone) {
    TempDir dir;
    const std::string path = dir / "LEDINFO.BIN";
    WriteFile(path, DefaultFile);
    MakeFileReadOnly(path);
    EXPECT_FALSE(SaveSignSettingsFile(path, Sample()));
    EXPECT_EQ(ReadFile(path), DefaultFile);
    EXPECT_TRUE(IsFileReadOnly(path));
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"LEDINFO.BIN"});
    // It is still read as usual.
    TSignSettings s;
    EXPECT_EQ(LoadSignSettingsFile(path, s), TSettingsLoadResult::Read);
    EXPECT_EQ(s, DefaultSignSettings());
}

// A folder in which no file may be created: the old file (writable itself)
// stays as it was, and no file appears where there was none.
TEST(SignSettings, UnwritableFolderIsLeftAlone) {
    for (const bool oldFile : {true, false}) {
        SCOPED_TRACE(oldFile ? "old file" : "no old file");
        TempDir dir;
        const std::string sub = dir / "app";
        fs::create_directory(sub);
        const std::string path = (fs::path(sub) / "LEDINFO.BIN").string();
        if (oldFile) {
            WriteFile(path, DefaultFile);
        }
        std::string why;
        if (!MakeFolderUnwritable(sub, why)) {
            GTEST_SKIP() << why;
        }
        EXPECT_FALSE(SaveSignSettingsFile(path, Sample()));
        MakeFolderWritable(sub);
        if (oldFile) {
            EXPECT_EQ(ReadFile(path), DefaultFile);
        } else {
            EXPECT_FALSE(fs::exists(path));
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()),
                  oldFile ? 1 : 0);
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
}
