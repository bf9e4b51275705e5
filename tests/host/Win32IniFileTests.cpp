// INI files on Windows: files held open by other programs. The read-only
// attribute and both separators are the replacement's (Win32FileIoTests.cpp).
#include "host/IniFile.h"

#include "host/Exceptions.h"
#include "tests/host/IniFileTest.h"

#include <gtest/gtest.h>

#include <windows.h>

using host::TIniFile;
using rc_test::IniFileTest;

namespace {

HANDLE OpenElsewhere(const std::string& path, DWORD share) {
    return CreateFileA(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

// Locked by another program: reading raises (rather than taking the file for
// empty and later replacing it with a few values).
TEST_F(IniFileTest, Win32FileLockedByAnotherProgramRaises) {
    Put("[A]\nK=1\n");
    const HANDLE other = OpenElsewhere(path_, 0);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_THROW(TIniFile ini(path_), host::EIniFileException);
    CloseHandle(other);
    EXPECT_EQ(TIniFile(path_).ReadString("A", "K", ""), "1");
}

// Open elsewhere for reading without delete sharing: it is read, but cannot
// be replaced; the write raises naming the file, and the file and folder are
// as they were.
TEST_F(IniFileTest, Win32FileOpenElsewhereIsReadButNotReplaced) {
    Put("[A]\nK=1\n");
    const HANDLE other = OpenElsewhere(path_, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("A", "K", ""), "1");
    try {
        ini.WriteString("A", "K", "2");
        ADD_FAILURE() << "no exception";
    } catch (const host::EIniFileException& e) {
        EXPECT_NE(e.Message().find(path_), std::string::npos) << e.Message();
    }
    CloseHandle(other);
    EXPECT_EQ(Get(), "[A]\nK=1\n");
    EXPECT_EQ(Entries(), 1u);
}
