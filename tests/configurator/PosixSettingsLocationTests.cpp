// The per-user data folder on POSIX systems: the XDG data home.
#include "tests/configurator/SettingsLocationTest.h"

#include <gtest/gtest.h>

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
