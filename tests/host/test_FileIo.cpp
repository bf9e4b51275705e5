// The one atomic file replacement (host/FileIo.h) on every platform: what a
// replacement leaves, failures at each step by fault injection, and what it
// refuses. What differs by platform is in PosixFileIoTests.cpp and
// Win32FileIoTests.cpp; the callers' own rules are in the INI-file and the
// sign's settings tests.
#include "tests/host/FileIoTest.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;
using host::ReplaceFileAtomically;
using host::TReplaceSteps;
using namespace rc_test;

namespace {

using Names = std::vector<std::string>;

TEST(FileIo, ReplacementLeavesTheNewContentsAndNothingElse) {
    TempDir dir;
    const std::string path = dir / "settings.ini";
    ReplaceFileAtomically(path, "first"); // no file before
    EXPECT_EQ(Get(path), "first");
    Put(path, std::string(10000, 'x')); // a longer file is replaced, not overwritten
    for (const char* text : {"second", "", "third"})
        ReplaceFileAtomically(path, text);
    EXPECT_EQ(Get(path), "third");
    EXPECT_EQ(SortedNames(dir), Names{"settings.ini"});

    const std::string big(3 * 1024 * 1024 + 7, 'b');
    ReplaceFileAtomically(path, big);
    EXPECT_EQ(Get(path), big);
}

TEST(FileIo, BareNameIsReplacedInTheWorkingFolder) {
    TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.Path());
    EXPECT_NO_THROW(ReplaceFileAtomically("bare.bin", "data"));
    fs::current_path(before);
    EXPECT_EQ(Get(dir / "bare.bin"), "data");
    EXPECT_EQ(SortedNames(dir), Names{"bare.bin"});
}

// A replacement that fails at any step raises naming the file, and leaves the
// old file as it was, or no file when there was none, and no temporary file.
TEST(FileIo, FailedStepLeavesTheOldFileAndNoTemporary) {
    int writes = 0;
    const TReplaceSteps partialWrite{
        [&writes](const void* data, std::size_t size, const TReplaceSteps::TWrite& os) -> long {
            if (++writes % 2 == 1) // the first write of each replacement takes 10 bytes
                return os(data, size < 10 ? size : 10);
            errno = ENOSPC;
            return -1;
        },
        {},
        {}};
    const TReplaceSteps zeroWrite{
        [](const void*, std::size_t, const TReplaceSteps::TWrite&) -> long { return 0; }, {}, {}};
    const TReplaceSteps overlongWrite{
        [](const void*, std::size_t size, const TReplaceSteps::TWrite&) -> long {
            return static_cast<long>(size) + 1;
        },
        {},
        {}};
    const TReplaceSteps flushFails{{}, [] { return false; }, {}};
    const TReplaceSteps replaceFails{
        {}, {}, [](const std::string&, const std::string&) { return false; }};
    struct Row {
        const char* what;
        const TReplaceSteps& steps;
    } rows[] = {{"write fails midway", partialWrite},
                {"write takes nothing", zeroWrite},
                {"write claims more than it was given", overlongWrite},
                {"flush fails", flushFails},
                {"replace fails", replaceFails}};
    for (const Row& row : rows) {
        for (const bool oldFile : {true, false}) {
            SCOPED_TRACE(std::string(row.what) + (oldFile ? ", old file" : ", no old file"));
            TempDir dir;
            const std::string path = dir / "settings.ini";
            if (oldFile)
                Put(path, "old contents");
            try {
                ReplaceFileAtomically(path, std::string(100, 'n'), row.steps);
                ADD_FAILURE() << "no exception";
            } catch (const std::system_error& e) {
                EXPECT_NE(std::string(e.what()).find("settings.ini"), std::string::npos)
                    << e.what();
                EXPECT_NE(e.code().value(), 0);
            }
            if (oldFile) {
                EXPECT_EQ(Get(path), "old contents");
                EXPECT_EQ(SortedNames(dir), Names{"settings.ini"});
            } else {
                EXPECT_TRUE(dir.Names().empty());
            }
        }
    }
}

// The steps see the whole replacement: short and interrupted writes are
// carried on until every byte is in, the flush comes before the replace, and
// the replace moves a file of the folder, holding the new bytes, over the old
// one.
TEST(FileIo, ShortAndInterruptedWritesAreCarriedOn) {
    TempDir dir;
    const std::string path = dir / "LEDINFO.BIN";
    Put(path, "old");
    std::vector<std::size_t> offered;
    bool interrupted = false;
    bool flushed = false;
    std::string from;
    std::string to;
    const TReplaceSteps steps{
        [&](const void* data, std::size_t size, const TReplaceSteps::TWrite& os) -> long {
            offered.push_back(size);
            if (size == 32 && !interrupted) {
                interrupted = true;
                errno = EINTR;
                return -1;
            }
            return os(data, size < 20 ? size : 20);
        },
        [&] { return flushed = true; },
        [&](const std::string& f, const std::string& t) {
            from = f;
            to = t;
            EXPECT_TRUE(flushed);
            return Get(f) == std::string(52, 'n') && Get(t) == "old" && (fs::rename(f, t), true);
        }};
    ReplaceFileAtomically(path, std::string(52, 'n'), steps);
    EXPECT_EQ(offered, (std::vector<std::size_t>{52, 32, 32, 12}));
    EXPECT_EQ(fs::path(from).parent_path(), dir.Path()) << from;
    EXPECT_NE(fs::path(from).filename(), "LEDINFO.BIN");
    EXPECT_EQ(to, path);
    EXPECT_EQ(Get(path), std::string(52, 'n'));
    EXPECT_EQ(SortedNames(dir), Names{"LEDINFO.BIN"});
}

// What may not be replaced raises before anything is made: the folder holds
// what it held.
TEST(FileIo, RefusesWhatItMayNotReplace) {
    TempDir dir;
    fs::create_directories(dir.Path() / "folder" / "inside");
    Put(dir / "file", "a file");
    Put(dir / "readonly", "kept");
    // No write bit on POSIX; the read-only attribute on Windows, where the
    // standard library sets it for a file without write permission.
    const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(dir / "readonly", readOnly);
    const Names before = SortedNames(dir);
    struct Row {
        const char* what;
        std::string path;
    } rows[] = {
        {"empty name", ""},
        {"a folder of that name", dir / "folder"},
        {"a missing folder", (dir.Path() / "missing" / "x.ini").string()},
        {"a file where the folder should be", (dir.Path() / "file" / "x.ini").string()},
        {"a read-only file", dir / "readonly"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_THROW(ReplaceFileAtomically(row.path, "new"), std::system_error);
    }
    EXPECT_EQ(SortedNames(dir), before);
    EXPECT_TRUE(fs::is_directory(dir.Path() / "folder" / "inside"));
    EXPECT_EQ(Get(dir / "file"), "a file");
    EXPECT_EQ(Get(dir / "readonly"), "kept");
    EXPECT_EQ(fs::status(dir / "readonly").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST(FileIo, ReadWholeFileTellsAMissingFileFromAnUnreadableOne) {
    TempDir dir;
    EXPECT_EQ(host::ReadWholeFile(dir / "missing"), std::nullopt);
    Put(dir / "empty", "");
    EXPECT_EQ(host::ReadWholeFile(dir / "empty"), std::string());
    EXPECT_THROW(host::ReadWholeFile(dir.Path().string()), std::system_error);
}

} // namespace
