// Where LEDINFO.BIN is kept, on every platform: beside a writable executable
// folder, otherwise in the per-user data folder, read from there only once
// the user has one, and there beside a writable folder only while it is the
// later file. How each platform finds that folder and tells a writable one is
// in PosixSettingsLocationTests.cpp and Win32SettingsLocationTests.cpp.
#include "tests/sign/SettingsLocationTest.h"

#include "tests/sign/SettingsFiles.h"
#include "tests/sign/SettingsFixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>

namespace fs = std::filesystem;
using namespace rc_test;

namespace rc_test {

TEnvironment Env(std::map<std::string, std::string> vars) {
    return [vars](const std::string& name) -> std::optional<std::string> {
        const auto it = vars.find(name);
        if (it == vars.end())
            return std::nullopt;
        return it->second;
    };
}

} // namespace rc_test

namespace {

std::string Join(const std::string& dir, const std::string& name) {
    return (fs::path(dir) / name).string();
}

// The per-user data folder under `data`, named by whichever variable this
// platform reads.
TEnvironment DataHome(const std::string& data) {
    return Env({{"XDG_DATA_HOME", data}, {"LOCALAPPDATA", data}});
}

// An installed program: the executable's folder holds the shipped defaults
// and no file may be created in it.
struct Installed {
    TempDir root;
    std::string bin = root / "bin";
    std::string data = root / "home-data";
    std::string why; // empty once the folder is unwritable
    Installed() {
        fs::create_directory(bin);
        WriteFile(Join(bin, "LEDINFO.BIN"), DefaultFile);
        if (MakeFolderUnwritable(bin, why))
            why.clear();
        else if (why.empty())
            why = "the folder could not be made unwritable";
    }
    ~Installed() { MakeFolderWritable(bin); }
};

TSignSettings Entries() {
    TSignSettings s = DefaultSignSettings();
    s.MorningSpeed = 30;
    s.RegularSpeed = 50;
    return s;
}

// What may be at LEDINFO.BIN in one of the two places, and when it was
// written (minutes before now; a folder's time is left as it is).
struct Found {
    enum What { None, File, Folder } what = None;
    int minutesAgo = 0;
};

// Puts `found` at `path`, making the folders above it; its time counts back
// from `now`.
void Place(const std::string& path, Found found, fs::file_time_type now) {
    if (found.what == Found::None)
        return;
    fs::create_directories(fs::path(path).parent_path());
    if (found.what == Found::Folder) {
        fs::create_directory(path);
        return;
    }
    WriteFile(path, DefaultFile);
    fs::last_write_time(path, now - std::chrono::minutes(found.minutesAgo));
}

} // namespace

TEST(SettingsLocation, WritableExecutableFolderKeepsTheFileBesideIt) {
    TempDir bin;
    const std::string beside = Join(bin.Path().string(), "LEDINFO.BIN");
    const TSettingsLocation l = ChooseSettingsLocation(bin.Path().string(), DataHome(bin / "data"));
    EXPECT_EQ(l, (TSettingsLocation{beside, beside, {}}));
    EXPECT_TRUE(SaveSignSettingsAt(l, Entries()));
    TSignSettings read{};
    EXPECT_EQ(LoadSignSettingsFile(l.ReadPath, read), TSettingsLoadResult::Read);
    EXPECT_EQ(read, Entries());
    EXPECT_FALSE(fs::exists(bin / "data")); // the per-user folder is never made
    EXPECT_EQ(bin.Names(), std::vector<std::string>{"LEDINFO.BIN"}); // nothing else left
}

