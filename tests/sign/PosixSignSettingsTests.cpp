// LEDINFO.BIN on POSIX systems: pipes, permission modes and symbolic links.
#include "tests/sign/SignSettingsTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace rc_test;

TEST(PosixSignSettings, PipeOfThatNameIsNotReadAndDoesNotHang) {
    TempDir dir;
    const std::string fifo = dir / "LEDINFO.BIN";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    TSignSettings s = Sample();
    EXPECT_EQ(LoadSignSettingsFile(fifo, s), TSettingsLoadResult::Unreadable);
    EXPECT_EQ(s, Sample());
    EXPECT_FALSE(SaveSignSettingsFile(fifo, s));
    EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(PosixSignSettings, SaveKeepsPermissionsAndFollowsALink) {
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
    EXPECT_EQ(dir.Names().size(), 2u);
}

// Read-only by permission bits counts for every user, the superuser included:
// a file or folder without any write bit is left alone, modes and all.
TEST(PosixSignSettings, NoWriteBitIsReadOnlyForEveryUser) {
    using P = fs::perms;
    struct Row {
        const char* what;
        P filePerms;
        P dirPerms;
    } rows[] = {
        {"file r--r--r--", P::owner_read | P::group_read | P::others_read, P::owner_all},
        {"file r--------", P::owner_read, P::owner_all},
        {"folder r-x", P::owner_read | P::owner_write, P::owner_read | P::owner_exec},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        const fs::path sub = dir.Path() / "app";
        fs::create_directory(sub);
        const std::string path = (sub / "LEDINFO.BIN").string();
        WriteFile(path, DefaultFile);
        fs::permissions(path, row.filePerms);
        fs::permissions(sub, row.dirPerms);
        EXPECT_FALSE(SaveSignSettingsFile(path, Sample()));
        fs::permissions(sub, P::owner_all);
        EXPECT_EQ(ReadFile(path), DefaultFile);
        EXPECT_EQ(fs::status(path).permissions(), row.filePerms);
        EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 1);
    }
}
