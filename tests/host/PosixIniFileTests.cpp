// INI files on POSIX systems: permission modes and symbolic links survive a
// replacement.
#include "host/IniFile.h"

#include "tests/host/IniFileTest.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using host::TIniFile;
using rc_test::IniFileTest;

TEST_F(IniFileTest, PosixReplacingKeepsPermissionsAndSymlinks) {
    Put("[A]\nK=1\n");
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::string link = (dir_ / "link.ini").string();
    fs::create_symlink(path_, link);

    TIniFile(link).WriteString("A", "K", "2");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Get(), "[A]\nK=2\n");
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(Entries(), 2u);
}
