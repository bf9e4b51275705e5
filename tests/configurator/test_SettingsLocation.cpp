// Where LEDINFO.BIN is kept: beside a writable executable folder, otherwise
// in the per-user data folder, read from there only once the user has one.
#include "configurator/SettingsLocation.h"

#include "SettingsFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;
using namespace rc_test;

namespace {

TEnvironment Env(std::map<std::string, std::string> vars) {
    return [vars](const std::string& name) -> std::optional<std::string> {
        const auto it = vars.find(name);
        if (it == vars.end())
            return std::nullopt;
        return it->second;
    };
}

// An installed program: the executable's folder holds the shipped defaults
// and has no write permission bit (read-only for the superuser too).
struct Installed {
    TempDir root;
    std::string bin = root / "bin";
    std::string data = root / "home-data";
    Installed() {
        fs::create_directory(bin);
        WriteFile(bin + "/LEDINFO.BIN", DefaultFile);
        fs::permissions(bin, fs::perms::owner_read | fs::perms::owner_exec);
    }
    ~Installed() { fs::permissions(bin, fs::perms::owner_all); }
};

TSignSettings Entries() {
    TSignSettings s = DefaultSignSettings();
    s.MorningSpeed = 30;
    s.RegularSpeed = 50;
    return s;
}

} // namespace

TEST(SettingsLocation, WritableExecutableFolderKeepsTheFileBesideIt) {
    TempDir bin;
    const TSettingsLocation l =
        ChooseSettingsLocation(bin.Path().string(), Env({{"XDG_DATA_HOME", bin / "data"}}));
    EXPECT_EQ(l, (TSettingsLocation{bin / "LEDINFO.BIN", bin / "LEDINFO.BIN", {}}));
    EXPECT_TRUE(SaveSignSettingsAt(l, Entries()));
    EXPECT_FALSE(fs::exists(bin / "data")); // the per-user folder is never made
}

TEST(SettingsLocation, ReadOnlyFolderIsNotWritable) {
    TempDir d;
    EXPECT_TRUE(IsWritableSettingsDirectory(d.Path().string()));
    fs::permissions(d.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(IsWritableSettingsDirectory(d.Path().string()));
    EXPECT_FALSE(IsWritableSettingsDirectory(d / "missing"));
    WriteFile(d / "file", {});
    fs::permissions(d.Path(), fs::perms::owner_all);
    EXPECT_FALSE(IsWritableSettingsDirectory(d / "file"));
}

TEST(SettingsLocation, PerUserFolderFromTheEnvironment) {
    EXPECT_EQ(UserSettingsFolder(Env({{"XDG_DATA_HOME", "/x/data"}, {"HOME", "/home/t"}})),
              "/x/data/radar-configurator");
    // Unset, empty or relative XDG_DATA_HOME: ~/.local/share.
    for (const auto& env :
         {Env({{"HOME", "/home/t"}}), Env({{"XDG_DATA_HOME", ""}, {"HOME", "/home/t"}}),
          Env({{"XDG_DATA_HOME", "rel/data"}, {"HOME", "/home/t"}})}) {
        EXPECT_EQ(UserSettingsFolder(env), "/home/t/.local/share/radar-configurator");
    }
    EXPECT_EQ(UserSettingsFolder(Env({})), "");
}

TEST(SettingsLocation, InstalledProgramReadsTheShippedDefaultsUntilTheUserSaves) {
    Installed inst;
    const auto env = Env({{"XDG_DATA_HOME", inst.data}});
    const std::string own = inst.data + "/radar-configurator/LEDINFO.BIN";

    TSettingsLocation l = ChooseSettingsLocation(inst.bin, env);
    EXPECT_EQ(
        l, (TSettingsLocation{inst.bin + "/LEDINFO.BIN", own, inst.data + "/radar-configurator"}));

    // The first save creates the folder with its parents.
    EXPECT_TRUE(SaveSignSettingsAt(l, Entries()));
    const auto b = EncodeSignSettings(Entries());
    EXPECT_EQ(ReadFile(own), Bytes(b.begin(), b.end()));
    EXPECT_EQ(ReadFile(inst.bin + "/LEDINFO.BIN"), DefaultFile);

    // From then on the user's own file is read.
    l = ChooseSettingsLocation(inst.bin, env);
    EXPECT_EQ(l.ReadPath, own);
    TSignSettings read{};
    EXPECT_EQ(LoadSignSettingsFile(l.ReadPath, read), TSettingsLoadResult::Read);
    EXPECT_EQ(read, Entries());
}

TEST(SettingsLocation, PerUserFolderThatCannotBeMadeSavesNothing) {
    Installed inst;
    WriteFile(inst.data, {}); // a file where the folder's parent would be
    const TSettingsLocation l =
        ChooseSettingsLocation(inst.bin, Env({{"XDG_DATA_HOME", inst.data}}));
    EXPECT_FALSE(SaveSignSettingsAt(l, Entries()));
    EXPECT_EQ(ReadFile(inst.data), Bytes{});
    EXPECT_EQ(ReadFile(inst.bin + "/LEDINFO.BIN"), DefaultFile);

    // No per-user folder known at all: read beside the executable, save nowhere.
    const TSettingsLocation none = ChooseSettingsLocation(inst.bin, Env({}));
    EXPECT_EQ(none, (TSettingsLocation{inst.bin + "/LEDINFO.BIN", {}, {}}));
    EXPECT_FALSE(SaveSignSettingsAt(none, Entries()));
}
