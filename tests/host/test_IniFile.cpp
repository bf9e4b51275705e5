// INI files on every platform: reading as Windows does, writing that keeps
// the rest of the file, refusals, failures and update grouping. What differs
// on Windows is in Win32IniFileTests.cpp; the file replacement itself (links,
// modes, temporary files, failed steps) is tested in test_FileIo.cpp.
#include "host/IniFile.h"

#include "host/Exceptions.h"
#include "host/FileIo.h"
#include "tests/host/IniFileTest.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using host::TIniFile;
using rc_test::FileIdentity;
using rc_test::IniFileTest;

namespace {

const char* const kSample = "; settings of the sign tools\n"
                            "[Other]\n"
                            "Port=COM9\n"
                            "\n"
                            "[mycomm1]\n"
                            "  port  =  COM3  \n"
                            "# a comment line\n"
                            ";XonChar=#99\n"
                            "XonChar=#17\n"
                            "EventChar = #0\n"
                            "Quoted=\" padded \"\n"
                            "Single='x'\n"
                            "Half=\"open\n"
                            "Empty=\n"
                            "Number= 42 \n"
                            "Hex=$1F\n"
                            "HexC=0x10\n"
                            "Big=99999999999\n"
                            "Word=abc\n"
                            "XonChar=#5\n"
                            "not a key line\n"
                            "[MYCOMM1]\n"
                            "Late=yes\n";

TEST_F(IniFileTest, ReadsValuesAsWindowsDoes) {
    Put(kSample);
    TIniFile ini(path_);
    struct Row {
        const char *section, *key, *expected;
    } rows[] = {
        {"mycomm1", "Port", "COM3"},       // key and value trimmed, name case ignored
        {"MyComm1", "PORT", "COM3"},       // section case ignored
        {"Other", "Port", "COM9"},         // other section
        {"mycomm1", "XonChar", "#17"},     // '#' inside a value is no comment; first key wins
        {"mycomm1", "EventChar", "#0"},    //
        {"mycomm1", "Quoted", " padded "}, // quotes protect blanks
        {"mycomm1", "Single", "x"},        //
        {"mycomm1", "Half", "\"open"},     // unmatched quote stays
        {"mycomm1", "Empty", ""},          // present but empty: not the default
        {"mycomm1", "Late", "<def>"},      // a second section of the name is not read
        {"mycomm1", ";XonChar", "<def>"},  // comment lines hold no keys
        {"mycomm1", "# a comment line", "<def>"},
        {"mycomm1", "Missing", "<def>"},
        {"Nowhere", "Port", "<def>"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ini.ReadString(r.section, r.key, "<def>"), r.expected)
            << r.section << "/" << r.key;
}

TEST_F(IniFileTest, ReadsIntegersWithDefaultForNonNumbers) {
    Put(kSample);
    TIniFile ini(path_);
    struct Row {
        const char* key;
        std::int32_t expected;
    } rows[] = {{"Number", 42}, {"Hex", 31},   {"HexC", 16},   {"Big", -7},
                {"Word", -7},   {"Empty", -7}, {"Missing", -7}};
    for (const auto& r : rows)
        EXPECT_EQ(ini.ReadInteger("mycomm1", r.key, -7), r.expected) << r.key;
}

TEST_F(IniFileTest, ValuesRoundTripAndLookAsWritten) {
    const std::string values[] = {"#0",
                                  "#17",
                                  "#",
                                  ";x",
                                  "a=b",
                                  "",
                                  " lead",
                                  "trail ",
                                  "\"q\"",
                                  "'q'",
                                  "\"",
                                  "x\"y\"",
                                  "[not a section]",
                                  "Yes"};
    {
        TIniFile ini(path_);
        for (std::size_t i = 0; i < std::size(values); ++i)
            ini.WriteString("S", "K" + std::to_string(i), values[i]);
        ini.WriteInteger("S", "N", -1);
    }
    TIniFile again(path_);
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(again.ReadString("S", "K" + std::to_string(i), "<def>"), values[i]) << i;
    EXPECT_EQ(again.ReadInteger("S", "N", 0), -1);

    const std::string text = Get();
    EXPECT_NE(text.find("\nK0=#0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nK1=#17\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nN=-1\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("[S]\n", 0), 0u) << text;
}

TEST_F(IniFileTest, WriteKeepsEverythingElseOfTheFile) {
    Put("\xEF\xBB\xBF; top comment\r\n"
        "[A]\r\n"
        "Port = COM1\r\n"
        "Keep=1\r\n"
        "\r\n"
        "; about B\r\n"
        "[B]\r\n"
        "x=y");
    TIniFile ini(path_);
    ini.WriteString("a", "PORT", "COM2"); // existing key: only its value changes
    ini.WriteString("A", "New", "#17");   // new key: after the section's last key
    ini.WriteString("C", "Z", "1");       // new section: at the end
    EXPECT_EQ(Get(), "\xEF\xBB\xBF; top comment\r\n"
                     "[A]\r\n"
                     "Port = COM2\r\n"
                     "Keep=1\r\n"
                     "New=#17\r\n"
                     "\r\n"
                     "; about B\r\n"
                     "[B]\r\n"
                     "x=y\r\n"
                     "\r\n"
                     "[C]\r\n"
                     "Z=1\r\n");
}

TEST_F(IniFileTest, SectionsAndKeysCanBeListedAndRemoved) {
    Put(kSample);
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Other", "mycomm1"}));
    EXPECT_EQ(ini.ReadSection("Other"), (std::vector<std::string>{"Port"}));
    EXPECT_TRUE(ini.SectionExists("OTHER"));
    EXPECT_TRUE(ini.ValueExists("mycomm1", "empty"));
    EXPECT_FALSE(ini.ValueExists("mycomm1", "Missing"));

    ini.DeleteKey("mycomm1", "XonChar"); // both lines of the key
    EXPECT_FALSE(ini.ValueExists("mycomm1", "XonChar"));
    ini.EraseSection("mycomm1"); // both sections of the name
    EXPECT_FALSE(ini.SectionExists("mycomm1"));
    EXPECT_EQ(Get(), "; settings of the sign tools\n[Other]\nPort=COM9\n\n");
}

TEST_F(IniFileTest, RefusesWhatAFileCannotHoldAndWritesNothing) {
    Put("[S]\nK=1\n");
    TIniFile ini(path_);
    struct Row {
        const char *section, *key;
        std::string value;
    } rows[] = {{"S", "", "v"},
                {"S", "a=b", "v"},
                {"S", ";k", "v"},
                {"S", "#k", "v"},
                {"S", "[k", "v"},
                {"S]", "k", "v"},
                {"S\n[T]", "k", "v"},
                {"S", "k\n", "v"},
                {"S", "K", "1\n2"},
                {"S", "K", "1\r"},
                {"S", "K", std::string("a\0b", 3)}};
    for (const auto& r : rows)
        EXPECT_THROW(ini.WriteString(r.section, r.key, r.value), host::EIniFileException)
            << r.section << "/" << r.key;
    EXPECT_EQ(Get(), "[S]\nK=1\n");
}

TEST_F(IniFileTest, FailedWriteRaisesAndNamesTheFile) {
    const std::string bad = (dir_ / "no-such-dir" / "x.ini").string();
    TIniFile ini(bad); // a missing file reads as empty
    EXPECT_EQ(ini.ReadString("S", "K", "d"), "d");
    try {
        ini.WriteString("S", "K", "v");
        FAIL() << "no exception";
    } catch (const host::EIniFileException& e) {
        EXPECT_NE(e.Message().find(bad), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(fs::exists(bad));
}

TEST_F(IniFileTest, UnreadableFileRaisesInsteadOfBeingReplaced) {
    EXPECT_THROW(TIniFile ini(dir_.string()), host::EIniFileException);
}

TEST_F(IniFileTest, WriteThroughSeesOthersChangesAndBufferedWaitsForUpdateFile) {
    TIniFile through(path_);
    through.WriteString("A", "K", "1");
    Put(Get() + "[Edited]\nBy=hand\n");
    through.WriteString("A", "K", "2");
    EXPECT_EQ(Get(), "[A]\nK=2\n[Edited]\nBy=hand\n");

    TIniFile buffered(path_, TIniFile::TUpdateMode::Buffered);
    buffered.WriteString("A", "K", "3");
    EXPECT_EQ(through.ReadString("A", "K", ""), "2");
    buffered.UpdateFile();
    EXPECT_EQ(through.ReadString("A", "K", ""), "3");
}

TEST_F(IniFileTest, UpdatesGroupWritesAndUnchangedValuesLeaveTheFile) {
    auto inode = [&] { return FileIdentity(path_); };
    Put("[A]\nK=1\n");
    TIniFile ini(path_);
    const auto before = inode();
    ini.WriteString("A", "K", "1");
    EXPECT_EQ(inode(), before);

    ini.BeginUpdate();
    ini.WriteString("A", "K", "2");
    ini.BeginUpdate();
    ini.WriteInteger("A", "N", 3);
    ini.EndUpdate();
    EXPECT_EQ(Get(), "[A]\nK=1\n"); // nothing yet
    EXPECT_EQ(ini.ReadString("A", "K", ""), "2");
    ini.EndUpdate();
    EXPECT_EQ(Get(), "[A]\nK=2\nN=3\n");

    ini.BeginUpdate();
    ini.WriteString("A", "K", "2");
    const auto after = inode();
    ini.EndUpdate();
    EXPECT_EQ(inode(), after);
}

// A failure at the replacement itself (here: the name is taken by a folder)
// raises, leaves the folder and no temporary file.
TEST_F(IniFileTest, FailedReplaceRaisesAndLeavesNoTemporaryFile) {
    const std::string taken = (dir_ / "taken.ini").string();
    TIniFile ini(taken, TIniFile::TUpdateMode::Buffered);
    ini.WriteString("S", "K", "v");
    fs::create_directory(taken);
    fs::create_directory(dir_ / "taken.ini" / "inside"); // not empty: cannot be replaced
    EXPECT_THROW(ini.UpdateFile(), host::EIniFileException);
    EXPECT_TRUE(fs::is_directory(dir_ / "taken.ini" / "inside"));
    EXPECT_EQ(Entries(), 1u);
}

} // namespace
