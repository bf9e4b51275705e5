// LEDINFO.BIN on Windows: files held open by other programs, devices of that
// name, and both separators, each for the load and the save. Folder
// attributes are the replacement's (tests/host/Win32FileIoTests.cpp).
#include "tests/sign/SignSettingsTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

namespace fs = std::filesystem;
using namespace rc_test;

namespace {

// A handle on the file as another program would hold it.
class TOtherOpener {
public:
    TOtherOpener(const std::string& path, DWORD access, DWORD share)
        : FHandle(CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~TOtherOpener() { Close(); }
    TOtherOpener(const TOtherOpener&) = delete;
    TOtherOpener& operator=(const TOtherOpener&) = delete;
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
    void Close() {
        if (Valid())
            CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE FHandle;
};

} // namespace

// Locked by another program: not read (the record keeps what it had, not the
// defaults) and not replaced; once the other program lets go, both work.
TEST(Win32SignSettings, FileHeldOpenWithoutSharingIsNeitherReadNorReplaced) {
    TempDir dir;
    const std::string path = dir / "LEDINFO.BIN";
    WriteFile(path, DefaultFile);
    TOtherOpener other(path, GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_TRUE(other.Valid());

    TSignSettings s = Sample();
    std::size_t read = 99;
    EXPECT_EQ(LoadSignSettingsFile(path, s, &read), TSettingsLoadResult::Unreadable);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(s, Sample());
    EXPECT_FALSE(SaveSignSettingsFile(path, Sample()));

    other.Close();
    EXPECT_EQ(ReadFile(path), DefaultFile);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"LEDINFO.BIN"});
    EXPECT_TRUE(SaveSignSettingsFile(path, Sample()));
    EXPECT_EQ(ReadFile(path), SampleFile());
}

// Another program reading and writing it with sharing, but not allowing it to
// be deleted: it is read, but the save cannot replace it and leaves it whole.
TEST(Win32SignSettings, FileOpenElsewhereWithoutDeleteSharingIsReadButNotReplaced) {
    TempDir dir;
    const std::string path = dir / "LEDINFO.BIN";
    WriteFile(path, SampleFile());
    TOtherOpener other(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(other.Valid());

    TSignSettings s;
    EXPECT_EQ(LoadSignSettingsFile(path, s), TSettingsLoadResult::Read);
    EXPECT_EQ(s, Sample());
    EXPECT_FALSE(SaveSignSettingsFile(path, DefaultSignSettings()));
    other.Close();
    EXPECT_EQ(ReadFile(path), SampleFile());
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"LEDINFO.BIN"});
}

// "NUL" names the null device in every folder: it exists, but it is no file.
TEST(Win32SignSettings, DeviceOfThatNameIsNotAFile) {
    TempDir dir;
    for (const std::string& path : {std::string("NUL"), dir / "NUL"}) {
        SCOPED_TRACE(path);
        TSignSettings s = Sample();
        EXPECT_EQ(LoadSignSettingsFile(path, s), TSettingsLoadResult::Unreadable);
        EXPECT_EQ(s, Sample());
        EXPECT_FALSE(SaveSignSettingsFile(path, DefaultSignSettings()));
    }
    EXPECT_TRUE(dir.Names().empty());
}

TEST(Win32SignSettings, BothSeparatorsNameTheSameFile) {
    TempDir dir;
    const std::string forward = dir.Path().string() + "/LEDINFO.BIN";
    const std::string back = dir.Path().string() + "\\LEDINFO.BIN";
    ASSERT_TRUE(SaveSignSettingsFile(forward, Sample()));
    TSignSettings s;
    EXPECT_EQ(LoadSignSettingsFile(back, s), TSettingsLoadResult::Read);
    EXPECT_EQ(s, Sample());
    ASSERT_TRUE(SaveSignSettingsFile(back, DefaultSignSettings()));
    EXPECT_EQ(ReadFile(forward), DefaultFile);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"LEDINFO.BIN"});
}
