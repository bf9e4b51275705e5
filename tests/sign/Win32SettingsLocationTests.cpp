// The per-user data folder on Windows (%LOCALAPPDATA%) and how a writable
// folder is told: by making a file in it, not by its attributes.
#include "tests/sign/SettingsLocationTest.h"

#include "tests/sign/SettingsFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <windows.h>

namespace fs = std::filesystem;
using namespace rc_test;

TEST(Win32SettingsLocation, PerUserFolderFromLocalAppData) {
    struct Row {
        const char* what;
        TEnvironment env;
        std::string expected;
    } rows[] = {
        {"set", Env({{"LOCALAPPDATA", "C:\\Users\\t\\AppData\\Local"}}),
         "C:\\Users\\t\\AppData\\Local\\radar-configurator"},
        {"trailing separator", Env({{"LOCALAPPDATA", "C:\\Users\\t\\AppData\\Local\\"}}),
         "C:\\Users\\t\\AppData\\Local\\radar-configurator"},
        {"forward slashes", Env({{"LOCALAPPDATA", "C:/Users/t/AppData/Local/"}}),
         "C:/Users/t/AppData/Local/radar-configurator"},
        {"empty", Env({{"LOCALAPPDATA", ""}}), ""},
        {"unset", Env({}), ""},
        {"the POSIX variables do not count",
         Env({{"XDG_DATA_HOME", "C:\\data"}, {"HOME", "C:\\Users\\t"}}), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(UserSettingsFolder(row.env), row.expected);
    }
}

// The file lands where the location says, with the platform's separator.
TEST(Win32SettingsLocation, PathsUseBackslashes) {
    TempDir d;
    const std::string bin = d.Path().string();
    const TSettingsLocation l = ChooseSettingsLocation(bin, Env({}));
    const std::string beside = bin.back() == '\\' ? bin + "LEDINFO.BIN" : bin + "\\LEDINFO.BIN";
    EXPECT_EQ(l, (TSettingsLocation{beside, beside, {}}));
}

// Explorer sets the read-only attribute on folders it customises; files can
// still be made in them, so such a folder is writable.
TEST(Win32SettingsLocation, ReadOnlyAttributeOfAFolderDoesNotCount) {
    TempDir d;
    const std::string sub = d / "app";
    fs::create_directory(sub);
    ASSERT_TRUE(SetFileAttributesA(sub.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(IsWritableSettingsDirectory(sub));
    SetFileAttributesA(sub.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(fs::is_empty(sub));
}

// Writability is probed by making a file; a file of the probe's old fixed
// name, left by anyone, made every probe fail and sent the settings to the
// per-user folder. Now the folder is writable and the file left alone.
TEST(Win32SettingsLocation, AFileAlreadyInTheFolderDoesNotMakeItReadOnly) {
    TempDir d;
    const std::string dir = d.Path().string();
    WriteFile(d / ".LEDINFO.BIN.probe", {1, 2, 3});
    EXPECT_TRUE(IsWritableSettingsDirectory(dir));
    EXPECT_TRUE(IsWritableSettingsDirectory(dir + "\\"));
    EXPECT_TRUE(IsWritableSettingsDirectory(dir + "/"));
    EXPECT_EQ(ReadFile(d / ".LEDINFO.BIN.probe"), (Bytes{1, 2, 3}));
    EXPECT_EQ(d.Names(), std::vector<std::string>{".LEDINFO.BIN.probe"});
}