// Beside a writable executable the entries are saved there; they are read
// from the per-user folder only when the file there is the later one (left by
// the time the executable's folder could not be written) or the only one.
TEST(SettingsLocation, WritableExecutableFolderReadsTheLaterOfTheTwoFiles) {
    enum Read { Beside, Own };
    const struct {
        const char* what;
        Found beside;
        Found own;
        Read read;
    } rows[] = {
        {"neither", {}, {}, Beside},
        {"beside only", {Found::File, 5}, {}, Beside},
        {"per-user only", {}, {Found::File, 5}, Own},
        {"per-user later", {Found::File, 60}, {Found::File, 5}, Own},
        {"beside later", {Found::File, 5}, {Found::File, 60}, Beside},
        {"the same time", {Found::File, 5}, {Found::File, 5}, Beside},
        // Written while the PC's clock was ahead: which came first is not
        // known, and a later save beside would never be the later file.
        {"per-user dated in the future", {Found::File, 5}, {Found::File, -60}, Beside},
        {"a folder in the per-user place", {Found::File, 60}, {Found::Folder}, Beside},
        {"a folder beside, per-user earlier", {Found::Folder}, {Found::File, 60}, Own},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir root;
        const std::string bin = root / "bin";
        fs::create_directory(bin);
        const std::string beside = Join(bin, "LEDINFO.BIN");
        const std::string own = Join(Join(root / "data", "radar-configurator"), "LEDINFO.BIN");
        const auto now = fs::file_time_type::clock::now();
        Place(beside, row.beside, now);
        Place(own, row.own, now);
        const TSettingsLocation l = ChooseSettingsLocation(bin, DataHome(root / "data"));
        EXPECT_EQ(l, (TSettingsLocation{row.read == Own ? own : beside, beside, {}}));
    }
    // No per-user folder known: beside, as always.
    TempDir bin;
    Place(bin / "LEDINFO.BIN", {Found::File, 5}, fs::file_time_type::clock::now());
    EXPECT_EQ(ChooseSettingsLocation(bin.Path().string(), Env({})).ReadPath, bin / "LEDINFO.BIN");
}

// The entries saved last are those the next start shows, whichever folder
// they went to: the executable's folder could not be written for a while
// (made read-only, or gone with the drive it was on), and then could again,
// holding the file it had before.
TEST(SettingsLocation, EntriesSavedLastAreReadWhenTheFolderBecomesWritableAgain) {
    const TSignSettings first = Entries();
    TSignSettings second = Entries();
    second.RegularSpeed = 60;
    for (const bool gone : {false, true}) {
        SCOPED_TRACE(gone ? "the folder gone" : "the folder read-only");
        Installed inst;
        if (!gone && !inst.why.empty()) {
            std::cout << "skipped: " << inst.why << "\n";
            continue;
        }
        const auto env = DataHome(inst.data);
        const std::string beside = Join(inst.bin, "LEDINFO.BIN");
        if (gone) {
            MakeFolderWritable(inst.bin);
            fs::rename(inst.bin, inst.root / "away");
        }
        const auto startAndSave = [&](const TSignSettings& saved) {
            const TSettingsLocation l = ChooseSettingsLocation(inst.bin, env);
            TSignSettings read{};
            LoadSignSettingsFile(l.ReadPath, read);
            EXPECT_TRUE(SaveSignSettingsAt(l, saved));
            return read;
        };
        EXPECT_EQ(startAndSave(first), DefaultSignSettings()); // saved in the per-user folder
        // Back, with the file written before the user's save.
        if (gone)
            fs::rename(inst.root / "away", inst.bin);
        MakeFolderWritable(inst.bin);
        fs::last_write_time(beside, fs::file_time_type::clock::now() - std::chrono::hours(1));
        EXPECT_EQ(startAndSave(second), first); // read there once, then saved beside
        EXPECT_EQ(startAndSave(second), second);
        EXPECT_EQ(ChooseSettingsLocation(inst.bin, env).ReadPath, beside);
    }
}

TEST(SettingsLocation, OnlyAnExistingFolderIsWritable) {
    TempDir d;
    EXPECT_TRUE(IsWritableSettingsDirectory(d.Path().string()));
    EXPECT_TRUE(d.Names().empty()); // the test leaves nothing behind
    EXPECT_FALSE(IsWritableSettingsDirectory(""));
    EXPECT_FALSE(IsWritableSettingsDirectory(d / "missing"));
    WriteFile(d / "file", {});
    EXPECT_FALSE(IsWritableSettingsDirectory(d / "file"));
}

TEST(SettingsLocation, UnwritableFolderIsNotWritable) {
    TempDir d;
    std::string why;
    if (!MakeFolderUnwritable(d.Path().string(), why))
        GTEST_SKIP() << why;
    EXPECT_FALSE(IsWritableSettingsDirectory(d.Path().string()));
    MakeFolderWritable(d.Path().string());
    EXPECT_TRUE(IsWritableSettingsDirectory(d.Path().string()));
}

