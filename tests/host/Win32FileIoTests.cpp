// The file replacement on Windows: files held open by other programs, devices
// of that name, both separators, and folder attributes.
#include "tests/host/FileIoTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <windows.h>

namespace fs = std::filesystem;
using host::ReplaceFileAtomically;
using namespace rc_test;

namespace {

// Another program reading it with sharing, but not allowing it to be deleted:
// the replacement cannot move the new file over it and leaves it whole.
TEST(Win32FileIo, FileOpenElsewhereWithoutDeleteSharingIsNotReplaced) {
    TempDir dir;
    const std::string path = dir / "settings.ini";
    Put(path, "old");
    const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_THROW(ReplaceFileAtomically(path, "new"), std::system_error);
    CloseHandle(other);
    EXPECT_EQ(Get(path), "old");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"settings.ini"});
}

// "NUL" names the null device in every folder: it exists, but it is no file.
TEST(Win32FileIo, DeviceOfThatNameIsNotReplaced) {
    TempDir dir;
    for (const std::string& path : {std::string("NUL"), dir / "NUL"}) {
        SCOPED_TRACE(path);
        EXPECT_THROW(ReplaceFileAtomically(path, "new"), std::system_error);
    }
    EXPECT_TRUE(dir.Names().empty());
}

TEST(Win32FileIo, BothSeparatorsNameTheSameFile) {
    TempDir dir;
    const std::string forward = dir.Path().string() + "/settings.ini";
    const std::string back = dir.Path().string() + "\\settings.ini";
    ReplaceFileAtomically(forward, "first");
    EXPECT_EQ(Get(back), "first");
    ReplaceFileAtomically(back, "second");
    EXPECT_EQ(Get(forward), "second");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"settings.ini"});
}

// A folder's read-only attribute does not keep files from being made in it
// (Explorer sets it on folders it customises): the replacement goes ahead.
TEST(Win32FileIo, ReadOnlyAttributeOfTheFolderDoesNotStopIt) {
    TempDir dir;
    const std::string sub = dir / "app";
    fs::create_directory(sub);
    ASSERT_TRUE(SetFileAttributesA(sub.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string path = sub + "\\settings.ini";
    EXPECT_NO_THROW(ReplaceFileAtomically(path, "new"));
    SetFileAttributesA(sub.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(Get(path), "new");
}

} // namespace
