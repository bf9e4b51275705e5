// The per-user data folder on POSIX systems (the XDG data home), and what
// counts as a settings file where a pipe or a symbolic link can be.
#include "tests/sign/SettingsLocationTest.h"

#include "tests/sign/SettingsFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace rc_test;

TEST(PosixSettingsLocation, PerUserFolderFromTheEnvironment) {
    EXPECT_EQ(UserSettingsFolder(Env({{"XDG_DATA_HOME", "/x/data"}, {"HOME", "/home/t"}})),
              "/x/data/radar-configurator");
    // Unset, empty or relative XDG_DATA_HOME: ~/.local/share.
    for (const auto& env :
         {Env({{"HOME", "/home/t"}}), Env({{"XDG_DATA_HOME", ""}, {"HOME", "/home/t"}}),
          Env({{"XDG_DATA_HOME", "rel/data"}, {"HOME", "/home/t"}})}) {
        EXPECT_EQ(UserSettingsFolder(env), "/home/t/.local/share/radar-configurator");
    }
    EXPECT_EQ(UserSettingsFolder(Env({{"HOME", ""}})), "");
    EXPECT_EQ(UserSettingsFolder(Env({{"LOCALAPPDATA", "/x/local"}})), "");
    EXPECT_EQ(UserSettingsFolder(Env({})), "");
}

// Beside a writable executable, only a regular file holds entries: a pipe is
// passed over (and never opened, so the choice cannot hang on it), and a
// symbolic link counts as the file it names, with that file's time.
TEST(PosixSettingsLocation, OnlyARegularFileCountsAsTheLaterOne) {
    enum Read { Beside, Own };
    const auto pipe = [](const std::string& path) {
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
    };
    const auto file = [](int minutesAgo) {
        return [minutesAgo](const std::string& path) {
            WriteFile(path, DefaultFile);
            fs::last_write_time(path, fs::file_time_type::clock::now() -
                                          std::chrono::minutes(minutesAgo));
        };
    };
    const auto linkTo = [](std::function<void(const std::string&)> target) {
        return [target](const std::string& path) {
            target(path + ".target");
            fs::create_symlink(fs::path(path).filename().string() + ".target", path);
        };
    };
    const struct {
        const char* what;
        std::function<void(const std::string&)> beside;
        std::function<void(const std::string&)> own;
        Read read;
    } rows[] = {
        {"a pipe in the per-user place", file(60), pipe, Beside},
        {"a pipe beside, a per-user file", pipe, file(60), Own},
        {"a link to a later per-user file", file(60), linkTo(file(5)), Own},
        {"a link to an earlier per-user file", file(5), linkTo(file(60)), Beside},
        {"a link to nothing in the per-user place", file(60),
         [](const std::string& path) { fs::create_symlink("missing", path); }, Beside},
        {"a link to a pipe in the per-user place", file(60), linkTo(pipe), Beside},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir root;
        const std::string bin = root / "bin";
        const std::string folder = root / "data/radar-configurator";
        fs::create_directories(bin);
        fs::create_directories(folder);
        const std::string beside = bin + "/LEDINFO.BIN";
        const std::string own = folder + "/LEDINFO.BIN";
        row.beside(beside);
        row.own(own);
        const TSettingsLocation l =
            ChooseSettingsLocation(bin, Env({{"XDG_DATA_HOME", root / "data"}}));
        EXPECT_EQ(l, (TSettingsLocation{row.read == Own ? own : beside, beside, {}}));
    }
}

// An installed program whose user has a pipe where their file would be: the
// shipped defaults are read, and the save refuses the pipe without hanging.
TEST(PosixSettingsLocation, PipeInThePerUserPlaceOfAnInstalledProgram) {
    TempDir root;
    const std::string bin = root / "bin";
    const std::string folder = root / "data/radar-configurator";
    fs::create_directories(bin);
    fs::create_directories(folder);
    WriteFile(bin + "/LEDINFO.BIN", DefaultFile);
    ASSERT_EQ(::mkfifo((folder + "/LEDINFO.BIN").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(bin.c_str(), 0500), 0);
    const TSettingsLocation l =
        ChooseSettingsLocation(bin, Env({{"XDG_DATA_HOME", root / "data"}}));
    ::chmod(bin.c_str(), 0700);
    EXPECT_EQ(l, (TSettingsLocation{bin + "/LEDINFO.BIN", folder + "/LEDINFO.BIN", folder}));
    EXPECT_FALSE(SaveSignSettingsAt(l, DefaultSignSettings()));
    EXPECT_TRUE(fs::is_fifo(folder + "/LEDINFO.BIN"));
}