TEST(SettingsLocation, InstalledProgramReadsTheShippedDefaultsUntilTheUserSaves) {
    Installed inst;
    if (!inst.why.empty())
        GTEST_SKIP() << inst.why;
    const auto env = DataHome(inst.data);
    const std::string folder = Join(inst.data, "radar-configurator");
    const std::string own = Join(folder, "LEDINFO.BIN");

    TSettingsLocation l = ChooseSettingsLocation(inst.bin, env);
    EXPECT_EQ(l, (TSettingsLocation{Join(inst.bin, "LEDINFO.BIN"), own, folder}));

    // The first save creates the folder with its parents.
    EXPECT_TRUE(SaveSignSettingsAt(l, Entries()));
    const auto b = EncodeSignSettings(Entries());
    EXPECT_EQ(ReadFile(own), Bytes(b.begin(), b.end()));
    EXPECT_EQ(ReadFile(Join(inst.bin, "LEDINFO.BIN")), DefaultFile);

    // From then on the user's own file is read, also when the defaults
    // beside the executable are replaced later (a newer version installed).
    l = ChooseSettingsLocation(inst.bin, env);
    EXPECT_EQ(l.ReadPath, own);
    TSignSettings read{};
    EXPECT_EQ(LoadSignSettingsFile(l.ReadPath, read), TSettingsLoadResult::Read);
    EXPECT_EQ(read, Entries());
    fs::last_write_time(own, fs::file_time_type::clock::now() - std::chrono::hours(1));
    EXPECT_EQ(ChooseSettingsLocation(inst.bin, env).ReadPath, own);

    // A folder in the user's place is no file of theirs: the defaults.
    fs::remove(own);
    fs::create_directory(own);
    EXPECT_EQ(ChooseSettingsLocation(inst.bin, env).ReadPath, Join(inst.bin, "LEDINFO.BIN"));
}

TEST(SettingsLocation, PerUserFolderThatCannotBeMadeSavesNothing) {
    Installed inst;
    if (!inst.why.empty())
        GTEST_SKIP() << inst.why;
    WriteFile(inst.data, {}); // a file where the folder's parent would be
    const TSettingsLocation l = ChooseSettingsLocation(inst.bin, DataHome(inst.data));
    EXPECT_FALSE(SaveSignSettingsAt(l, Entries()));
    EXPECT_EQ(ReadFile(inst.data), Bytes{});
    EXPECT_EQ(ReadFile(Join(inst.bin, "LEDINFO.BIN")), DefaultFile);

    // No per-user folder known at all: read beside the executable, save nowhere.
    const TSettingsLocation none = ChooseSettingsLocation(inst.bin, Env({}));
    EXPECT_EQ(none, (TSettingsLocation{Join(inst.bin, "LEDINFO.BIN"), {}, {}}));
    EXPECT_FALSE(SaveSignSettingsAt(none, Entries()));
}

// The same rules when no file can be made beside the executable because its
// folder is gone (a program run from a drive since removed): they hold on
// systems that cannot make a folder unwritable.
TEST(SettingsLocation, ExecutableFolderThatIsGoneUsesThePerUserFolder) {
    TempDir root;
    const std::string bin = root / "gone";
    const std::string folder = Join(root / "data", "radar-configurator");
    const std::string own = Join(folder, "LEDINFO.BIN");
    const auto env = DataHome(root / "data");
    TSettingsLocation l = ChooseSettingsLocation(bin, env);
    EXPECT_EQ(l, (TSettingsLocation{Join(bin, "LEDINFO.BIN"), own, folder}));
    TSignSettings read = Entries();
    EXPECT_EQ(LoadSignSettingsFile(l.ReadPath, read), TSettingsLoadResult::Defaults);

    EXPECT_TRUE(SaveSignSettingsAt(l, Entries()));
    EXPECT_FALSE(fs::exists(bin));
    l = ChooseSettingsLocation(bin, env);
    EXPECT_EQ(l.ReadPath, own);
    EXPECT_EQ(LoadSignSettingsFile(l.ReadPath, read), TSettingsLoadResult::Read);
    EXPECT_EQ(read, Entries());
}

// The folder is made at the save, not when the location is chosen, and a save
// where it already exists needs nothing made.
TEST(SettingsLocation, PerUserFolderIsMadeByTheFirstSaveOnly) {
    TempDir root;
    const std::string folder = Join(root / "a", "b");
    const TSettingsLocation l{Join(root.Path().string(), "LEDINFO.BIN"),
                              Join(folder, "LEDINFO.BIN"), folder};
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(SaveSignSettingsAt(l, Entries()));
    EXPECT_TRUE(SaveSignSettingsAt(l, DefaultSignSettings()));
    EXPECT_EQ(ReadFile(l.SavePath), DefaultFile);
    EXPECT_FALSE(fs::exists(l.ReadPath));
}
